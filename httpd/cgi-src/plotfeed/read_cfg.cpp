// Loading of a graph's window and record from the configuration file.
#include "read_cfg.h"

#include "contract.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int win, min, max, thres, port, proto;
char net[addr_size], netm[addr_size], ip[addr_size];

int read_cfg_from(FILE *cfg, const char *name, FILE *out)
{
    cfg_record rec;
    const int status = find_record(cfg, name, rec, out);
    win = rec.win;
    min = rec.min;
    max = rec.max;
    thres = rec.thres;
    port = rec.port;
    proto = rec.proto;
    std::memcpy(net, rec.net, sizeof net);
    std::memcpy(netm, rec.netm, sizeof netm);
    std::memcpy(ip, rec.ip, sizeof ip);
    return status;
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
