// What the capture daemon and the CGI programs rely on of each other.
#ifndef TRAXEL_CONTRACT_H
#define TRAXEL_CONTRACT_H

#include <climits>
#include <cstddef>

#ifndef TRAXEL_INSTALL_DIR
#define TRAXEL_INSTALL_DIR "/usr/local/traxel"
#endif

// The installation directory: the daemon's working directory, holding the
// daemon, its configuration file and the web tree.
inline constexpr char install_dir[] = TRAXEL_INSTALL_DIR;

// The launcher runs this through the shell in install_dir, without arguments.
inline constexpr char start_cmd[] = "./traxel &";

// The configuration file, as the daemon sees it (in install_dir) and as a CGI
// program sees it (two levels above the CGI directory).
inline constexpr char cfg_file[] = "traxel.cfg";
inline constexpr char cfg_from_cgi[] = "../../traxel.cfg";

// The CGI directory, relative to install_dir; the sample pipes lie in it.
inline constexpr char cgi_dir[] = "httpd/cgi-bin";

// The longest graph name: the feed builds its pipe path "./<name>.fifo" in
// 20 characters.
inline constexpr int graph_name_max = 12;

// The graph window, in minutes. An installation's window is 1 to win_max, a
// day, which keeps the backlog of a pipe (backlog_lines_per_win x win lines)
// well inside what a pipe can be made to hold. A feed reads any window up to
// feed_win_max, the largest whose seconds (win x 60) fit an int.
inline constexpr int win_min = 1;
inline constexpr int win_max = 1440;
inline constexpr int feed_win_max = INT_MAX / 60;

// One named pipe per graph: the daemon names it with fifo_fmt inside cgi_dir,
// the feed opens it with fifo_open_fmt from its working directory, the CGI
// directory.
inline constexpr char fifo_fmt[] = "%s.fifo";
inline constexpr char fifo_open_fmt[] = "./%s.fifo";

// The pid file of the newest feed of a graph.
inline constexpr char pid_fmt[] = "/tmp/%s.pid";

// A sample line: a label token of at most sample_label_max characters, a
// blank, a decimal integer, a newline; one per graph every sample_interval
// seconds, so sample_line_max bytes at most. The feed asks for at most
// sample_read_size - 1 characters a line.
inline constexpr char sample_fmt[] = "%s %d\n";
inline constexpr int sample_label_max = 19;
inline constexpr std::size_t sample_line_max = sample_label_max + 1 + 11 + 1;
inline constexpr int sample_interval = 5;
inline constexpr int sample_read_size = 50;
inline constexpr int samples_per_minute = 60 / sample_interval;

// Unread lines wait in the pipe; the daemon keeps at most this many of them
// per window minute (12 x win lines, a full window), dropping the oldest.
inline constexpr int backlog_lines_per_win = samples_per_minute;

// The most lines that wait in the pipe of a graph with a window of win
// minutes, and the most bytes they hold. A reader that asks for that many
// bytes at a time takes all that waits with each read, so it never leaves in
// the pipe the rest of a line that it has begun, which the daemon's trimming
// would tear from it.
constexpr std::size_t backlog_lines(int win)
{
    return static_cast<std::size_t>(backlog_lines_per_win) * static_cast<std::size_t>(win);
}
constexpr std::size_t backlog_bytes(int win) { return backlog_lines(win) * sample_line_max; }

// The most graphs that the multiplexed feed serves over one connection; a
// page of more graphs opens one connection per this many.
inline constexpr int graphs_per_connection = 256;

// The daemon's counters in the Prometheus text format: the file metrics_file,
// replaced each interval in the directory "run" beside the configuration,
// which the CGI program metrics reads as metrics_from_web from its working
// directory (htdocs or the CGI directory alike).
inline constexpr char metrics_file[] = "traxel.prom";
inline constexpr char metrics_from_web[] = "../../run/traxel.prom";

// The samples of every graph's last window, for the graphs page: the file
// window_file, replaced each interval beside metrics_file. The installation
// links it into the page directory, where the web server serves it.
inline constexpr char window_file[] = "window.json";

#endif
