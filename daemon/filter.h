// The kernel filter of live capture: only frames that some graph can count are copied to the daemon.
#ifndef TRAXEL_FILTER_H
#define TRAXEL_FILTER_H

#include <pcap/pcap.h>

#include <string>
#include <vector>

#include "cfg.h"

// The filter expression (libpcap syntax) for frames of link type dlt that
// passes every frame some graph of gs counts. It is built from the loaded
// numbers and addresses, never from configuration text. It passes a few
// frames that no graph counts where no kernel expression can decide: IPv6
// packets whose fixed header names an extension header (when a port, sock or
// proto graph needs the upper layer behind it), and frames whose VLAN tag is
// in the captured bytes. "" (no filter) when the graphs count every IPv4 and
// every IPv6 packet.
std::string capture_filter(const std::vector<graph> &gs, int dlt);

// Compiles capture_filter(gs) for pc and installs it in the kernel. False,
// with err naming the filter text, when it does not compile or install (the
// capture then goes on unfiltered; counting stays exact). True with a notice
// in err when the filter is too long for the kernel and none was installed,
// else with err empty.
bool install_filter(pcap_t *pc, const std::vector<graph> &gs, std::string &err);

#endif
