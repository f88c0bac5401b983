// Tests of the decoding of the multiplexed feed's query.
#include "feeds_query.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The decoded request as "k: graph graph ...", or "refused: why".
std::string decoded(const std::string &qs)
{
    feeds_request req;
    std::string why;
    if (!decode_feeds_query(qs.c_str(), req, why))
        return "refused: " + why;
    std::string out = std::to_string(req.k) + ":";
    for (const std::string &g : req.graphs)
        out += " " + g;
    return out;
}

TEST(FeedsQuery, DecodesHistoryAndGraphsInTheirOrder)
{
    // The most graphs a connection serves, one request.
    std::string all = "k=0&g=port0", all_decoded = "0: port0";
    for (int i = 1; i < 256; ++i) {
        all += ",port" + std::to_string(i);
        all_decoded += " port" + std::to_string(i);
    }
    const struct {
        std::string qs, want;
    } table[] = {
        {"k=300&g=port80,sock22", "300: port80 sock22"},
        {"g=port80&k=0&g=net-lab,ip.1", "0: port80 net-lab ip.1"},
        {"k=999999999&g=%70ort%5F80", "999999999: port_80"},
        {"k=%33&g=port80", "3: port80"},
        {all, all_decoded},
        {"k=1000000000&g=port80", "refused: History length k must be 0 to 999999999 seconds."},
        {"k=+5&g=port80", "refused: History length k must be 0 to 999999999 seconds."},
        {"k=&g=port80", "refused: History length k must be 0 to 999999999 seconds."},
        {"k=1&k=2&g=port80", "refused: Query field \"k\" is not k=<seconds> or g=<graph>[,<graph>...]."},
        {"k&g=port80", "refused: Query field \"k\" is not k=<seconds> or g=<graph>[,<graph>...]."},
        {"k=1&g=port80,,port81", "refused: Graph name \"\" is not 1 to 12 letters, digits, '.', '_' or '-'."},
        {"k=1&g=port+80", "refused: Graph name \"port 80\" is not 1 to 12 letters, digits, '.', '_' or '-'."},
        {"k=1&g=port123456789", "refused: Graph name \"port123456789\" is not 1 to 12 letters, digits, '.', '_' or '-'."},
        {"k=1&g=port80&g=port80", "refused: Graph port80 is asked for twice."},
        {all + ",port256", "refused: More than 256 graphs asked for."},
        {"k=1&g=" + std::string(8200, 'p'), "refused: Query of more than 8192 characters refused."},
        {"", "refused: No history length k=<seconds> in the query."},
    };
    for (const auto &row : table)
        EXPECT_EQ(decoded(row.qs), row.want) << row.qs.substr(0, 60);
}

}  // namespace
