// The feed's view of the configuration file: whether each graph's feed will find its record as the daemon read it.
#include "feedview.h"

#include <cstdio>

#include "record.h"

bool feed_finds(const char *path, const graph &g)
{
    FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    // A feed starts from zero values: a field of its record that does not
    // parse keeps what the records before it left, or zero.
    cfg_record rec;
    const bool found = find_record(f, g.name.c_str(), rec, nullptr) == 0 && rec.min == g.min && rec.max == g.max &&
                       rec.thres == g.thres;
    std::fclose(f);
    return found;
}
