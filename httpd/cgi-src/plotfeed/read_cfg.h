// Loading of a graph's window and record from the configuration file.
#ifndef TRAXEL_READ_CFG_H
#define TRAXEL_READ_CFG_H

#include <cstdio>

#include "record.h"

// The loaded values; all zero before loading. win is in minutes, min, max
// and thres in the unit of the graph's samples; the others say what the
// capture daemon counts for the graph.
extern int win, min, max, thres, port, proto;
extern char net[addr_size], netm[addr_size], ip[addr_size];

// Searches cfg for the record of name (find_record) and puts what the search
// loaded into the values above. Returns 0 when it was found; otherwise 1,
// after find_record's error line on out (unless out is null).
int read_cfg_from(FILE *cfg, const char *name, FILE *out);

// Loads the record of the graph name from the configuration file above the
// CGI directory; returns only when it was found. Exits with status 0 after
// "no-puedo-abrir-cfg-file" when the file cannot be opened, and with status 1
// after read_cfg_from's error line.
void read_cfg(const char *name);

#endif
