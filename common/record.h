// The feed's search for one graph's record in the configuration file.
#ifndef TRAXEL_RECORD_H
#define TRAXEL_RECORD_H

#include <cstdio>

// Sizes of the address fields and of the record-name buffer, terminator
// included.
inline constexpr int addr_size = 20;
inline constexpr int rec_name_size = 200;

// What the search loads: the window in minutes, and the fields of the
// records it reads, the last one read winning. min, max and thres are in the
// unit of the graph's samples; the others say what the daemon counts.
struct cfg_record {
    int win = 0, min = 0, max = 0, thres = 0, port = 0, proto = 0;
    char net[addr_size] = "", netm[addr_size] = "", ip[addr_size] = "";
};

// Reads the window and then records from cfg into rec, token by token, each
// in the layout of a kind whose word name holds (one record per such kind a
// pass, in the order port, proto, sock, net, ip), until the last record read
// in a pass is name's own. A number that does not read ends its record: it
// and the later fields keep what rec held. Returns 0 when name's record was
// found; otherwise prints one error line on out (unless out is null) and
// returns 1: no window of 1 to feed_win_max minutes, no kind word in name, or
// cfg ended first.
int find_record(FILE *cfg, const char *name, cfg_record &rec, FILE *out);

#endif
