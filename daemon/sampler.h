// The wall-clock 5-second grid on which the daemon writes one sample line per graph.
#ifndef TRAXEL_SAMPLER_H
#define TRAXEL_SAMPLER_H

#include <cstdint>
#include <vector>

#include "cfg.h"
#include "contract.h"
#include "pipes.h"
#include "settings.h"

// The first grid time (a multiple of sample_interval seconds since the Epoch)
// strictly after now.
int64_t grid_next(int64_t now);

// Whether a sample is due at the time now, given next, the grid time the next
// sample waits for. Returns the grid time that labels the sample and moves
// next on, or returns -1. After a jump forward over several grid times one
// sample, labelled with the latest, covers them all; after a step back of
// more than an interval next is set again from now.
int64_t sample_due(int64_t &next, int64_t now);

// Writes the label of grid time t, the local time of day "HH:MM:SS", into
// label; false when the time cannot be converted.
bool sample_label(int64_t t, char (&label)[sample_label_max + 1]);

// What the daemon keeps for one graph beside the counts in the graph itself:
// its pipe, the unit of its samples, and what the pipe has not yet been told.
struct outlet {
    sample_pipe pipe;                     // no fd: the graph is not served
    sample_unit unit = sample_unit::packets;
    int64_t held = 0, held_bytes = 0;     // counted, not yet in a written sample
    int64_t since = -1;                   // grid time of the last sample written; -1 none
    uint64_t packets_total = 0, bytes_total = 0;
    int64_t last = 0;                     // the last sample written
    bool saturated = false;               // a sample did not fit; said once
};

// The sample of what o holds at grid time t, in o's unit: packets, or the
// bit rate (rounded to the nearest bit/s or kbit/s) over the time since o's
// last sample written, an interval at least. INT64_MAX when out of range.
int64_t sample_value(const outlet &o, int64_t t);

// Ends the interval at grid time t for every graph gs[i], whose outlet is
// outs[i]: moves its count into its totals and into what is held for its
// pipe, then writes one sample line labelled with t of what is held in its
// unit (keeping at most bound lines waiting). A line written lets go of what
// was held; a line that cannot be made or written keeps it for the next
// interval. A value above the line's int is written as its largest and said
// once per graph; failures are reported once until the pipe takes lines again.
void write_samples(int64_t t, std::vector<graph> &gs, std::vector<outlet> &outs, std::size_t bound);

#endif
