// Tests of the dump mode: exact output of the built daemon for null link-layer frames and portmapper calls.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <fcntl.h>
#include <pwd.h>
#include <rpc/netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "frames.h"
#include "spawn.h"

namespace {

// An RPC call message to the portmapper: xid, call, version rpcvers,
// program, program version 2, procedure, then 16 bytes of arguments.
bytes rpc_call(uint32_t xid, uint32_t rpcvers, uint32_t prog, uint32_t proc)
{
    bytes b;
    for (uint32_t w : {xid, 0u, rpcvers, prog, 2u, proc})
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(static_cast<uint8_t>(w >> s));
    b.resize(b.size() + 16);
    return b;
}

// The capture file of the tests: time stamps from 1000000005 s, which is
// 01:46:45 UTC.
std::string capture()
{
    bytes reply = rpc_call(7, 2, 100003, 3);
    reply[7] = 1;  // message type 1: a reply, not a call
    std::vector<rec> recs = {
        {null_frame(2, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(1024, 80, syn))), 1000000005, 123},
        {null_frame(2, ipv4(17, "192.168.0.1", "192.168.0.2", udp(900, 111, rpc_call(0x1234abcd, 2, 100003, 3)))),
         1000000006, 0},
        {null_frame(24, ipv4(1, "127.0.0.1", "127.0.0.1", {8, 0, 0, 0, 0, 0, 0, 0})), 1000000007, 999999},
        {null_frame(2, ipv4(17, "192.168.0.2", "192.168.0.1", udp(111, 900, reply))), 1000000008, 0},
        {null_frame(2, ipv4(17, "192.168.0.1", "192.168.0.2", udp(900, 111, reply))), 1000000009, 0},
        {null_frame(6, ipv4(17, "192.168.0.1", "192.168.0.2", udp(900, 111, rpc_call(0x10, 3, 100000, 7)))),
         1000000010, 0},
        {null_frame(2, ipv4(6, "10.0.0.1", "10.0.0.2", tcp(1024, 80, syn))), 1000000011, 0, 4 + 19},
    };
    return write_capture("dump.pcap", DLT_NULL, recs);
}

const std::string numeric =
    "01:46:45.000123 10.0.0.1 > 10.0.0.2: proto 6 len 40\n"
    "01:46:46.000000 192.168.0.1.1234abcd > 192.168.0.2.6f: 40 getport 100003.2\n"
    "01:46:47.999999 127.0.0.1 > 127.0.0.1: proto 1 len 28\n"
    "01:46:48.000000 192.168.0.2 > 192.168.0.1: proto 17 len 68\n"
    "01:46:49.000000 192.168.0.1 > 192.168.0.2: proto 17 len 68\n"
    "01:46:50.000000 192.168.0.1.10 > 192.168.0.2.6f: 40  proc #7 [rpcver 3]\n"
    "01:46:51.000000 [|ip]\n";

TEST(DumpMode, NumericPrintsOneLinePerFrame)
{
    result r = run("/", {"-r", capture(), "-n"});
    EXPECT_EQ(r.out, numeric);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(DumpMode, NamesTheProgramAndThePortmapperPort)
{
    const struct rpcent *nfs = getrpcbynumber(100003);
    std::string prog = nfs ? nfs->r_name : "#100003";
    result r = run("/", {"-r", capture()});
    std::string want = numeric;
    want.replace(want.find("getport 100003.2"), 16, "getport " + prog + ".2");
    for (std::size_t at; (at = want.find(".6f:")) != std::string::npos;)
        want.replace(at, 4, ".sunrpc:");
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 0);
}

TEST(DumpMode, LinkHeaderShowsTheFamily)
{
    result r = run("/", {"-r", capture(), "-e"});
    std::string out = r.out;
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "01:46:45.000123 ip: 10.0.0.1 > 10.0.0.2: proto 6 len 40");
    EXPECT_EQ(lines[2], "01:46:47.999999 AF 24: 127.0.0.1 > 127.0.0.1: proto 1 len 28");
    EXPECT_EQ(lines[5].substr(0, 20), "01:46:50.000000 ns: ");
    // With numeric output the family is not named.
    result n = run("/", {"-r", capture(), "-e", "-n"});
    EXPECT_EQ(n.out, numeric);
}

TEST(DumpMode, HexDumpCoversTheCapturedBytes)
{
    std::vector<rec> recs = {
        {null_frame(2, ipv4(1, "127.0.0.1", "127.0.0.1", {8, 0, 0, 0, 0, 0, 0, 0})), 1000000005, 0},
        {null_frame(2, ipv4(1, "127.0.0.1", "127.0.0.1", {8, 0, 0, 0, 0, 0, 0, 0})), 1000000005, 0, 4 + 20},
    };
    result r = run("/", {"-r", write_capture("hex.pcap", DLT_NULL, recs), "-x", "-n"});
    EXPECT_EQ(r.out,
              "01:46:45.000000 127.0.0.1 > 127.0.0.1: proto 1 len 28\n"
              "\t0x0000: 4500 001c 1234 0000 4001 0000 7f00 0001\n"
              "\t0x0010: 7f00 0001 0800 0000 0000 0000\n"
              "01:46:45.000000 127.0.0.1 > 127.0.0.1: proto 1 len 28\n"
              "\t0x0000: 4500 001c 1234 0000 4001 0000 7f00 0001\n"
              "\t0x0010: 7f00 0001\n");
    EXPECT_EQ(r.status, 0);
}

TEST(DumpMode, PortmapperCallCutAnywherePrintsWhatWasCaptured)
{
    bytes f = null_frame(2, ipv4(17, "192.168.0.1", "192.168.0.2", udp(900, 111, rpc_call(0x1234abcd, 2, 100003, 3))));
    std::vector<rec> recs;
    for (uint32_t cut = 0; cut <= f.size(); ++cut)
        recs.push_back({f, 1000000005, 0, cut});
    result r = run("/", {"-r", write_capture("cuts.pcap", DLT_NULL, recs), "-n"});
    std::string want;
    for (uint32_t cut = 0; cut <= f.size(); ++cut) {
        want += "01:46:45.000000 ";
        if (cut < 4)
            want += "[|null]";
        else if (cut < 4 + 20)
            want += "[|ip]";
        // The call is known by its message type, the 16th byte after the IP
        // header; the printer needs the six words of the call.
        else if (cut < 4 + 20 + 16)
            want += "192.168.0.1 > 192.168.0.2: proto 17 len 68";
        else if (cut < 4 + 20 + 8 + 24)
            want += "[|portmap]";
        else
            want += "192.168.0.1.1234abcd > 192.168.0.2.6f: 40 getport 100003.2";
        want += "\n";
    }
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 0);
}

TEST(DumpMode, OtherLinkTypesAreRefused)
{
    std::string path = write_capture("ether.pcap", DLT_EN10MB, {});
    result r = run("/", {"-r", path});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "traxel: " + path + ": link type EN10MB is not the null link layer\n");
    EXPECT_EQ(r.status, 1);
}

TEST(DumpMode, FileIsReadWithEveryPrivilegeGivenUp)
{
    // Root opens the file and then becomes the default user before a byte of
    // it is read: a named pipe as the file holds the dump there for a look.
    const struct passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the user nobody";
    const std::string fifo = temp_dir() + "/dump.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int w = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(w, 0);
    child d = spawn_daemon("/", {"-r", fifo});
    const std::string uid = std::to_string(nobody->pw_uid);
    const std::string status = "/proc/" + std::to_string(d.pid()) + "/status";
    std::string st;
    for (int i = 0; i < 200 && (st = file_text(status)).find("\nUid:\t" + uid + "\t") == std::string::npos; ++i)
        usleep(10000);
    for (const std::string &line : {"\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n",
                                   std::string("\nCapEff:\t0000000000000000\n"),
                                   std::string("\nCapPrm:\t0000000000000000\n"), std::string("\nNoNewPrivs:\t1\n")})
        EXPECT_NE(st.find(line), std::string::npos) << line << st;
    // A file header of the null link layer and no frame.
    const uint32_t header[6] = {0xa1b2c3d4, 2 | 4u << 16, 0, 0, 65535, DLT_NULL};
    ASSERT_EQ(write(w, header, sizeof header), static_cast<ssize_t>(sizeof header));
    close(w);
    EXPECT_EQ(read_rest(d.out(), 4000), "");
    EXPECT_EQ(d.wait(4000), 0);
}

TEST(DumpMode, UnreadableFileIsNamed)
{
    result r = run("/", {"-r", "/nonexistent.pcap"});
    EXPECT_EQ(r.err, "traxel: /nonexistent.pcap: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace
