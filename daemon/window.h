// The samples of every graph's last window, kept across the daemon's intervals and published each interval for the graphs page.
#ifndef TRAXEL_WINDOW_H
#define TRAXEL_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "cfg.h"
#include "contract.h"
#include "publish.h"
#include "sampler.h"

// The published window holds at most this many samples in all: 256 graphs
// of a 30-minute window.
inline constexpr std::size_t window_samples_max = 256 * 30 * samples_per_minute;

// The grid times published for n graphs of a window of win minutes: the
// whole window, or as much of its end as window_samples_max allows, one at
// least.
std::size_t window_slots(int win, std::size_t n);

// The samples of the last slots grid times of every graph, each value held
// as its text, so that an interval formats only its own samples.
class sample_window {
public:
    sample_window(std::size_t graphs, std::size_t slots);

    // Adds grid time t, which follows the last time added; values[i] is
    // graph i's sample, or none when it wrote none. The times between the
    // last and t hold no sample. A t not after the last (the clock was set
    // back) first forgets the times from t on.
    void add(int64_t t, const std::vector<std::optional<int>> &values);

    // The text of window_file: the times held of the graphs gs (in the order
    // of the values added), the latest labelled label. "" before any add.
    std::string text(const std::vector<graph> &gs, const char *label) const;

private:
    // One graph's values, each as "VALUE," or "null,", oldest first.
    struct values_text {
        std::string text;
        std::deque<uint8_t> lens;
    };
    void push(values_text &v, const char *piece, std::size_t len);
    void drop_oldest();
    void drop_latest();

    std::size_t slots_;
    std::size_t held_ = 0;  // grid times held
    int64_t last_ = 0;      // the latest of them
    std::vector<values_text> graphs_;
};

// Adds to win the samples that outs wrote at grid time t (outs[i] those of
// graph gs[i]) and publishes the window as window_file in run, when open.
void publish_window(int64_t t, const std::vector<graph> &gs, const std::vector<outlet> &outs, sample_window &win,
                    publish_dir &run);

#endif
