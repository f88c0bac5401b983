// The feed's view of the configuration file: whether each graph's feed will find its record as the daemon read it.
#include "feedview.h"

#include <cstdio>
#include <cstring>

namespace {

// The feed's fields: a 200-character record name, 20-character addresses.
struct feed_rec {
    char name[200] = "";
    char a[20] = "", b[20] = "";
    int num = 0, min = 0, max = 0, thres = 0;
};

// Reads one record in the layout of keyword k with the feed's formats (the
// widths bound the feed's buffers). False at the end of the file.
bool read_layout(FILE *f, graph_kind k, feed_rec &r)
{
    int n;
    switch (k) {
    case graph_kind::net:
        n = std::fscanf(f, "%199s %19s %19s %d %d %d", r.name, r.a, r.b, &r.min, &r.max, &r.thres);
        break;
    case graph_kind::ip:
        n = std::fscanf(f, "%199s %19s %d %d %d", r.name, r.a, &r.min, &r.max, &r.thres);
        break;
    default:
        n = std::fscanf(f, "%199s %d %d %d %d", r.name, &r.num, &r.min, &r.max, &r.thres);
        break;
    }
    return n != EOF;
}

}  // namespace

bool feed_finds(const char *path, const graph &g)
{
    FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    int w = 0;
    bool found = false;
    if (std::fscanf(f, "window %d", &w) != EOF) {
        feed_rec r;
        // Every pass takes at least one name token, so the end comes.
        for (bool more = true; more && !found;) {
            for (graph_kind k : {graph_kind::port, graph_kind::proto, graph_kind::sock, graph_kind::net, graph_kind::ip})
                if (g.name.find(graph_kind_word(k)) != std::string::npos && !read_layout(f, k, r))
                    more = false;
            found = more && g.name == r.name;
        }
        found = found && r.min == g.min && r.max == g.max && r.thres == g.thres;
    }
    std::fclose(f);
    return found;
}
