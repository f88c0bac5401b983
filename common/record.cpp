// The feed's search for one graph's record in the configuration file.
#include "record.h"

#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include "contract.h"
#include "graphname.h"
#include "tokens.h"

namespace {

// Reads numbers into fields in order; the first one that does not parse ends
// the record, so it and the later fields keep their values.
void read_ints(FILE *f, std::initializer_list<int *> fields)
{
    for (int *p : fields)
        if (!read_int(f, p))
            return;
}

// Reads one record in the layout of kind k into name and rec. Returns false,
// name unchanged, when f ended before the record's name.
bool read_record(FILE *f, graph_kind k, char *name, cfg_record &rec)
{
    if (!read_token(f, name, rec_name_size))
        return false;
    switch (k) {
    case graph_kind::port:
    case graph_kind::sock:
        read_ints(f, {&rec.port, &rec.min, &rec.max, &rec.thres});
        break;
    case graph_kind::proto:
        read_ints(f, {&rec.proto, &rec.min, &rec.max, &rec.thres});
        break;
    case graph_kind::net:
        if (read_token(f, rec.net, addr_size) && read_token(f, rec.netm, addr_size))
            read_ints(f, {&rec.min, &rec.max, &rec.thres});
        break;
    case graph_kind::ip:
        if (read_token(f, rec.ip, addr_size))
            read_ints(f, {&rec.min, &rec.max, &rec.thres});
        break;
    }
    return true;
}

// Prints the line that says why a record was not loaded on out, unless out
// is null, and returns 1.
__attribute__((format(printf, 2, 3))) int not_found(FILE *out, const char *fmt, ...)
{
    if (out != nullptr) {
        std::va_list ap;
        va_start(ap, fmt);
        std::vfprintf(out, fmt, ap);
        va_end(ap);
    }
    return 1;
}

}  // namespace

int find_record(FILE *cfg, const char *name, cfg_record &rec, FILE *out)
{
    // The word must open the file; without it win stays as it was.
    if (read_word(cfg, "window"))
        read_int(cfg, &rec.win);
    if (rec.win < win_min || rec.win > feed_win_max)
        return not_found(out, "No window of %d to %d minutes in the configuration file.\n", win_min, feed_win_max);
    graph_kind last;
    if (!graph_kind_of(name, last))
        return not_found(out, "Graph name %s holds none of the kinds port, proto, sock, net, ip.\n", name);
    // A name with several words reads one record per word a pass, and only
    // the last one read is compared: "netip" reads a net record and then an
    // ip record, and matches only when the ip record is its own.
    char rec_name[rec_name_size] = "";
    for (;;) {
        bool ended = false;
        for (graph_kind k : graph_kinds)
            if (std::strstr(name, graph_kind_word(k)) != nullptr && !read_record(cfg, k, rec_name, rec))
                ended = true;
        if (std::strcmp(rec_name, name) == 0)
            return 0;
        if (ended)
            return not_found(out, "No record for graph %s in the configuration file.\n", name);
    }
}
