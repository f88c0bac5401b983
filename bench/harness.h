// Shared pieces of the benchmarks: clocks, a temporary installation, feed processes, figures and the result table.
#ifndef TRAXEL_BENCH_HARNESS_H
#define TRAXEL_BENCH_HARNESS_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Milliseconds on the monotonic clock; only differences mean anything.
double now_ms();

// Sleeps until the monotonic clock reads at_ms (returns at once when past).
void sleep_until_ms(double at_ms);

// A temporary installation: dir holds traxel.cfg and httpd/cgi-bin, in which
// every graph has its named pipe. Removed with remove_inst.
struct inst {
    std::string dir;
    std::string cgi;  // dir + "/httpd/cgi-bin"
    std::vector<std::string> graphs;
};

// Graph names "bnchport0001" ... for n graphs: 12 characters, of the port kind,
// unlikely to meet a real graph's pid file in /tmp.
std::vector<std::string> bench_names(int n);

// Creates a temporary installation under /tmp with a configuration of window
// win and one port record per name (limits 0 1000 800), and a named pipe per
// name. False with err naming the failed call.
bool make_inst(const std::vector<std::string> &names, int win, inst &in, std::string &err);

// The same with the configuration text cfg_text, and a named pipe for each
// graph of names.
bool make_inst_cfg(const std::string &cfg_text, const std::vector<std::string> &names, inst &in, std::string &err);

// Removes the installation's tree and the graphs' pid files in /tmp.
void remove_inst(inst &in);

// Removes the pid file of graph name in /tmp, if any.
void remove_pid_file(const std::string &name);

// Starts bin as a feed of graph name the way a web server runs a CGI program:
// argv[0] the bare name, working directory cgi, REQUEST_METHOD=GET and
// QUERY_STRING=query; its standard output goes to out_fd, standard error to
// /dev/null. extra_argv is appended (for stand-ins such as cat). Returns the
// pid, or -1 with err.
pid_t spawn_feed(const std::string &bin, const std::string &name, const std::string &cgi,
                 const std::string &query, int out_fd, const std::vector<std::string> &extra_argv,
                 std::string &err);

// The absolute path of an existing file (symbolic links resolved), or path
// itself when it cannot be resolved; spawn_feed changes directory first.
std::string abs_path(const std::string &path);

// Closes fd, reporting a failure on standard error with what names it.
void close_fd(int fd, const char *what);

// Sends sig to pid and reaps it; a pid of 0 or less is ignored.
void end_proc(pid_t pid, int sig);

// The process's user plus system time in clock ticks from /proc/<pid>/stat,
// or -1 when it cannot be read.
long long cpu_ticks(pid_t pid);

// The process's time on a CPU in nanoseconds from /proc/<pid>/schedstat, or -1.
long long cpu_ns(pid_t pid);

// Private_Dirty of the process in KiB from /proc/<pid>/smaps_rollup, or -1.
long private_dirty_kib(pid_t pid);

// Waits up to limit_ms until pid sleeps (state S in /proc/<pid>/stat).
bool wait_sleeping(pid_t pid, double limit_ms);

// Raises the soft limit of open files to want (and the hard limit if allowed).
bool raise_nofile(std::size_t want, std::string &err);

// Median and the p-th percentile (0..100, nearest rank) of v; 0 when empty.
double median(std::vector<double> v);
double percentile(std::vector<double> v, double p);

// Prints one row of the result table on standard output, tab-separated after
// the word "row": name, figure, baseline, ratio, target, and whether the
// target is met ("yes", "no", or "-" when the row has no target).
void print_row(const std::string &name, const std::string &figure, const std::string &baseline,
               double ratio, const std::string &target, const std::string &met);

// Formats v with prec digits after the point, followed by unit.
std::string fmt(double v, int prec, const char *unit);

// A sample line as the daemon writes it for sequence number seq: a time-of-day
// label derived from seq, a blank, seq, a newline.
std::string sample_line(int seq);

// Opens the named pipe fifo for writing without waiting for a reader and
// leaves sample lines 1 to n in it, as the daemon leaves a backlog; returns
// the descriptor, or -1. Failures go to standard error as "prog: open
// <fifo>: <reason>" (fatal) or "prog: write <fifo>: <reason>".
int open_backlog(const char *prog, const std::string &fifo, int n);

// Splits the bytes arriving on a stream into lines.
struct line_reader {
    std::string buf;
    // Appends n bytes and moves every complete line (without its newline) to out.
    void feed(const char *data, std::size_t n, std::vector<std::string> &out);
};

#endif
