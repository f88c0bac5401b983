// The capture daemon: counts the traffic of every configured graph and writes its samples into the graph's pipe.
#include <getopt.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cfg.h"
#include "contract.h"
#include "dump.h"
#include "fd.h"
#include "feedview.h"
#include "filter.h"
#include "hostops.h"
#include "instance.h"
#include "live.h"
#include "nosend.h"
#include "exposition.h"
#include "pipes.h"
#include "privs.h"
#include "publish.h"
#include "report.h"
#include "sampler.h"
#include "settings.h"
#include "site.h"
#include "window.h"

namespace {

// The directory, beside the configuration, where the daemon publishes its
// counters and the window of samples each interval.
constexpr char state_dir[] = "run";

// Prints the usage on to and returns status.
int usage(FILE *to, int status)
{
    std::fprintf(to,
                 "usage: traxel [-f] [-i interface]\n"
                 "       traxel -n\n"
                 "       traxel -r file [-n] [-e] [-x]\n"
                 "       traxel -h\n"
                 "  -f            stay in the foreground\n"
                 "  -i interface  capture on interface, not on capture.cfg's\n"
                 "  -n            alone: check traxel.cfg, capture.cfg and site.cfg as a start and an\n"
                 "                installation read them, and print what the installation lays out;\n"
                 "                with -r: numeric output\n"
                 "  -r file       print the frames of a capture file of the null link layer\n"
                 "  -e            with -r: print the link-level header\n"
                 "  -x            with -r: print each frame in hexadecimal\n"
                 "  -h, --help    print this help\n");
    return status;
}

// Reads traxel.cfg into window_minutes and graphs, capture.cfg into st and
// site.cfg into si, as a start does. False with every fault found in err, one
// line each; capture.cfg is read even after faults of traxel.cfg, against the
// graphs whose names read, so that its own faults show as well. The daemon's
// user is the web server's, who owns the pipes, unless capture.cfg names
// another, which a warning in st.warnings questions.
bool read_config(settings &st, site &si, std::string &err)
{
    int win = 0;
    std::vector<graph> gs;
    std::string faults[3];
    const bool cfg_ok = read_graphs(cfg_file, win, gs, faults[0]);
    const bool settings_ok = load_settings(settings_file, gs, st, faults[1]);
    const bool site_ok = load_site(site_file, si, faults[2]);
    err.clear();
    for (const std::string &f : faults)
        if (!f.empty())
            err += (err.empty() ? "" : "\n") + f;
    if (!cfg_ok || !settings_ok || !site_ok)
        return false;
    window_minutes = win;
    graphs = std::move(gs);
    if (st.user.empty())
        st.user = si.web_user;
    else if (st.user != si.web_user)
        st.warnings.push_back(std::string(settings_file) + ":" + std::to_string(st.user_line) + ": user " + st.user +
                              " is not the web-user " + si.web_user + " of " + site_file +
                              ": a daemon that the launcher starts runs as " + si.web_user +
                              " and cannot write the pipes that a start as root gives " + st.user);
    return true;
}

// Reports the warnings of the settings.
void warn_settings(const settings &st)
{
    for (const std::string &w : st.warnings)
        report(w);
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

// Opens the pipe of each of the first fit graphs in the CGI directory into
// its outlet (the others go without); a root start gives them to who and to
// the group readers, the web server's user's, whose feeds read them. A graph
// whose pipe cannot be made or opened, or whose path holds something other
// than its own pipe, is left without one after a report, and the others go
// on; false after a report when no graph is left.
bool open_sample_pipes(std::vector<outlet> &outs, std::size_t bound, const run_user &who, gid_t readers,
                       std::size_t fit)
{
    outs.clear();
    outs.resize(graphs.size());
    const pipe_owner owner{who.uid, who.from_root ? readers : who.gid, who.from_root};
    std::size_t served = 0;
    for (std::size_t i = 0; i < graphs.size() && i < fit; ++i) {
        char name[graph_name_max + sizeof ".fifo"];
        std::snprintf(name, sizeof name, fifo_fmt, graphs[i].name.c_str());
        std::string err;
        if (!open_sample_pipe(std::string(cgi_dir) + "/" + name, bound, owner, outs[i].pipe, err)) {
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

// Opens the daemon's state directory run/ into run (made when missing,
// given to the daemon's user), where the counters and the window of samples
// go each interval, and takes the installation's lock there. None
// after a report, or after the line that another daemon runs, with status
// set to the exit status.
unique_fd take_instance(const run_user &who, publish_dir &run, int &status)
{
    std::string err;
    status = 1;
    if (!run.open(state_dir, true, err)) {
        report(err);
        return unique_fd();
    }
    if (who.from_root && fchown(run.fd(), who.uid, who.gid) != 0) {
        report(sys_fault("fchown", state_dir));
        return unique_fd();
    }
    unique_fd lock = lock_instance(run.fd(), state_dir, who, err);
    if (!lock.valid() && err.empty()) {
        std::fprintf(stderr, "traxel: already running in this installation; not started again\n");
        status = 0;
    } else if (!lock.valid()) {
        report(err);
    }
    return lock;
}

// traxel -n: reads the configuration and site.cfg as a start does, and
// nothing else (no pipe, no capture, no lock). Every fault goes to standard
// error as a start reports it, and the status is 1; otherwise the status is 0
// and standard output holds what an installation lays out, one line each:
//   window MINUTES
//   interval SECONDS             (between two samples)
//   per-connection GRAPHS        (the most graphs a page's connection serves)
//   graph NAME KIND UNIT         (one per graph, in the order of traxel.cfg)
//   listen ADDRESS, port NUMBER, web-user NAME, boot yes|no   (site.cfg)
//   user NAME                    (whom the daemon runs as)
//   textfile DIRECTORY           (only when capture.cfg names one)
// KIND is port, proto, sock, net or ip; UNIT packets, connections, bits or
// kbits.
int check_config()
{
    settings st;
    site si;
    std::string err;
    if (!read_config(st, si, err)) {
        report(err);
        return 1;
    }
    warn_settings(st);
    warn_feed_view();
    std::printf("window %d\ninterval %d\nper-connection %d\n", window_minutes, sample_interval,
                graphs_per_connection);
    for (std::size_t i = 0; i < graphs.size(); ++i)
        std::printf("graph %s %s %s\n", graphs[i].name.c_str(), graph_kind_word(graphs[i].gk),
                    unit_name(st.units[i], graphs[i].gk));
    std::printf("listen %s\nport %d\nweb-user %s\nboot %s\nuser %s\n", si.listen.c_str(), si.port,
                si.web_user.c_str(), si.boot ? "yes" : "no", st.user.c_str());
    if (!st.textfile.empty())
        std::printf("textfile %s\n", st.textfile.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// The counters at grid time t.
metrics_snapshot snapshot(int64_t t, const std::vector<outlet> &outs, const capture_count &cc)
{
    metrics_snapshot m;
    for (std::size_t i = 0; i < graphs.size() && i < outs.size(); ++i) {
        const graph &g = graphs[i];
        const outlet &o = outs[i];
        m.graphs.push_back({g.name, unit_name(o.unit, g.gk), o.packets_total, o.bytes_total, o.last, g.min, g.max,
                            g.thres});
    }
    m.captures.push_back(cc.totals);
    m.last_sample_time = t;
    return m;
}

// What counts the traffic: the kernel's programs, or libpcap's capture.
struct counting {
    kernel_count kc;
    pcap_t *pc = nullptr;
    std::string fallback;  // why method auto counts with libpcap; "" when it counts in the kernel or was not asked
    counting() = default;
    counting(const counting &) = delete;
    counting &operator=(const counting &) = delete;
    ~counting()
    {
        if (pc)
            pcap_close(pc);
    }
};

// Starts counting on w's interface (its index set) by the method of st into
// c, cc told which; false after a report.
bool start_counting(const settings &st, iface_watch &w, counting &c, capture_count &cc)
{
    std::string err;
    if (w.follows() && (w.ifindex = static_cast<int>(if_nametoindex(w.name.c_str()))) == 0) {
        report("cannot capture on " + w.name + ": no such interface");
        return false;
    }
    if (st.method != capture_method::pcap) {
        if (c.kc.start(graphs, w.follows() ? w.ifindex : ifindex_all, err)) {
            cc.totals.method = "kernel";
            return true;
        }
        if (st.method == capture_method::kernel) {
            report("cannot count in the kernel: " + err);
            return false;
        }
        c.fallback = err;
    }
    c.pc = open_capture(w.name.c_str(), st.buffer_mib, err);
    if (!c.pc) {
        report(err);
        return false;
    }
    if (!install_filter(c.pc, graphs, err) || !err.empty())
        report(err);
    return true;
}

// The line that says how the daemon counts.
std::string start_line(const counting &c, const iface_watch &w)
{
    const std::string how =
        "counting " + std::to_string(graphs.size()) + (graphs.size() == 1 ? " graph on " : " graphs on ") + w.name;
    if (!c.pc)
        return how + " in the kernel";
    return how + " with libpcap" + (c.fallback.empty() ? "" : "; cannot count in the kernel: " + c.fallback);
}

// The daemon proper, in the installation directory: one instance, the
// configuration and settings, the pipes, the capture and the state
// directories, the privileges given up, then the background.
int serve(const char *iface, bool foreground)
{
    close_inherited();
    std::string err;
    // Armed first: a SIGTERM during start-up waits and ends the loop at once.
    if (!setup_signals(err)) {
        report(err);
        return 1;
    }
    count_index ix;
    settings st;
    site si;
    run_user who;
    if (!read_config(st, si, err) || !index_graphs(graphs, ix, err) || !resolve_user(st.user, who, err)) {
        report(err);
        return 1;
    }
    publish_dir run, text;
    int status = 1;
    const unique_fd lock = take_instance(who, run, status);
    if (!lock.valid())
        return status;
    warn_settings(st);
    warn_feed_view();
    const std::size_t bound = backlog_lines(window_minutes);
    err.clear();
    const std::size_t fit = room_for_pipes(graphs.size(), err);
    if (!err.empty())
        report(err);
    std::vector<outlet> outs;
    const passwd *web = getpwnam(si.web_user.c_str());
    if (!open_sample_pipes(outs, bound, who, web ? web->pw_gid : who.gid, fit))
        return 1;
    for (std::size_t i = 0; i < outs.size(); ++i)
        outs[i].unit = st.units[i];
    capture_count cc;
    iface_watch w;
    w.name = cc.totals.interface = iface ? iface : st.iface;
    counting c;
    if (!start_counting(st, w, c, cc))
        return 1;
    if (!st.textfile.empty() && !text.open(st.textfile, false, err))
        report(err + "; the counters are not published there");
    sample_window win(graphs.size(), window_slots(window_minutes, graphs.size()));
    auto on_grid = [&](int64_t t) {
        if (c.pc)
            account_capture(c.pc, cc);
        write_samples(t, graphs, outs, bound);
        const std::string m = metrics_text(snapshot(t, outs, cc));
        run.publish(metrics_file, m);
        text.publish(metrics_file, m);
        publish_window(t, graphs, outs, win, run);
    };
    if (!drop_privileges(who, err) || (c.pc && !forbid_sending(pcap_get_selectable_fd(c.pc), err)))
        report("cannot give up privileges, not started: " + err);
    else if (!foreground && !detach(lock.get(), err))
        report(err);
    else {
        report(start_line(c, w));
        status = c.pc ? run_capture(c.pc, w, graphs, ix, on_grid) : run_kernel(c.kc, w, graphs, cc, on_grid);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *iface = nullptr;  // capture.cfg's, or all interfaces
    const char *file = nullptr;
    bool foreground = false;
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "fi:r:nexh", longs, nullptr)) != -1) {
        switch (c) {
        case 'f': foreground = true; break;
        case 'i': iface = optarg; break;
        case 'r': file = optarg; break;
        case 'n': nflag = 1; break;
        case 'e': eflag = 1; break;
        case 'x': xflag = 1; break;
        case 'h': return usage(stdout, 0);
        default: return usage(stderr, 2);
        }
    }
    if (optind != argc)
        return usage(stderr, 2);
    if (file)
        return dump_file(file);
    if (eflag || xflag)
        return usage(stderr, 2);
    if (nflag)
        return foreground || iface ? usage(stderr, 2) : check_config();
    return serve(iface, foreground);
}
