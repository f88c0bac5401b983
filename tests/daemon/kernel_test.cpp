// Tests of the daemon counting in the kernel: nothing of a killed daemon stays in the kernel; method kernel refused where it cannot load.
#include <gtest/gtest.h>

#include <bpf/bpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "child.h"
#include "files.h"
#include "spawn.h"

namespace {

// The ids that process pid's descriptors name after key ("prog_id:",
// "link_id:") in /proc/PID/fdinfo.
std::set<uint32_t> bpf_ids(pid_t pid, const std::string &key)
{
    std::set<uint32_t> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR *d = opendir(dir.c_str());
    for (dirent *e; d && (e = readdir(d));)
        for (const std::string &line : lines_of(file_text(dir + "/" + e->d_name)))
            if (line.rfind(key, 0) == 0)
                out.insert(static_cast<uint32_t>(std::stoul(line.substr(key.size()))));
    if (d)
        closedir(d);
    return out;
}

// Whether the kernel still has the program (or link, with link) of id.
bool still_there(uint32_t id, bool link)
{
    const int fd = link ? bpf_link_get_fd_by_id(id) : bpf_prog_get_fd_by_id(id);
    if (fd >= 0)
        close(fd);
    return fd >= 0 || errno != ENOENT;
}

// A daemon killed with SIGKILL leaves no program attached and nothing
// pinned: its links went with its descriptors, and the next start counts.
TEST(KernelCounting, NothingOfADaemonKilledStaysInTheKernel)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to count in the kernel";
    const std::string dir = install_dir_with("window 1\nkillport 47975 0 1 1\n");
    const std::string fifo = dir + "/httpd/cgi-bin/killport.fifo";
    write_file(dir + "/capture.cfg", "method kernel\ninterface lo\n");
    child first = spawn_daemon(dir, {"-f"});
    const int rd = pipe_held(fifo, 4000) ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    ASSERT_NE(read_line(rd, 12000), "") << read_rest(first.err(), 1000);
    close(rd);
    const std::set<uint32_t> progs = bpf_ids(first.pid(), "prog_id:"), links = bpf_ids(first.pid(), "link_id:");
    EXPECT_EQ(progs.size(), 2u);
    EXPECT_EQ(links.size(), 2u);
    ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
    ASSERT_EQ(first.wait(4000), 128 + SIGKILL);
    running_daemon next(dir, {"-f"});
    EXPECT_NE(next.first_sample(fifo), "");
    // The kernel frees them once the last descriptor is gone; give it a while.
    auto left = [&]() {
        std::set<uint32_t> out;
        for (uint32_t id : progs)
            if (still_there(id, false))
                out.insert(id);
        for (uint32_t id : links)
            if (still_there(id, true))
                out.insert(id);
        return out;
    };
    for (int i = 0; i < 100 && !left().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(left(), std::set<uint32_t>{});
    EXPECT_EQ(bpf_ids(next.p.pid(), "prog_id:").size(), 2u);
}

// With method kernel, a start that cannot load the programs (here as nobody
// without capabilities) is refused with one line, where auto would capture.
TEST(KernelCounting, MethodKernelRefusesAStartThatCannotLoad)
{
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to run the daemon as nobody";
    const std::string dir = install_dir_with("window 1\nkillport 47975 0 1 1\n");
    give_to(dir, nobody);
    write_file(dir + "/capture.cfg", "method kernel\n");
    child p = spawn_daemon(dir, {"-f"}, nobody->pw_uid, nobody->pw_gid, reachable_daemon());
    EXPECT_EQ(read_rest(p.err(), 4000), "traxel: cannot count in the kernel: loading the counting programs: Operation "
                                        "not permitted (run as root, or give the program cap_bpf,cap_perfmon)\n");
    EXPECT_EQ(p.wait(4000), 1);
}

}  // namespace
