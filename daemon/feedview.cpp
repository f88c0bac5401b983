// The feed's view of the configuration file: whether each graph's feed will find its record as the daemon read it.
#include "feedview.h"

#include <cstdio>

// The feed's own reader, so that the check follows the feed's rule exactly.
// Its process-wide values (win, min, max, thres, ...) are what a feed would
// load; the daemon's own are window_minutes and the graphs.
#include "read_cfg.h"

bool feed_finds(const char *path, const graph &g)
{
    FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    // A feed starts from zero values: a field of its record that does not
    // parse keeps what the records before it left, or zero.
    ::win = ::min = ::max = ::thres = ::port = ::proto = 0;
    ::net[0] = ::netm[0] = ::ip[0] = '\0';
    const bool found = read_cfg_from(f, g.name.c_str(), nullptr) == 0 && ::min == g.min &&
                       ::max == g.max && ::thres == g.thres;
    std::fclose(f);
    return found;
}
