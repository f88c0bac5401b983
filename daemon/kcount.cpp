// Counting in the kernel: the programs loaded and attached, the graphs' rules filed in their maps, the counters summed.
#include "kcount.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <arpa/inet.h>
#include <endian.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <array>
#include <cstdarg>
#include <cstring>
#include <map>

#include "contract.h"
#include "count.skel.h"
#include "report.h"

namespace {

// libbpf's own messages (the verifier's log among them) are not the admin's:
// a failure is told once, by the call that failed.
int quiet(enum libbpf_print_level, const char *, va_list)
{
    return 0;
}

// Why a call of libbpf failed with rc (a negative errno), in words for the admin.
std::string load_fault(const char *what, int rc)
{
    const int e = rc < 0 ? -rc : rc;
    std::string why = std::strerror(e);
    if (e == EPERM || e == EACCES)
        why += " (run as root, or give the program cap_bpf,cap_perfmon)";
    else if (e == ENOENT || e == ESRCH || e == ENOTSUP || e == EINVAL)
        why += " (the kernel lacks BTF type information, BTF tracepoint programs or the tracepoints)";
    return std::string(what) + ": " + why;
}

// The graphs' rules: graphs that count the same packets share one.
struct rules {
    std::vector<int> of_graph;  // per graph: its rule, or -1 when it can count nothing
    uint32_t n = 0;
    std::vector<std::pair<uint32_t, uint32_t>> ports, socks, protos;  // (key, rule)
    std::vector<std::pair<net4_key, uint32_t>> nets4;
    std::vector<std::pair<net6_key, uint32_t>> nets6;
    std::vector<uint32_t> masks4;
    std::vector<std::array<uint64_t, 2>> masks6;
};

// The index of mask m in ms, added when new.
template <class M> uint32_t mask_index(std::vector<M> &ms, const M &m)
{
    for (std::size_t i = 0; i < ms.size(); ++i)
        if (ms[i] == m)
            return static_cast<uint32_t>(i);
    ms.push_back(m);
    return static_cast<uint32_t>(ms.size() - 1);
}

// Files the rules of gs into r; false with err when the masks are too many.
bool file_rules(const std::vector<graph> &gs, rules &r, std::string &err)
{
    std::map<std::string, int> known;  // a rule's key, as text, to its index
    auto rule = [&](const std::string &key, bool &fresh) {
        auto [it, added] = known.emplace(key, static_cast<int>(r.n));
        fresh = added;
        if (added)
            ++r.n;
        return static_cast<uint32_t>(it->second);
    };
    for (const graph &g : gs) {
        bool fresh = false;
        uint32_t at = 0;
        if (g.gk == graph_kind::port || g.gk == graph_kind::sock || g.gk == graph_kind::proto) {
            const bool proto = g.gk == graph_kind::proto;
            const int key = proto ? g.proto : g.port;
            if (key < 0 || key > (proto ? 255 : 65535)) {
                r.of_graph.push_back(-1);
                continue;
            }
            at = rule(std::string(graph_kind_word(g.gk)) + " " + std::to_string(key), fresh);
            auto &table = proto ? r.protos : g.gk == graph_kind::sock ? r.socks : r.ports;
            if (fresh)
                table.emplace_back(static_cast<uint32_t>(key), at + 1);
        } else if (g.v6) {
            if ((g.net6.hi & ~g.mask6.hi) != 0 || (g.net6.lo & ~g.mask6.lo) != 0) {
                r.of_graph.push_back(-1);
                continue;
            }
            const std::array<uint64_t, 2> m = {htobe64(g.mask6.hi), htobe64(g.mask6.lo)};
            net6_key k{mask_index(r.masks6, m), 0, {htobe64(g.net6.hi), htobe64(g.net6.lo)}};
            at = rule("6 " + std::to_string(k.mask) + " " + std::to_string(g.net6.hi) + " " +
                          std::to_string(g.net6.lo), fresh);
            if (fresh)
                r.nets6.emplace_back(k, at);
        } else {
            if (g.never || (g.net_bits & ~g.mask_bits) != 0) {
                r.of_graph.push_back(-1);
                continue;
            }
            net4_key k{mask_index(r.masks4, htonl(g.mask_bits)), htonl(g.net_bits)};
            at = rule("4 " + std::to_string(k.mask) + " " + std::to_string(g.net_bits), fresh);
            if (fresh)
                r.nets4.emplace_back(k, at);
        }
        r.of_graph.push_back(static_cast<int>(at));
    }
    if (r.masks4.size() > masks_max || r.masks6.size() > masks_max) {
        err = "the net and ip graphs have more than " + std::to_string(masks_max) + " masks of one address family";
        return false;
    }
    return true;
}

// Sets what the programs take as constants, and the sizes of their maps.
bool configure(count *sk, const rules &r, std::string &err)
{
    struct stat ns;
    if (stat("/proc/self/ns/net", &ns) != 0) {
        err = sys_fault("stat", "/proc/self/ns/net");
        return false;
    }
    sk->rodata->netns_ino = static_cast<__u32>(ns.st_ino);
    sk->rodata->rules_n = r.n;
    sk->rodata->interval_ns = static_cast<__u64>(sample_interval) * 1000000000u;
    sk->rodata->masks4_n = static_cast<__u32>(r.masks4.size());
    sk->rodata->masks6_n = static_cast<__u32>(r.masks6.size());
    for (std::size_t i = 0; i < r.masks4.size(); ++i)
        sk->rodata->masks4[i] = r.masks4[i];
    for (std::size_t i = 0; i < r.masks6.size(); ++i) {
        sk->rodata->masks6[i][0] = r.masks6[i][0];
        sk->rodata->masks6[i][1] = r.masks6[i][1];
    }
    auto at_least_one = [](std::size_t n) { return static_cast<__u32>(n > 0 ? n : 1); };
    int rc = bpf_map__set_max_entries(sk->maps.counts, 2 * (r.n + 1));
    if (rc == 0)
        rc = bpf_map__set_max_entries(sk->maps.nets4, at_least_one(r.nets4.size()));
    if (rc == 0)
        rc = bpf_map__set_max_entries(sk->maps.nets6, at_least_one(r.nets6.size()));
    if (rc != 0)
        err = load_fault("bpf_map__set_max_entries", rc);
    return rc == 0;
}

// Files the rules' keys into the loaded maps.
bool fill(count *sk, const rules &r, std::string &err)
{
    auto put = [&err](bpf_map *m, const void *key, const void *value) {
        if (bpf_map_update_elem(bpf_map__fd(m), key, value, BPF_ANY) == 0)
            return true;
        err = sys_fault("bpf_map_update_elem", bpf_map__name(m));
        return false;
    };
    for (auto [table, entries] : {std::make_pair(sk->maps.ports, &r.ports), std::make_pair(sk->maps.socks, &r.socks),
                                  std::make_pair(sk->maps.protos, &r.protos)})
        for (const auto &[key, value] : *entries)
            if (!put(table, &key, &value))
                return false;
    for (const auto &[key, value] : r.nets4)
        if (!put(sk->maps.nets4, &key, &value))
            return false;
    for (const auto &[key, value] : r.nets6)
        if (!put(sk->maps.nets6, &key, &value))
            return false;
    return true;
}

// The packets and bytes of entries n entries of the per-CPU counts map fd
// from entry first on, summed over the CPUs, into sums; read with one call.
// False on a failed call.
bool sum_counts(int fd, uint32_t first, uint32_t n, std::vector<rule_count> &sums)
{
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0)
        return false;
    const auto per = static_cast<std::size_t>(cpus);
    std::vector<uint32_t> keys(n);
    std::vector<rule_count> values(n * per);
    // A batch goes on after the key it is given.
    uint32_t before = first - 1, next = 0, count = n;
    LIBBPF_OPTS(bpf_map_batch_opts, opts);
    const int rc = bpf_map_lookup_batch(fd, first > 0 ? &before : nullptr, &next, keys.data(), values.data(), &count,
                                        &opts);
    // The batch that reaches the map's end says so, with what it read.
    if ((rc != 0 && errno != ENOENT) || count != n)
        return false;
    sums.assign(n, rule_count{});
    for (std::size_t e = 0; e < n; ++e)
        for (std::size_t c = 0; c < per; ++c) {
            sums[e].packets += values[e * per + c].packets;
            sums[e].bytes += values[e * per + c].bytes;
        }
    return true;
}

// The kernel's TAI clock less the time of day: whole seconds, the leap
// seconds that the time service has told the kernel of (0 when none has).
int64_t tai_offset_ns()
{
    struct timespec tai, real;
    if (clock_gettime(CLOCK_REALTIME, &real) != 0 || clock_gettime(CLOCK_TAI, &tai) != 0)
        return 0;
    const int64_t ns = (tai.tv_sec - real.tv_sec) * 1000000000 + (tai.tv_nsec - real.tv_nsec);
    return (ns + (ns >= 0 ? 500000000 : -500000000)) / 1000000000 * 1000000000;
}

}  // namespace

count_load::~count_load()
{
    count__destroy(sk);
}

bool load_count(const std::vector<graph> &gs, bool all, count_load &out, std::string &err)
{
    libbpf_set_print(quiet);
    rules r;
    if (!file_rules(gs, r, err))
        return false;
    count__destroy(out.sk);
    out.sk = count__open();
    if (!out.sk) {
        err = load_fault("count__open", -errno);
        return false;
    }
    if (!all) {
        bpf_program__set_autoload(out.sk->progs.count_tc, false);
        bpf_program__set_autoload(out.sk->progs.count_socket, false);
    }
    if (!configure(out.sk, r, err))
        return false;
    if (const int rc = count__load(out.sk); rc != 0) {
        err = load_fault("loading the counting programs", rc);
        return false;
    }
    if (!fill(out.sk, r, err))
        return false;
    out.rule_of = std::move(r.of_graph);
    out.rules = r.n;
    return true;
}

bool rule_totals(int fd, uint32_t rules, std::vector<rule_count> &out)
{
    std::vector<rule_count> per_entry;
    if (!sum_counts(fd, 0, 2 * (rules + 1), per_entry))
        return false;
    out.assign(rules + 1, rule_count{});
    for (uint32_t e = 0; e < per_entry.size(); ++e) {
        out[e % (rules + 1)].packets += per_entry[e].packets;
        out[e % (rules + 1)].bytes += per_entry[e].bytes;
    }
    return true;
}

bool kernel_count::start(const std::vector<graph> &gs, int ifindex, std::string &err)
{
    count_load l;
    if (!load_count(gs, false, l, err))
        return false;
    count *sk = l.sk;
    watch_ = {ifindex, 0, tai_offset_ns()};
    const uint32_t zero = 0;
    if (bpf_map_update_elem(bpf_map__fd(sk->maps.watch), &zero, &watch_, BPF_ANY) != 0) {
        err = sys_fault("bpf_map_update_elem", "watch");
        return false;
    }
    if (const int rc = count__attach(sk); rc != 0) {
        err = load_fault("attaching the counting programs", rc);
        return false;
    }
    // Only what counting needs stays open: the links, which hold the
    // programs, the counters and the watch map; the object and the rest of
    // its descriptors go with l.
    counts_ = unique_fd(dup(bpf_map__fd(sk->maps.counts)));
    watched_ = unique_fd(dup(bpf_map__fd(sk->maps.watch)));
    if (counts_.get() < 0 || watched_.get() < 0) {
        err = sys_fault("dup", "the counting maps");
        return false;
    }
    links_.clear();
    for (bpf_link *link : {sk->links.on_transmit, sk->links.on_receive}) {
        links_.emplace_back(bpf_link__fd(link));
        bpf_link__disconnect(link);
    }
    rule_of_ = l.rule_of;
    rules_ = l.rules;
    last_.assign(2 * (rules_ + 1), rule_count{});
    return true;
}

uint64_t kernel_count::collect(std::vector<graph> &gs, int64_t t)
{
    std::string err;
    // A leap second moves the TAI clock against the time of day.
    if (const int64_t off = tai_offset_ns(); off != watch_.tai_offset_ns) {
        watch_.tai_offset_ns = off;
        if (!put_watch(err))
            report(err);
    }
    // The slot of the interval that ended at t has counted it whole; each
    // slot's entries grow across the intervals that count in it.
    const uint32_t slot = (t / sample_interval - 1) % 2 != 0 ? rules_ + 1 : 0;
    std::vector<rule_count> now;
    if (!sum_counts(counts_.get(), slot, rules_ + 1, now)) {
        report(sys_fault("bpf_map_lookup_batch", "counts"));
        return 0;
    }
    auto grown = [&](std::size_t r, __u64 rule_count::*f) { return now[r].*f - last_[slot + r].*f; };
    for (std::size_t i = 0; i < gs.size() && i < rule_of_.size(); ++i)
        if (rule_of_[i] >= 0) {
            const auto r = static_cast<std::size_t>(rule_of_[i]);
            gs[i].count += static_cast<int64_t>(grown(r, &rule_count::packets));
            gs[i].bytes += static_cast<int64_t>(grown(r, &rule_count::bytes));
        }
    const uint64_t seen = grown(rules_, &rule_count::packets);
    std::copy(now.begin(), now.end(), last_.begin() + slot);
    return seen;
}

bool kernel_count::watch(int ifindex, std::string &err)
{
    watch_.ifindex = ifindex;
    return put_watch(err);
}

bool kernel_count::put_watch(std::string &err)
{
    const uint32_t zero = 0;
    if (bpf_map_update_elem(watched_.get(), &zero, &watch_, BPF_ANY) != 0) {
        err = sys_fault("bpf_map_update_elem", "watch");
        return false;
    }
    return true;
}
