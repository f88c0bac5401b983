// Tests of the bounded reading of tokens and numbers from a stream.
#include "tokens.h"

#include "memfile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

struct int_case {
    const char *text;
    bool ok;
    int value;
    const char *rest;
};

TEST(Tokens, ReadIntFollowsFormattedInputAndBoundsTheValue)
{
    const int_case cases[] = {
        {"  42 x", true, 42, " x"},
        {"\n-7.5", true, -7, ".5"},
        {"+3", true, 3, ""},
        {"2147483647 ", true, INT_MAX, " "},
        {"-2147483648", true, INT_MIN, ""},
        {"2147483648 y", false, 0, " y"},
        {"-2147483649", false, 0, ""},
        {"-x", false, 0, "x"},
        {".5", false, 0, ".5"},
        {"", false, 0, ""},
    };
    for (const int_case &c : cases) {
        SCOPED_TRACE(c.text);
        input_file in(c.text);
        int v = 0;
        EXPECT_EQ(read_int(in.get(), &v), c.ok);
        EXPECT_EQ(v, c.value);
        char rest[32] = "";
        const size_t n = std::fread(rest, 1, sizeof rest - 1, in.get());
        EXPECT_EQ(std::string(rest, n), c.rest);
    }
}

}  // namespace
