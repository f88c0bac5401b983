// Live capture: opening the interface and the loop that counts frames and writes samples on the grid.
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

// Opens iface for capture (headers only, not promiscuous, every frame handed
// over at once). nullptr with err naming the interface and the reason, for
// instance when capture is not permitted or the link type is not decoded.
pcap_t *open_capture(const char *iface, std::string &err);

// Counts the frames waiting in pc against gs, whose index is ix; returns
// pcap_dispatch's result (frames handled, or a negative error).
int count_pending(pcap_t *pc, const count_index &ix, std::vector<graph> &gs);

// Set when SIGTERM or SIGINT arrives.
extern volatile std::sig_atomic_t stop;

// Installs the handlers of SIGTERM and SIGINT and blocks both outside the
// wait of run_capture, so a signal ends the loop without a race; ignores
// SIGPIPE. False with err on a failed call.
bool setup_signals(std::string &err);

// Counts frames of pc against gs (index ix) and calls on_grid with the grid
// time whenever one is due, every frame captured before it counted, until
// stop is set. Returns 0 then, 1 after a capture error (reported).
int run_capture(pcap_t *pc, std::vector<graph> &gs, const count_index &ix,
                const std::function<void(int64_t)> &on_grid);

#endif
