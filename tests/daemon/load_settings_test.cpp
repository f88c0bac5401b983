// Tests of the reading of capture.cfg into the daemon's settings, the one reader of that file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cfg.h"
#include "files.h"
#include "settings.h"

namespace {

// The graphs port80, sock22 and udpproto.
std::vector<graph> three_graphs()
{
    std::vector<graph> gs(3);
    gs[0].name = "port80";
    gs[1].name = "sock22";
    gs[1].gk = graph_kind::sock;
    gs[2].name = "udpproto";
    gs[2].gk = graph_kind::proto;
    return gs;
}

// What load_settings made of text: the faults, or the settings as one line
// "iface user buffer textfile unit,unit,unit [warning]...".
std::string loaded(const std::string &text)
{
    static const std::string dir = temp_dir();
    const std::string path = dir + "/capture.cfg";
    write_file(path, text);
    const std::vector<graph> gs = three_graphs();
    settings s;
    std::string err;
    std::string out;
    if (load_settings(path.c_str(), gs, s, err)) {
        out = s.iface + " " + s.user + " " + std::to_string(s.buffer_mib) + " " + s.textfile + " ";
        for (std::size_t g = 0; g < gs.size(); ++g)
            out += std::string(g ? "," : "") + unit_name(s.units[g], gs[g].gk);
        for (const std::string &w : s.warnings)
            out += " [" + w + "]";
    } else {
        out = err;
    }
    for (std::size_t at; (at = out.find(dir + "/")) != std::string::npos;)
        out.erase(at, dir.size() + 1);
    return out;
}

TEST(LoadSettings, LinesSetTheirKeysAndLaterUnitLinesWin)
{
    const struct {
        std::string text, want;
    } table[] = {
        // No user line: the web server's user of site.cfg, which the caller reads.
        {"", "any  16  packets,connections,packets"},
        {"# only a comment\n\n", "any  16  packets,connections,packets"},
        {"interface lo # the loopback\nbuffer 2\ntextfile /var/lib/x\nuser daemon\n",
         "lo daemon 2 /var/lib/x packets,connections,packets"},
        // A line for all graphs passes the sock graph by; named graphs, later
        // lines, win.
        {"unit kbits\nunit bits udpproto\n", "any  16  kbits,connections,bits"},
        {"unit bits udpproto port80\nunit packets port80\n", "any  16  packets,connections,bits"},
        // A NUL byte is white space, as in traxel.cfg.
        {std::string("unit\0bits\0port80\n", 17), "any  16  bits,connections,packets"},
        // Every fault is a line of its own; none of the file is taken then.
        {"interface lo\nunit kbits sock22\nbuffer 1025\nunit bits nosuchport\n",
         "capture.cfg:2: graph sock22 counts new connections; its unit can only be packets\n"
         "capture.cfg:3: buffer \"1025\" is not a number of MiB in 1..1024"},
        // A graph that traxel.cfg lacks is warned of; the others take the unit.
        {"\nunit bits nosuchport udpproto\n", "any  16  packets,connections,bits "
                                               "[capture.cfg:2: no graph \"nosuchport\" in traxel.cfg; the unit "
                                               "applies to the others]"},
        {"textfile run\ninterface " + std::string(16, 'e') + "\n",
         "capture.cfg:1: textfile \"run\" is not an absolute path\n"
         "capture.cfg:2: interface name \"eeeeeeeeeeeeeeee\" longer than 15 characters"},
    };
    for (const auto &row : table)
        EXPECT_EQ(loaded(row.text), row.want) << row.text;
}

TEST(LoadSettings, NoFileLeavesTheDefaults)
{
    settings s;
    std::string err;
    ASSERT_TRUE(load_settings("/nonexistent/capture.cfg", three_graphs(), s, err)) << err;
    EXPECT_EQ(s.iface, "any");
    EXPECT_EQ(s.units.size(), 3u);
}

}  // namespace
