// Live capture: opening the interface, and the loops that count (frames copied by libpcap, or the kernel's counters) and write samples on the grid.
#ifndef TRAXEL_LIVE_H
#define TRAXEL_LIVE_H

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cfg.h"
#include "classify.h"
#include "exposition.h"
#include "kcount.h"

// Opens iface for capture (headers only, not promiscuous, frames handed over
// in blocks of the kernel's ring, each at most a block timeout after its
// first frame) with a kernel buffer of buffer_mib MiB. nullptr with err
// naming the interface and the reason, for instance when capture is not
// permitted or the link type is not decoded.
pcap_t *open_capture(const char *iface, int buffer_mib, std::string &err);

// A capture's packet counts: 64-bit totals since the start, and the
// kernel's 32-bit counters as last read, from which they grow.
struct capture_count {
    capture_metrics totals;
    struct pcap_stat seen = {};
    bool failing = false;  // the last reading failed; said once
};

// What a 32-bit counter that read was and now reads has counted in between:
// the difference modulo 2^32 across a wrap; a counter that went back by less
// than half its range was restarted and counted now from zero.
uint64_t counter_delta(uint32_t was, uint32_t now);

// Reads the counters of pc into c and reports, in one line, the packets lost
// since the last reading when there are any.
void account_capture(pcap_t *pc, capture_count &c);

// Counts the frames waiting in pc against gs, whose index is ix; returns
// pcap_dispatch's result (frames handled, or a negative error).
int count_pending(pcap_t *pc, const count_index &ix, std::vector<graph> &gs);

// Set when SIGTERM or SIGINT arrives.
extern volatile std::sig_atomic_t stop;

// Installs the handlers of SIGTERM and SIGINT and blocks both outside the
// wait of run_capture, so a signal ends the loop without a race; ignores
// SIGPIPE. False with err on a failed call.
bool setup_signals(std::string &err);

// The interface counted on, followed by name when it is not "any": an
// interface that goes away (a VPN's, a container's) and comes back is
// counted on again, its graphs counting 0 meanwhile.
struct iface_watch {
    std::string name;
    int ifindex = 0;  // the index counted on; 0 while the interface is gone

    // Whether there is an interface to follow (not "any").
    bool follows() const { return name != "any"; }
    // Looks the name up again and says, once each, when the interface went
    // away and when it is back; returns whether its index changed.
    bool look();
};

// Counts frames of pc against gs (index ix) and calls on_grid with the grid
// time whenever one is due, 0.45 s after it, every frame stamped before it
// counted and none after, until stop is set. When the interface w goes
// away, the socket is pointed at it again once it is back, looked for at
// each grid time. Returns 0 then, 1 after another capture error (reported).
int run_capture(pcap_t *pc, iface_watch &w, std::vector<graph> &gs, const count_index &ix,
                const std::function<void(int64_t)> &on_grid);

// Adds what kc counted to gs and calls on_grid at each grid time, the
// packets seen added to c, until stop is set; follows the interface w. Returns 0.
int run_kernel(kernel_count &kc, iface_watch &w, std::vector<graph> &gs, capture_count &c,
               const std::function<void(int64_t)> &on_grid);

#endif
