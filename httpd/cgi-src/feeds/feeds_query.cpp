// Decoding of the query of the multiplexed feed: the history length and the page's graphs.
#include "feeds_query.h"

#include "contract.h"
#include "graphname.h"
#include "util.h"

#include <algorithm>
#include <cstring>

namespace {

// Decodes one URL-encoded field as the feed decodes its query, whole: a
// decoded %00 stays in the text, for the checks to refuse, where a C string
// would end there and let "port80%00junk" pass as port80.
std::string decode_field(const std::string &raw)
{
    std::vector<char> text(raw.begin(), raw.end());
    text.push_back('\0');
    plustospace(text.data());
    unescape_url(text.data());
    // unescape_url ends the decoded text with a NUL and leaves the rest of
    // the raw bytes, none of them NUL in a query, behind it: the last NUL
    // before the raw length is the end, or there is none and nothing shrank.
    std::size_t end = raw.size();
    while (end > 0 && text[end - 1] != '\0')
        --end;
    return std::string(text.data(), end > 0 ? end - 1 : raw.size());
}

// At most 40 characters of text for a refusal line, every byte that is not
// printable ASCII shown as '?', so that the refusal stays one line.
std::string shown(const std::string &text)
{
    std::string out = text.substr(0, 40);
    for (char &c : out)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return out;
}

// Parses the history length: decimal digits only, at most max_history.
bool parse_k(const std::string &v, int &k)
{
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    k = std::stoi(v);
    return k <= max_history;
}

// Adds the comma-separated graph names of list to req.
bool add_graphs(const std::string &list, feeds_request &req, std::string &why)
{
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = list.find(',', at);
        const std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!graph_name_ok(name.c_str()) || name.size() != std::strlen(name.c_str())) {
            why = "Graph name \"" + shown(name) + "\" is not 1 to " + std::to_string(graph_name_max) +
                  " letters, digits, '.', '_' or '-'.";
            return false;
        }
        if (std::find(req.graphs.begin(), req.graphs.end(), name) != req.graphs.end()) {
            why = "Graph " + name + " is asked for twice.";
            return false;
        }
        if (req.graphs.size() == static_cast<std::size_t>(graphs_per_connection)) {
            why = "More than " + std::to_string(graphs_per_connection) + " graphs asked for.";
            return false;
        }
        req.graphs.push_back(name);
        if (comma == std::string::npos)
            return true;
        at = comma + 1;
    }
}

}  // namespace

bool decode_feeds_query(const char *qs, feeds_request &req, std::string &why)
{
    req = feeds_request{};
    const std::size_t len = std::strlen(qs);
    if (len > max_feeds_query) {
        why = "Query of more than " + std::to_string(max_feeds_query) + " characters refused.";
        return false;
    }
    const std::string query(qs, len);
    std::size_t at = 0;
    while (at < len) {
        std::size_t amp = query.find('&', at);
        if (amp == std::string::npos)
            amp = len;
        const std::string field = query.substr(at, amp - at);
        at = amp + 1;
        const std::size_t eq = field.find('=');
        const std::string name = decode_field(field.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : decode_field(field.substr(eq + 1));
        if (name == "k" && req.k < 0 && eq != std::string::npos) {
            if (!parse_k(value, req.k)) {
                why = "History length k must be 0 to " + std::to_string(max_history) + " seconds.";
                return false;
            }
        } else if (name == "g" && eq != std::string::npos) {
            if (!add_graphs(value, req, why))
                return false;
        } else {
            why = "Query field \"" + shown(name) + "\" is not k=<seconds> or g=<graph>[,<graph>...].";
            return false;
        }
    }
    if (req.k < 0) {
        why = "No history length k=<seconds> in the query.";
        return false;
    }
    if (req.graphs.empty()) {
        why = "No graph g=<graph>[,<graph>...] in the query.";
        return false;
    }
    return true;
}
