// Tests of the feed's query decoding and take-over rule.
#include "startup.h"
#include "takeover.h"

#include "memfile.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

struct decoded {
    int count;
    std::string out;
};

decoded decode(std::string query)
{
    output_file out;
    const int count = decode_query(query.data(), out.get());
    return {count, out.text()};
}

TEST(DecodeQuery, SplitsAndDecodesEntries)
{
    ASSERT_EQ(decode("a+b%41=c").count, 1);
    EXPECT_STREQ(entries[0].name, "a bA");
    EXPECT_STREQ(entries[0].val, "c");
    ASSERT_EQ(decode("dhle,60,300s&x=1").count, 2);
    EXPECT_STREQ(entries[0].name, "dhle,60,300s");
    EXPECT_STREQ(entries[0].val, "");
    EXPECT_STREQ(entries[1].name, "x");
    EXPECT_STREQ(entries[1].val, "1");
    EXPECT_EQ(decode("").count, 0);
}

TEST(DecodeQuery, RefusesMoreThanTenThousandEntries)
{
    std::string query = "a";
    for (int i = 1; i < max_entries; ++i)
        query += "&a";
    EXPECT_EQ(decode(query).count, max_entries);
    const decoded r = decode(query + "&a");
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.out, "Query of more than 10000 entries refused.\n");
}

TEST(DecodeQuery, RefusesFieldOver127Characters)
{
    const decoded fits = decode(std::string(127, 'n') + "&x");
    EXPECT_EQ(fits.count, 2);
    EXPECT_EQ(std::string(entries[0].name), std::string(127, 'n'));
    const decoded r = decode("x&" + std::string(128, 'n'));
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.out, "Query field of more than 127 characters refused.\n");
}

TEST(ScanK, FirstEntryNamesHistorySeconds)
{
    const struct {
        const char *query;
        int k;
    } cases[] = {
        {"dhle,60,300s", 300},  {"dhle,60,300s&x=1", 300}, {"foo=1", 0},
        {"", 0},                {"dhle,60,-5s", -5},       {"dhle,60,60", 60},
        {"dhle,61,300s", 0},    {"dhle,60,xs", 0},         {"x=1&dhle,60,300s", 0},
        {"dhle,60,99999999999s", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(scan_k(decode(c.query).count), c.k);
    }
}

TEST(MayKill, OnlyPositiveOtherPids)
{
    EXPECT_TRUE(may_kill(987));
    EXPECT_TRUE(may_kill(1));
    EXPECT_FALSE(may_kill(0));
    EXPECT_FALSE(may_kill(-1));
    EXPECT_FALSE(may_kill(-987));
    EXPECT_FALSE(may_kill(static_cast<int>(getpid())));
}

}  // namespace
