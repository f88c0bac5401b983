// Loading of a graph's window and record from the configuration file.
#include "read_cfg.h"

#include "contract.h"
#include "tokens.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

int win, min, max, thres, port, proto;
char net[addr_size], netm[addr_size], ip[addr_size];

namespace {

enum class layout { port, proto, sock, net, ip };

// The kinds in the order in which a pass reads their records.
struct kind {
    const char *keyword;
    layout lay;
};
constexpr kind kinds[] = {{"port", layout::port},
                          {"proto", layout::proto},
                          {"sock", layout::sock},
                          {"net", layout::net},
                          {"ip", layout::ip}};

// Reads numbers into fields in order; the first one that does not parse ends
// the record, so it and the later fields keep their values.
void read_ints(FILE *f, std::initializer_list<int *> fields)
{
    for (int *p : fields)
        if (!read_int(f, p))
            return;
}

// Reads one record in the layout lay into name and the loaded values.
// Returns false, name unchanged, when f ended before the record's name.
bool read_record(FILE *f, layout lay, char *name)
{
    if (!read_token(f, name, rec_name_size))
        return false;
    switch (lay) {
    case layout::port:
    case layout::sock:
        read_ints(f, {&port, &min, &max, &thres});
        break;
    case layout::proto:
        read_ints(f, {&proto, &min, &max, &thres});
        break;
    case layout::net:
        if (read_token(f, net, addr_size) && read_token(f, netm, addr_size))
            read_ints(f, {&min, &max, &thres});
        break;
    case layout::ip:
        if (read_token(f, ip, addr_size))
            read_ints(f, {&min, &max, &thres});
        break;
    }
    return true;
}

// True when name holds at least one kind keyword, so a pass reads a record.
bool has_kind(const char *name)
{
    for (const kind &kd : kinds)
        if (std::strstr(name, kd.keyword) != nullptr)
            return true;
    return false;
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

int read_cfg_from(FILE *cfg, const char *name, FILE *out)
{
    // The word must open the file; without it win stays as it was.
    if (read_word(cfg, "window"))
        read_int(cfg, &win);
    if (win < 1 || win > max_win)
        return not_found(out, "No window of 1 to %d minutes in the configuration file.\n",
                         max_win);
    if (!has_kind(name))
        return not_found(out,
                         "Graph name %s holds none of the kinds port, proto, sock, net, ip.\n",
                         name);
    // A name with several keywords reads one record per keyword a pass, and
    // only the last one read is compared: "netip" reads a net record and then
    // an ip record, and matches only when the ip record is its own.
    char rec[rec_name_size] = "";
    for (;;) {
        bool ended = false;
        for (const kind &kd : kinds)
            if (std::strstr(name, kd.keyword) != nullptr && !read_record(cfg, kd.lay, rec))
                ended = true;
        if (std::strcmp(rec, name) == 0)
            return 0;
        if (ended)
            return not_found(out, "No record for graph %s in the configuration file.\n", name);
    }
}

void read_cfg(const char *name)
{
    FILE *cfg = std::fopen(cfg_from_cgi, "r");
    if (cfg == nullptr) {
        std::printf("no-puedo-abrir-cfg-file\n");
        std::exit(0);
    }
    const int status = read_cfg_from(cfg, name, stdout);
    if (std::fclose(cfg) != 0)
        std::fprintf(stderr, "plotfeed: fclose %s: %s\n", cfg_from_cgi, std::strerror(errno));
    if (status != 0)
        std::exit(status);
}
