// The graphs and the mix of packets that the counting tests count, in user space and in the kernel.
#include "mix.h"

#include <gtest/gtest.h>

namespace {

const char graphs_cfg[] =
    "window 5\n"
    "port80 80 0 100 50\n"
    "sock80 80 0 10 5\n"
    "tcpproto 6 0 100 50\n"
    "udpproto 17 0 100 50\n"
    "icmpproto 1 0 100 50\n"
    "icmp6proto 58 0 100 50\n"
    "tennet 10.0.0.0 255.0.0.0 0 100 50\n"
    "lannet 192.168.1.0 24 0 100 50\n"
    "hostbitsnet 192.168.1.5 255.255.255.0 0 100 50\n"
    "serverip 10.0.0.2 0 100 50\n"
    "labnet6 fd77:: 64 0 100 50\n"
    "serverip6 fd77::2 0 100 50\n";

}  // namespace

std::vector<graph> test_graphs(count_index &ix)
{
    std::string path = temp_dir() + "/traxel.cfg";
    write_file(path, graphs_cfg);
    std::string err;
    if (!load_graphs(path.c_str(), err) || !index_graphs(graphs, ix, err))
        ADD_FAILURE() << err;
    return graphs;
}

std::vector<sent> packet_mix()
{
    const bytes icmp_echo = {8, 0, 0, 0, 0, 0, 0, 0}, icmp6_echo = join({{128, 0, 0, 0, 0, 0, 0, 0}, bytes(100)});
    return {
        // A new connection to port 80; its answer (SYN with ACK is no new
        // connection); data.
        {ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, syn)), {"port80", "sock80", "tcpproto", "tennet", "serverip"}},
        {ipv4(6, "10.0.0.2", "10.0.0.1", tcp(80, 40000, syn | ack)), {"port80", "tcpproto", "tennet", "serverip"}},
        {ipv4(6, "10.0.0.1", "10.0.0.2", tcp(40000, 80, ack)), {"port80", "tcpproto", "tennet", "serverip"}},
        {ipv4(17, "192.168.1.5", "10.0.0.1", udp(53, 80, bytes(200, 7))), {"port80", "udpproto", "lannet", "tennet"}},
        {ipv4(1, "192.168.1.5", "192.168.1.77", icmp_echo), {"icmpproto", "lannet"}},
        // A later fragment: its first bytes look like ports 80 but are data.
        {ipv4(6, "172.16.0.1", "172.16.0.2", tcp(80, 80, syn), 185), {"tcpproto"}},
        {ipv4(6, "172.16.0.1", "172.16.0.2", tcp(5000, 22, syn)), {"tcpproto"}},
        // The same for IPv6, through extension headers.
        {ipv6(6, "fd77::1", "fd77::2", tcp(40000, 80, syn)), {"port80", "sock80", "tcpproto", "labnet6", "serverip6"}},
        {ipv6(0, "fd77::2", "2001:db8::1", join({ext6(6), tcp(80, 40000, syn | ack)})),
         {"port80", "tcpproto", "labnet6", "serverip6"}},
        {ipv6(60, "2001:db8::1", "fd77::5", join({ext6(43, 1), ext6(17, 2), udp(53, 80, {9})})),
         {"port80", "udpproto", "labnet6"}},
        {ipv6(58, "fd77::1", "fd77::2", icmp6_echo), {"icmp6proto", "labnet6", "serverip6"}},
        {ipv6(44, "2001:db8::1", "fd77::2", join({frag6(17, 0), udp(5000, 80, {})})),
         {"port80", "udpproto", "labnet6", "serverip6"}},
        {ipv6(44, "2001:db8::1", "2001:db8::2", join({frag6(6, 185), tcp(80, 80, syn)})), {"tcpproto"}},
        // IPv6 addresses whose low 32 bits are IPv4 ones of the graphs.
        {ipv6(17, "::a00:2", "::ffff:10.0.0.2", udp(1, 2, {})), {"udpproto"}},
    };
}
