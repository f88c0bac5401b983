// The wall-clock 5-second grid on which the daemon writes one sample line per graph.
#ifndef TRAXEL_SAMPLER_H
#define TRAXEL_SAMPLER_H

#include <cstdint>
#include <vector>

#include "cfg.h"
#include "contract.h"
#include "pipes.h"

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

// Writes one sample line labelled with t and the graph's count into each
// graph's pipe (pipes[i] belongs to gs[i]), keeping at most bound lines
// waiting, and starts the next interval at zero. Failures are reported once
// until the pipe takes lines again.
void write_samples(int64_t t, std::vector<graph> &gs, std::vector<sample_pipe> &pipes, std::size_t bound);

#endif
