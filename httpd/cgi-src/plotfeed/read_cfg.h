// Loading of a graph's window and record from the configuration file.
#ifndef TRAXEL_READ_CFG_H
#define TRAXEL_READ_CFG_H

#include <cstdio>

// Sizes of the address fields and of the record-name buffer, terminator
// included.
inline constexpr int addr_size = 20;
inline constexpr int rec_name_size = 200;

// The largest window, in minutes, whose seconds (win x 60) fit an int.
inline constexpr int max_win = 35791394;

// The loaded values; all zero before loading. win is in minutes, min, max
// and thres in the unit of the graph's samples; the others say what the
// capture daemon counts for the graph.
extern int win, min, max, thres, port, proto;
extern char net[addr_size], netm[addr_size], ip[addr_size];

// Reads the window and then records in the layout of name's kinds from cfg
// until the last record read in a pass is name's own. Returns 0 when it was
// found; otherwise prints one error line on out (unless out is null) and
// returns 1: no window of 1 to max_win minutes, no kind keyword in name, or
// cfg ended first.
int read_cfg_from(FILE *cfg, const char *name, FILE *out);

// Loads the record of the graph name from the configuration file above the
// CGI directory; returns only when it was found. Exits with status 0 after
// "no-puedo-abrir-cfg-file" when the file cannot be opened, and with status 1
// after read_cfg_from's error line.
void read_cfg(const char *name);

#endif
