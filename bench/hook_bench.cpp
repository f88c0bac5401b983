// Hook benchmark: the host's CPU per packet of the kernel counting programs on each hook that could carry them.
//
// Usage: hook_bench [--rates R,R,...|top] [--runs N] [--seconds S]
// As root. The counting programs, loaded once for a few graphs, are attached
// in turn to each candidate hook: a socket filter on a packet socket of
// every interface that takes nothing, traffic-control programs on the
// interface (ingress, and egress but on loopback), and the transmit and
// receive tracepoints; a phase with none attached is the baseline. A sender
// floods 64-byte UDP datagrams on loopback and over a veth pair into a
// private network namespace for S seconds per phase; each candidate's cost is
// the CPU time of the sender and the kernel's softirq threads (path_cpu_ns)
// per million datagrams above the baseline's, and its share the datagrams
// its port graph counted.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "count.skel.h"
#include "harness.h"
#include "kcount.h"
#include "netbench.h"

namespace {

enum class hook { none, socket, tc, tracepoint };
const char *hook_name(hook h)
{
    switch (h) {
    case hook::socket: return "socket filter";
    case hook::tc: return "traffic control";
    case hook::tracepoint: return "tracepoints";
    default: return "none";
    }
}

// What one candidate holds while attached.
struct attached {
    std::vector<bpf_link *> links;
    int sock = -1;
    bpf_tc_hook qdisc{};  // the interface's clsact, destroyed when made here
    bool made = false;
    std::vector<std::pair<bpf_tc_hook, bpf_tc_opts>> filters;
};

bpf_tc_hook tc_point(int ifindex, int at)
{
    bpf_tc_hook h{};
    h.sz = sizeof h;
    h.ifindex = ifindex;
    h.attach_point = static_cast<bpf_tc_attach_point>(at);
    return h;
}

bool attach(hook h, count *sk, int ifindex, bool loopback, attached &a)
{
    if (h == hook::tracepoint) {
        for (bpf_program *p : {sk->progs.on_transmit, sk->progs.on_receive}) {
            bpf_link *l = bpf_program__attach(p);
            if (!l)
                return false;
            a.links.push_back(l);
        }
    } else if (h == hook::socket) {
        a.sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        const int prog = bpf_program__fd(sk->progs.count_socket);
        if (a.sock < 0 || setsockopt(a.sock, SOL_SOCKET, SO_ATTACH_BPF, &prog, sizeof prog) != 0)
            return false;
    } else if (h == hook::tc) {
        a.qdisc = tc_point(ifindex, BPF_TC_INGRESS | BPF_TC_EGRESS);
        const int rc = bpf_tc_hook_create(&a.qdisc);
        if (rc != 0 && rc != -EEXIST)
            return false;
        a.made = rc == 0;
        // Loopback's packets pass both ways: counted once, as they arrive.
        for (int at : {BPF_TC_INGRESS, BPF_TC_EGRESS}) {
            if (loopback && at == BPF_TC_EGRESS)
                continue;
            bpf_tc_hook point = tc_point(ifindex, at);
            bpf_tc_opts o{};
            o.sz = sizeof o;
            o.prog_fd = bpf_program__fd(sk->progs.count_tc);
            if (bpf_tc_attach(&point, &o) != 0)
                return false;
            // Detaching names the filter by its handle and priority alone.
            o.prog_fd = 0;
            o.prog_id = 0;
            o.flags = 0;
            a.filters.emplace_back(point, o);
        }
    }
    return true;
}

void detach(attached &a)
{
    for (bpf_link *l : a.links)
        bpf_link__destroy(l);
    close_fd(a.sock, "packet socket");
    for (auto &[point, o] : a.filters)
        if (bpf_tc_detach(&point, &o) != 0)
            std::fprintf(stderr, "hook_bench: bpf_tc_detach: %s\n", std::strerror(errno));
    if (a.made && bpf_tc_hook_destroy(&a.qdisc) != 0)
        std::fprintf(stderr, "hook_bench: bpf_tc_hook_destroy: %s\n", std::strerror(errno));
    a = attached{};
}

struct phase_result {
    double ns_per_pkt = 0, share = 0, rate = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    int runs = 3;
    double seconds = 3;
    std::string rates_arg = "top";
    for (int a = 1; a + 1 < argc; a += 2) {
        const std::string k = argv[a], v = argv[a + 1];
        if (k == "--rates")
            rates_arg = v;
        else if (k == "--runs")
            runs = std::atoi(v.c_str());
        else if (k == "--seconds")
            seconds = std::atof(v.c_str());
    }
    const std::vector<double> rates = flood_rates(rates_arg);
    veth_pair veth;
    if (!veth.ok) {
        std::fprintf(stderr, "hook_bench: %s\n", veth.why.c_str());
        return 1;
    }
    int port = 0;
    const int lo_rx = loopback_receiver(port), veth_rx = veth.peer_receiver(port);
    // The flood's port graph, and graphs of the other kinds that it meets.
    std::vector<graph> gs(4);
    gs[0].gk = graph_kind::port;
    gs[0].port = port;
    gs[1].gk = graph_kind::sock;
    gs[1].port = port + 1;
    gs[2].gk = graph_kind::proto;
    gs[2].proto = 47;
    gs[3].gk = graph_kind::net;
    gs[3].net_bits = 0xc6120000;  // 198.18.0.0/15
    gs[3].mask_bits = 0xfffe0000;
    count_load l;
    std::string err;
    if (lo_rx < 0 || veth_rx < 0 || !load_count(gs, true, l, err)) {
        std::fprintf(stderr, "hook_bench: %s\n", err.c_str());
        return 1;
    }
    struct medium {
        const char *name;
        std::string to;
        int ifindex;
        bool loopback;
    };
    const medium media[] = {{"loopback", "127.0.0.1", 1, true},
                            {"veth", veth.peer4, static_cast<int>(if_nametoindex(veth.host_if.c_str())), false}};
    const hook hooks[] = {hook::none, hook::socket, hook::tc, hook::tracepoint};
    std::map<std::string, std::vector<phase_result>> results;  // by medium, rate and hook
    for (int run = 0; run < runs; ++run)
        for (const medium &m : media)
            for (double rate : rates)
                for (hook h : hooks) {
                    attached a;
                    if (!attach(h, l.sk, m.ifindex, m.loopback, a)) {
                        std::fprintf(stderr, "hook_bench: attach %s on %s: %s\n", hook_name(h), m.name,
                                     std::strerror(errno));
                        detach(a);
                        return 1;
                    }
                    std::vector<rule_count> c0, c1;
                    sleep_until_ms(now_ms() + 200);
                    const long long t0 = path_cpu_ns(0);
                    rule_totals(bpf_map__fd(l.sk->maps.counts), l.rules, c0);
                    const double w0 = now_ms();
                    const double sent = static_cast<double>(send_udp(m.to, port, rate, seconds));
                    const double took = (now_ms() - w0) / 1e3;
                    // The last datagrams' softirq work is the phase's too.
                    sleep_until_ms(now_ms() + 50);
                    const long long t1 = path_cpu_ns(0);
                    rule_totals(bpf_map__fd(l.sk->maps.counts), l.rules, c1);
                    detach(a);
                    phase_result r;
                    r.ns_per_pkt = static_cast<double>(t1 - t0) / sent;
                    r.share = static_cast<double>(c1[0].packets - c0[0].packets) / sent;
                    r.rate = sent / took;
                    results[std::string(m.name) + "|" + std::to_string(rate) + "|" + hook_name(h)].push_back(r);
                }
    for (const medium &m : media)
        for (double rate : rates) {
            const std::string key = std::string(m.name) + "|" + std::to_string(rate) + "|";
            auto med = [&](hook h, double phase_result::*f) {
                std::vector<double> v;
                for (const phase_result &r : results[key + hook_name(h)])
                    v.push_back(r.*f);
                return median(v);
            };
            const double base = med(hook::none, &phase_result::ns_per_pkt);
            const double socket_cost = med(hook::socket, &phase_result::ns_per_pkt) - base;
            const std::string at = rate > 0 ? fmt(rate / 1e3, 0, "k pkt/s") : "top rate";
            for (hook h : {hook::socket, hook::tc, hook::tracepoint}) {
                const double cost = med(h, &phase_result::ns_per_pkt) - base;
                print_row(std::string("hook ") + hook_name(h) + ", " + m.name + " " + at + ", CPU per Mpkt",
                          fmt(cost / 1e3, 3, " s"), fmt(socket_cost / 1e3, 3, " s (socket filter)"),
                          cost / socket_cost, "-", "-");
                print_row(std::string("hook ") + hook_name(h) + ", " + m.name + " " + at + ", counted",
                          fmt(100 * med(h, &phase_result::share), 2, " %"), "100 %",
                          med(h, &phase_result::share), "100 %", med(h, &phase_result::share) >= 1 ? "yes" : "no");
            }
            std::printf("note\thook %s %s: %.0f pkt/s sent with none attached, %.3f s of CPU per Mpkt\n", m.name,
                        at.c_str(), med(hook::none, &phase_result::rate), base / 1e3);
        }
    close_fd(lo_rx, "receiver");
    close_fd(veth_rx, "receiver");
    return 0;
}
