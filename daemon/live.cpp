// Live capture: opening the interface, and the loops that count (frames copied by libpcap, or the kernel's counters) and write samples on the grid.
#include "live.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "classify.h"
#include "report.h"
#include "sampler.h"

volatile std::sig_atomic_t stop = 0;

namespace {

// What counting reads of a frame: a link-layer header of up to 36 bytes
// (the cooked v2 header and four VLAN tags), an IPv6 header with up to eight
// extension headers of the smallest size, 8 bytes, and the TCP header up to
// its flags. An IPv4 header with options is shorter. A longer chain counts
// for net and ip graphs only, as one cut short does anywhere.
constexpr int snap = 36 + 40 + 8 * 8 + 14;

// The kernel fills the capture buffer in blocks and hands a block over when
// it is full or has held frames for this long: a light stream wakes the
// daemon five times a second at most, a heavy one once per block of some
// thousand frames, never once per frame. Shorter, the wake-ups of a light
// stream would cost more than its frames.
constexpr int block_ms = 200;

// The samples of a grid time wait this long for the frames captured before
// it: the kernel hands over the block that holds them within a block timeout
// (two on kernels before 6.x), and a frame stamped after the grid time counts
// for the next interval.
constexpr int hold_ms = 2 * block_ms + 50;

// The kernel's counters of an interval are read this long after its end.
constexpr int settle_ms = 10;

sigset_t wait_mask;  // the mask during the wait: SIGTERM and SIGINT open

void on_stop(int)
{
    stop = 1;
}

// Frames stamped before split count in gs, later ones in late.
struct counting {
    int dlt;
    const count_index *ix;
    std::vector<graph> *gs, *late;
    int64_t split;  // seconds since the Epoch
};

void on_frame(u_char *user, const struct pcap_pkthdr *h, const u_char *bytes)
{
    auto *c = reinterpret_cast<counting *>(user);
    count_frame(*c->ix, c->dlt, bytes, h->caplen, h->len, h->ts.tv_sec < c->split ? *c->gs : *c->late);
}

int count_split(pcap_t *pc, const count_index &ix, std::vector<graph> &gs, std::vector<graph> &late, int64_t split)
{
    counting c{pcap_datalink(pc), &ix, &gs, &late, split};
    return pcap_dispatch(pc, -1, on_frame, reinterpret_cast<u_char *>(&c));
}

double mono_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Why pcap_activate failed, in words for the admin.
std::string activate_fault(pcap_t *pc, int rc)
{
    if (rc == PCAP_ERROR_PERM_DENIED)
        return "capture not permitted (run as root, or give the program cap_net_raw,cap_net_admin)";
    if (rc == PCAP_ERROR_NO_SUCH_DEVICE)
        return "no such interface";
    if (rc == PCAP_ERROR_IFACE_NOT_UP)
        return "interface is down";
    const char *detail = rc == PCAP_ERROR ? pcap_geterr(pc) : pcap_statustostr(rc);
    return detail;
}

// The seconds of the time of day, read as wait_ms reads them: time() reads a
// coarser clock that may still show the second before for some milliseconds,
// spun through waiting for a grid time already due.
int64_t wall_s()
{
    struct timespec ts;
    return clock_gettime(CLOCK_REALTIME, &ts) == 0 ? static_cast<int64_t>(ts.tv_sec) : time(nullptr);
}

// Milliseconds from the time of day to grid time next, rounded up, within 0
// and one interval, so that a clock stepped back is noticed within an
// interval. Rounded down, the last fraction of a millisecond before the grid
// time would be a wait of 0, spun through until the second turns.
int wait_ms(int64_t next)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return 1000;
    const int64_t ns = (next - static_cast<int64_t>(ts.tv_sec)) * 1000000000 - ts.tv_nsec;
    const int64_t ms = (ns + 999999) / 1000000;
    if (ms < 0)
        return 0;
    return ms > sample_interval * 1000 ? sample_interval * 1000 : static_cast<int>(ms);
}

// Points the packet socket of pc at the interface of index ifindex, as
// libpcap bound it at the start: binding needs no privilege.
bool rebind(pcap_t *pc, int ifindex)
{
    struct sockaddr_ll at;
    std::memset(&at, 0, sizeof at);
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = ifindex;
    return bind(pcap_get_selectable_fd(pc), reinterpret_cast<struct sockaddr *>(&at), sizeof at) == 0;
}

}  // namespace

bool iface_watch::look()
{
    const int now = static_cast<int>(if_nametoindex(name.c_str()));
    if (now == ifindex)
        return false;
    if (ifindex != 0)
        report("interface " + name + " is gone; its graphs count 0 until it is back");
    if (now != 0)
        report("interface " + name + " is back; counting again");
    ifindex = now;
    return true;
}

pcap_t *open_capture(const char *iface, int buffer_mib, std::string &err)
{
    char ebuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pc = pcap_create(iface, ebuf);
    if (!pc) {
        err = std::string("cannot capture on ") + iface + ": " + ebuf;
        return nullptr;
    }
    // Not immediate mode: libpcap then takes the kernel's ring of blocks, and
    // the block timeout is its timeout. The buffer must hold what arrives
    // while the daemon writes its samples: libpcap's default of 2 MiB is a few
    // milliseconds at 1 Gbit/s.
    if (pcap_set_snaplen(pc, snap) != 0 || pcap_set_promisc(pc, 0) != 0 || pcap_set_timeout(pc, block_ms) != 0 ||
        pcap_set_buffer_size(pc, buffer_mib << 20) != 0) {
        err = std::string("cannot capture on ") + iface + ": " + pcap_geterr(pc);
        pcap_close(pc);
        return nullptr;
    }
    int rc = pcap_activate(pc);
    if (rc < 0) {
        err = std::string("cannot capture on ") + iface + ": " + activate_fault(pc, rc);
        pcap_close(pc);
        return nullptr;
    }
    int dlt = pcap_datalink(pc);
    if (!link_known(dlt)) {
        const char *name = pcap_datalink_val_to_name(dlt);
        err = std::string("cannot capture on ") + iface + ": link type " + (name ? name : std::to_string(dlt)) +
              " is not decoded";
        pcap_close(pc);
        return nullptr;
    }
    if (pcap_setnonblock(pc, 1, ebuf) != 0 || pcap_get_selectable_fd(pc) < 0) {
        err = std::string("cannot capture on ") + iface + ": " + (ebuf[0] ? ebuf : "no descriptor to wait on");
        pcap_close(pc);
        return nullptr;
    }
    return pc;
}

uint64_t counter_delta(uint32_t was, uint32_t now)
{
    const uint32_t d = now - was;
    return d <= UINT32_MAX / 2 ? d : now;
}

void account_capture(pcap_t *pc, capture_count &c)
{
    struct pcap_stat now;
    if (pcap_stats(pc, &now) != 0) {
        if (!c.failing)
            report(std::string("pcap_stats ") + c.totals.interface + ": " + pcap_geterr(pc));
        c.failing = true;
        return;
    }
    c.failing = false;
    const uint64_t kernel = counter_delta(c.seen.ps_drop, now.ps_drop);
    const uint64_t iface = counter_delta(c.seen.ps_ifdrop, now.ps_ifdrop);
    c.totals.received += counter_delta(c.seen.ps_recv, now.ps_recv);
    c.totals.dropped_kernel += kernel;
    c.totals.dropped_interface += iface;
    c.seen = now;
    if (kernel + iface > 0)
        report("capture on " + c.totals.interface + ": " + std::to_string(kernel + iface) +
               " packets lost in this interval, counts are short (" + std::to_string(kernel) +
               " for want of room in the kernel's buffer, " + std::to_string(iface) + " by the interface)");
}

int count_pending(pcap_t *pc, const count_index &ix, std::vector<graph> &gs)
{
    return count_split(pc, ix, gs, gs, INT64_MAX);
}

bool setup_signals(std::string &err)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0 ||
        signal(SIGPIPE, SIG_IGN) == SIG_ERR || sigprocmask(SIG_BLOCK, &block, &wait_mask) != 0) {
        err = sys_fault("sigaction");
        return false;
    }
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    return true;
}

int run_capture(pcap_t *pc, iface_watch &w, std::vector<graph> &gs, const count_index &ix,
                const std::function<void(int64_t)> &on_grid)
{
    const int fd = pcap_get_selectable_fd(pc);
    // fd -1 while the interface is gone: ppoll then only waits.
    struct pollfd pfd = {fd, POLLIN, 0};
    // Points the socket at the interface when it is there; false after a
    // report when that fails.
    auto follow = [&]() {
        if (w.ifindex != 0 && !rebind(pc, w.ifindex)) {
            report(sys_fault("bind", "capture socket to " + w.name));
            return false;
        }
        pfd.fd = w.ifindex != 0 ? fd : -1;
        return true;
    };
    // The counts of frames stamped at or after a grid time whose samples wait.
    std::vector<graph> late = gs;
    for (graph &g : late)
        g.count = g.bytes = 0;
    int64_t next = grid_next(wall_s());
    int64_t pending_grid = -1;  // the grid time whose samples wait, or none
    double release = 0;  // when they are written, on the monotonic clock
    while (!stop) {
        const double left = release - mono_ms();
        int ms = pending_grid < 0 ? wait_ms(next) : left > 0 ? static_cast<int>(left) + 1 : 0;
        struct timespec to = {ms / 1000, (ms % 1000) * 1000000L};
        int n = ppoll(&pfd, 1, &to, &wait_mask);
        if (n < 0 && errno != EINTR) {
            report(sys_fault("ppoll"));
            return 1;
        }
        if (stop)
            break;
        if (pending_grid < 0 && (pending_grid = sample_due(next, wall_s())) >= 0) {
            release = mono_ms() + hold_ms;
            if (pfd.fd < 0 && w.look() && !follow())
                return 1;
        }
        // Frames are read before every due sample too, each counted in the
        // interval of its time stamp.
        const int rc = pfd.fd >= 0 && (n > 0 || pending_grid >= 0)
                           ? count_split(pc, ix, gs, late, pending_grid >= 0 ? pending_grid : INT64_MAX)
                           : 0;
        // A named interface that went away (its index is another now, or
        // none) is followed; one that went down gives frames again once up.
        // Any other error ends the capture.
        if (rc < 0) {
            if (w.follows() && w.look()) {
                if (!follow())
                    return 1;
            } else if (w.follows() && rc == PCAP_ERROR_IFACE_NOT_UP) {
                report("interface " + w.name + " is down; its graphs count 0 until it is up");
            } else {
                report(std::string("capture: ") + pcap_geterr(pc));
                return 1;
            }
        }
        if (pending_grid >= 0 && mono_ms() >= release) {
            on_grid(pending_grid);
            for (std::size_t i = 0; i < gs.size(); ++i) {
                gs[i].count += late[i].count;
                gs[i].bytes += late[i].bytes;
                late[i].count = late[i].bytes = 0;
            }
            pending_grid = -1;
        }
    }
    return 0;
}

int run_kernel(kernel_count &kc, iface_watch &w, std::vector<graph> &gs, capture_count &c,
               const std::function<void(int64_t)> &on_grid)
{
    int64_t next = grid_next(wall_s());
    while (!stop) {
        // Past the grid time by a little, for a program that counts a packet
        // seen just before it on another CPU to be done.
        const int ms = wait_ms(next) + settle_ms;
        struct timespec to = {ms / 1000, (ms % 1000) * 1000000L};
        if (ppoll(nullptr, 0, &to, &wait_mask) < 0 && errno != EINTR) {
            report(sys_fault("ppoll"));
            return 1;
        }
        const int64_t t = stop ? -1 : sample_due(next, wall_s());
        if (t < 0)
            continue;
        std::string err;
        if (w.follows() && w.look() && !kc.watch(w.ifindex != 0 ? w.ifindex : ifindex_none, err))
            report(err);
        c.totals.received += kc.collect(gs, t);
        on_grid(t);
    }
    return 0;
}
