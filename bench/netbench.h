// Shared pieces of the capture benchmarks: the host's CPU time, a veth pair into a network namespace, a UDP flood.
#ifndef TRAXEL_BENCH_NETBENCH_H
#define TRAXEL_BENCH_NETBENCH_H

#include <cstdint>
#include <string>
#include <vector>

// The rates of a --rates argument (R,R,...): datagrams per second, 0 for
// "top", as fast as the sender can.
std::vector<double> flood_rates(const std::string &arg);

// The CPU time in nanoseconds of every thread that a flood sent by the
// calling thread makes work: that thread (which also runs the receive path
// of loopback and veth in its softirq), the kernel's softirq threads, and the
// capturer process pid when above 0. A capture's cost lies mostly in the
// sender's and the kernel's time; counting only these threads keeps what
// else runs on the host out of the figure, where /proc/stat's total would
// take it in.
long long path_cpu_ns(pid_t capturer);

// A veth pair from this namespace into a network namespace of its own,
// named with this process's id, with IPv4 addresses host4 and peer4 on its
// ends; removed with the object. ok is false (and why set) when it could not
// be made.
struct veth_pair {
    std::string ns, host_if, peer_if, host4, peer4, why;
    bool ok = false;
    veth_pair();
    ~veth_pair();
    veth_pair(const veth_pair &) = delete;
    veth_pair &operator=(const veth_pair &) = delete;
    // A UDP socket bound to port of the namespace's end that takes the
    // flood and drops it unread in its small buffer, or -1.
    int peer_receiver(int port) const;
    // send_tcp from the namespace to host4:port.
    uint64_t peer_send_tcp(int port, double seconds) const;
    // The TCP segments that the namespace sent and received (OutSegs and
    // InSegs of its /proc/net/snmp), or -1.
    long long peer_tcp_segments() const;
};

// A UDP socket bound to a free port of 127.0.0.1 that drops what it gets;
// sets port. -1 on failure.
int loopback_receiver(int &port);

// Sends 64-byte frames (UDP) to addr4:port for seconds at rate datagrams per
// second (0: as fast as it can); returns how many were sent.
uint64_t send_udp(const std::string &addr4, int port, double rate, double seconds);

// A TCP socket listening on a free port of addr4; sets port. -1 on failure.
int tcp_listener(const std::string &addr4, int &port);

// Connects to addr4:port and writes as fast as it can for seconds; returns
// the bytes written.
uint64_t send_tcp(const std::string &addr4, int port, double seconds);

#endif
