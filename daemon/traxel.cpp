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
#include "filter.h"
#include "hostops.h"
#include "instance.h"
#include "live.h"
#include "pipes.h"
#include "privs.h"
#include "report.h"
#include "sampler.h"

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

// Opens the pipe of every graph in the CGI directory into its outlet. A
// graph whose path holds something other than its own pipe is left without
// one and the others go on; false after a report when a pipe cannot be made
// or opened, or no graph is left.
bool open_sample_pipes(std::vector<outlet> &outs, std::size_t bound, const run_user &who)
{
    outs.clear();
    outs.resize(graphs.size());
    const pipe_owner owner{who.uid, who.gid, who.from_root};
    std::size_t served = 0;
    for (std::size_t i = 0; i < graphs.size(); ++i) {
        char name[graph_name_max + sizeof ".fifo"];
        std::snprintf(name, sizeof name, fifo_fmt, graphs[i].name.c_str());
        std::string err;
        pipe_open r = open_sample_pipe(std::string(cgi_dir) + "/" + name, bound, owner, outs[i].pipe, err);
        if (r == pipe_open::failed) {
            report(err);
            return false;
        }
        if (r == pipe_open::refused) {
            report("graph " + graphs[i].name + " not served: " + err);
            continue;
        }
        if (!err.empty())
            report(err);
        ++served;
    }
    if (served == 0) {
        report("no graph can be served");
        return false;
    }
    return true;
}

// The daemon proper, in the installation directory: one instance, the
// configuration, the pipes, the capture, the privileges given up, then the
// background.
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
    run_user who;
    if (!resolve_user("nobody", who, err)) {
        report(err);
        return 1;
    }
    std::size_t bound = static_cast<std::size_t>(backlog_lines_per_win) * static_cast<std::size_t>(window_minutes);
    std::vector<outlet> outs;
    if (!open_sample_pipes(outs, bound, who))
        return 1;
    pcap_t *pc = open_capture(iface, err);
    if (!pc) {
        report(err);
        return 1;
    }
    if (!install_filter(pc, graphs, err) || !err.empty())
        report(err);
    int status = 1;
    if (!drop_privileges(who, err))
        report("cannot give up privileges, not started: " + err);
    else if (foreground || detach(err))
        status = run_capture(pc, graphs, ix, [&](int64_t t) { write_samples(t, graphs, outs, bound); });
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
