// Counting in the kernel: the programs loaded and attached, the graphs' rules filed in their maps, the counters summed.
#ifndef TRAXEL_KCOUNT_H
#define TRAXEL_KCOUNT_H

#include <cstdint>
#include <string>
#include <vector>

#include "bpf/maps.h"
#include "cfg.h"
#include "fd.h"

struct count;  // the skeleton of the kernel programs (count.skel.h)

// The kernel programs loaded for a list of graphs, their maps filled,
// attached nowhere yet; unloaded when it goes, unless attached.
struct count_load {
    count *sk = nullptr;
    std::vector<int> rule_of;  // per graph: its rule, or -1 when it can count nothing
    uint32_t rules = 0;        // the counts map holds one entry per rule, then the packets seen
    count_load() = default;
    count_load(const count_load &) = delete;
    count_load &operator=(const count_load &) = delete;
    ~count_load();
};

// Loads the programs for the graphs gs into out: the tracepoint programs
// only, or with all also those that count frames in a socket buffer (for
// tests and benchmarks). Needs CAP_BPF and CAP_PERFMON (or root). False with
// err saying why the kernel cannot count here.
bool load_count(const std::vector<graph> &gs, bool all, count_load &out, std::string &err);

// What the programs loaded with rules rules counted into their counts map
// fd since they were loaded, summed over CPUs and slots: out[r] for rule r,
// out[rules] every packet seen. False on a failed call.
bool rule_totals(int fd, uint32_t rules, std::vector<rule_count> &out);

// The programs that count the packets of every watched interface in both
// directions, attached to the kernel's transmit and receive tracepoints: once
// started, it holds their two links (the programs stay attached while they
// are open and go with the process, however it ends), the counters and the
// interface watched, and needs no privilege to read or change them.
class kernel_count {
public:
    // Loads and attaches the programs for the graphs gs, watching the
    // interface of index ifindex of this network namespace, or ifindex_all
    // (every one, also those that appear later). False with err as
    // load_count.
    bool start(const std::vector<graph> &gs, int ifindex, std::string &err);

    // Adds to each graph of gs (the list given to start) the packets and
    // bytes counted in the interval that ended at grid time t (and in those
    // before it that no call collected); returns the packets seen in it on
    // the watched interfaces. Called once per interval, after t.
    uint64_t collect(std::vector<graph> &gs, int64_t t);

    // Watches from now on the interface of index ifindex, or ifindex_all or
    // ifindex_none. False with err on a failed call.
    bool watch(int ifindex, std::string &err);

private:
    // Writes watch_ into the watch map.
    bool put_watch(std::string &err);

    std::vector<unique_fd> links_;
    unique_fd counts_, watched_;
    struct watch watch_ = {};
    std::vector<int> rule_of_;
    uint32_t rules_ = 0;
    std::vector<rule_count> last_;  // per entry of counts_: the sums last collected from it
};

#endif
