// The feed's view of the configuration file: whether each graph's feed will find its record as the daemon read it.
#ifndef TRAXEL_FEEDVIEW_H
#define TRAXEL_FEEDVIEW_H

#include <string>

#include "cfg.h"

// Reads the file at path with the feed's own search, as the feed of graph g
// does (from the start, one record per keyword of g's name in the order
// port, proto, sock, net, ip, each in its keyword's layout, until a record
// name equals g's name), and returns true when that search ends at a record
// whose limits equal g's. False when the file cannot be opened, the search
// runs to its end, or meets other limits.
bool feed_finds(const char *path, const graph &g);

#endif
