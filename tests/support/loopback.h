// Sockets on the loopback interface, for tests that make traffic or talk to a server there.
#ifndef TRAXEL_TEST_LOOPBACK_H
#define TRAXEL_TEST_LOOPBACK_H

#include <cstddef>
#include <cstdint>

// A TCP port of 127.0.0.1 that was free a moment ago, or 0.
int free_port();

// A socket connected to 127.0.0.1:port, or -1.
int connect_to(int port);

// A UDP socket bound to a free port of 127.0.0.1, so that nothing answers
// datagrams sent there; closed on destruction. Throws std::runtime_error when
// none can be bound.
struct udp_sink {
    int fd;
    uint16_t port = 0;
    udp_sink();
    ~udp_sink();
    udp_sink(const udp_sink &) = delete;
    udp_sink &operator=(const udp_sink &) = delete;
};

// Sends n datagrams of size bytes to port on 127.0.0.1; throws
// std::runtime_error when one cannot be sent.
void send_udp(uint16_t port, int n, std::size_t size);

#endif
