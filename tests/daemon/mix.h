// The graphs and the mix of packets that the counting tests count, in user space and in the kernel.
#ifndef TRAXEL_TEST_MIX_H
#define TRAXEL_TEST_MIX_H

#include <set>
#include <string>
#include <vector>

#include "cfg.h"
#include "classify.h"
#include "frames.h"

// Loads the test graphs (a graph of every kind, nested and overlapping
// networks of both families) through the configuration reader, and their index.
std::vector<graph> test_graphs(count_index &ix);

// A packet and the graphs that count it.
struct sent {
    bytes ip;
    std::set<std::string> by;
};

// IPv4 and IPv6 packets of every kind the graphs tell apart: connections,
// answers, data, ICMP, fragments first and later, extension headers.
std::vector<sent> packet_mix();

#endif
