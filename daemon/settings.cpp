// The daemon's own settings: the optional file capture.cfg beside traxel.cfg.
#include "settings.h"

#include <net/if.h>
#include <pwd.h>

#include <cerrno>
#include <cstring>

#include "readfile.h"

namespace {

// A settings file is a few lines; a larger one is not one.
constexpr std::size_t settings_size_max = 64 * 1024;

// tok quoted for a diagnostic, bytes other than printable ASCII shown as '?'.
std::string quoted(const std::string &tok)
{
    std::string out = "\"";
    for (char c : tok)
        out += c > ' ' && c < 0x7f ? c : '?';
    return out + "\"";
}

// Why the values of key cannot be taken (tok[0] is the key), or "". A unit
// line naming a graph that gs lacks sets the others, with a warning in
// s.warnings that starts "LINE: ".
std::string read_key(const std::vector<std::string> &tok, int no, const std::vector<graph> &gs, settings &s)
{
    const std::string &key = tok[0];
    const bool known = key == "interface" || key == "unit" || key == "user" || key == "buffer" || key == "textfile" ||
                       key == "method";
    if (!known)
        return "unknown key " + quoted(key) + " (keys: interface, unit, user, buffer, textfile, method)";
    if (tok.size() < 2)
        return key + " needs a value";
    if (key != "unit" && tok.size() > 2)
        return key + " takes one value, not " + std::to_string(tok.size() - 1);
    const std::string &v = tok[1];
    if (key == "interface") {
        if (v.size() >= IFNAMSIZ)
            return "interface name " + quoted(v) + " longer than " + std::to_string(IFNAMSIZ - 1) + " characters";
        s.iface = v;
    } else if (key == "user") {
        errno = 0;
        const struct passwd *pw = getpwnam(v.c_str());
        if (!pw)
            return "no user " + quoted(v) + (errno ? std::string(" (") + std::strerror(errno) + ")" : "");
        if (const std::string why = root_fault(*pw); !why.empty())
            return "user " + quoted(v) + " " + why + "; name an unprivileged user";
        s.user = v;
        s.user_line = no;
    } else if (key == "buffer") {
        if (!whole_number(v, 1, buffer_mib_max, s.buffer_mib))
            return "buffer " + quoted(v) + " is not a number of MiB in 1.." + std::to_string(buffer_mib_max);
    } else if (key == "method") {
        if (v == "auto")
            s.method = capture_method::automatic;
        else if (v == "kernel")
            s.method = capture_method::kernel;
        else if (v == "pcap")
            s.method = capture_method::pcap;
        else
            return "method " + quoted(v) + " is not auto, kernel or pcap";
    } else if (key == "textfile") {
        if (v[0] != '/')
            return "textfile " + quoted(v) + " is not an absolute path";
        s.textfile = v;
    } else {
        sample_unit u;
        if (v == "packets")
            u = sample_unit::packets;
        else if (v == "bits")
            u = sample_unit::bits;
        else if (v == "kbits")
            u = sample_unit::kbits;
        else
            return "unit " + quoted(v) + " is not packets, bits or kbits";
        // A sock graph counts connections, which have no bit rate: naming
        // one is a mistake, a line for all graphs passes it by.
        if (tok.size() == 2)
            for (std::size_t g = 0; g < gs.size(); ++g)
                if (gs[g].gk != graph_kind::sock || u == sample_unit::packets)
                    s.units[g] = u;
        for (std::size_t i = 2; i < tok.size(); ++i) {
            std::size_t g = 0;
            while (g < gs.size() && gs[g].name != tok[i])
                ++g;
            if (g == gs.size()) {
                s.warnings.push_back(std::to_string(no) + ": no graph " + quoted(tok[i]) +
                                     " in traxel.cfg; the unit applies to the others");
                continue;
            }
            if (gs[g].gk == graph_kind::sock && u != sample_unit::packets)
                return "graph " + tok[i] + " counts new connections; its unit can only be packets";
            s.units[g] = u;
        }
    }
    return "";
}

}  // namespace

const char *unit_name(sample_unit u, graph_kind k)
{
    switch (u) {
    case sample_unit::bits: return "bits";
    case sample_unit::kbits: return "kbits";
    default: return k == graph_kind::sock ? "connections" : "packets";
    }
}

bool load_settings(const char *path, const std::vector<graph> &gs, settings &s, std::string &err)
{
    settings n;
    n.units.assign(gs.size(), sample_unit::packets);
    auto key = [&](const std::vector<std::string> &tok, int no) { return read_key(tok, no, gs, n); };
    if (!read_key_lines(path, settings_size_max, key, err))
        return false;
    for (std::string &w : n.warnings)
        w = std::string(path) + ":" + w;
    s = std::move(n);
    return true;
}

std::string root_fault(const struct passwd &pw)
{
    // Group root opens what root's group may, however unprivileged the user.
    if (pw.pw_uid == 0)
        return "is root";
    return pw.pw_gid == 0 ? "has group root as its primary group" : "";
}
