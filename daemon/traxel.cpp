// The capture daemon: counts the traffic of every configured graph and writes its samples into the graph's pipe.
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cfg.h"
#include "contract.h"
#include "dump.h"
#include "feedview.h"
#include "hostops.h"
#include "instance.h"
#include "live.h"
#include "pipes.h"
#include "report.h"

namespace {

// The interface watched when no -i is given.
constexpr char default_iface[] = "lo";

int usage()
{
    std::fprintf(stderr,
                 "usage: traxel [-f] [-i interface]\n"
                 "       traxel -r file [-n] [-e] [-x]\n");
    return 2;
}

// Warns of graphs whose feed will not find their record: the feed reads the
// records before its own in its own layout, which not every order allows.
void warn_feed_view()
{
    for (const graph &g : graphs)
        if (!feed_finds(cfg_file, g))
            report(std::string(cfg_file) + ": graph " + g.name +
                   ": its feed will not find this record (records before it do not read in its layout)");
}

// Opens the pipe of every graph in the CGI directory; false after a report.
bool open_sample_pipes(std::vector<sample_pipe> &pipes, std::size_t bound)
{
    for (const graph &g : graphs) {
        char name[graph_name_max + sizeof ".fifo"];
        std::snprintf(name, sizeof name, fifo_fmt, g.name.c_str());
        std::string err;
        sample_pipe f;
        if (!open_sample_pipe(std::string(cgi_dir) + "/" + name, bound, f, err)) {
            report(err);
            return false;
        }
        if (!err.empty())
            report(err);
        pipes.push_back(std::move(f));
    }
    return true;
}

// The daemon proper, in the installation directory: one instance, the
// configuration, the pipes, the capture, then the background.
int serve(const char *iface, bool foreground)
{
    close_inherited();
    std::string err;
    // Armed first: a SIGTERM during start-up waits and ends the loop at once.
    if (!setup_signals(err)) {
        report(err);
        return 1;
    }
    int lock = lock_instance(err);
    if (lock < 0) {
        if (!err.empty()) {
            report(err);
            return 1;
        }
        std::fprintf(stderr, "traxel: already running in this installation; not started again\n");
        return 0;
    }
    count_index ix;
    if (!load_graphs(cfg_file, err) || !index_graphs(graphs, ix, err)) {
        report(err);
        return 1;
    }
    warn_feed_view();
    std::size_t bound = static_cast<std::size_t>(backlog_lines_per_win) * static_cast<std::size_t>(window_minutes);
    std::vector<sample_pipe> pipes;
    if (!open_sample_pipes(pipes, bound))
        return 1;
    pcap_t *pc = open_capture(iface, err);
    if (!pc) {
        report(err);
        return 1;
    }
    int status = 1;
    if (foreground || detach(err))
        status = run_capture(pc, graphs, ix, pipes, bound);
    else
        report(err);
    pcap_close(pc);
    close(lock);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *iface = default_iface;
    const char *file = nullptr;
    bool foreground = false;
    int c;
    while ((c = getopt(argc, argv, "fi:r:nex")) != -1) {
        switch (c) {
        case 'f': foreground = true; break;
        case 'i': iface = optarg; break;
        case 'r': file = optarg; break;
        case 'n': nflag = 1; break;
        case 'e': eflag = 1; break;
        case 'x': xflag = 1; break;
        default: return usage();
        }
    }
    if (optind != argc)
        return usage();
    if (file)
        return dump_file(file);
    if (nflag || eflag || xflag)
        return usage();
    return serve(iface, foreground);
}
