// Tests of the form-decoding routines shared by the CGI programs.
#include "util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A read-only stream over text, closed when it goes out of scope.
struct stream {
    explicit stream(const std::string &text)
        : buf(text), f(fmemopen(buf.empty() ? nullptr : &buf[0], buf.size(), "r"), &std::fclose)
    {
        if (buf.empty())  // fmemopen wants a buffer; an empty tmpfile is the same stream
            f.reset(std::tmpfile());
    }
    std::string buf;
    std::unique_ptr<FILE, int (*)(FILE *)> f;
};

std::string take(char *word)
{
    std::string s(word);
    std::free(word);
    return s;
}

TEST(Getword, SplitsAtStop)
{
    struct {
        const char *line, *word, *rest;
        char stop;
    } cases[] = {
        {"a=b&c", "a=b", "c", '&'},
        {"abc", "abc", "", '&'},
        {"", "", "", '&'},
        {"&x", "", "x", '&'},
        {"a=b=c", "a", "b=c", '='},
        {"a&", "a", "", '&'},
    };
    for (const auto &c : cases) {
        char line[64], word[64];
        std::snprintf(line, sizeof line, "%s", c.line);
        getword(word, line, c.stop);
        EXPECT_STREQ(word, c.word) << c.line;
        EXPECT_STREQ(line, c.rest) << c.line;
    }
}

TEST(Makeword, SplitsIntoHeapWord)
{
    char line[] = "go=1";
    EXPECT_EQ(take(makeword(line, '=')), "go");
    EXPECT_STREQ(line, "1");
    EXPECT_EQ(take(makeword(line, '=')), "1");
    EXPECT_STREQ(line, "");
}

TEST(Fmakeword, ReadsFieldsAndCountsDown)
{
    stream s("x=1&y=2");
    int cl = 7;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "x=1");
    EXPECT_EQ(cl, 3);
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "y=2");
    EXPECT_EQ(cl, 0);
}

TEST(Fmakeword, StopAsLastCountedByteIsDropped)
{
    stream s("a&b");
    int cl = 2;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "a");
    EXPECT_EQ(cl, 0);
}

TEST(Fmakeword, EarlyEndStoresNoEndOfStreamByte)
{
    stream s("ab");
    int cl = 10;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "ab");
    EXPECT_TRUE(std::feof(s.f.get()));
    EXPECT_EQ(cl, 7);  // two bytes and the read that met the end
}

TEST(Fmakeword, EmptyStreamGivesEmptyWord)
{
    stream s("");
    int cl = 5;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "");
    EXPECT_TRUE(std::feof(s.f.get()));
}

TEST(Fmakeword, NegativeCountReadsToEnd)
{
    stream s("abc&def");
    int cl = -1;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "abc");
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "def");
    EXPECT_LT(cl, 0);
}

TEST(Fmakeword, GrowsPastOneBlock)
{
    std::string big(250000, 'q');
    stream s(big + "&z");
    int cl = -1;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), big);
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), "z");
}

TEST(Fmakeword, WordOfExactlyOneBlock)
{
    std::string block(102400, 'w');
    stream s(block + "&");
    int cl = static_cast<int>(block.size()) + 1;
    EXPECT_EQ(take(fmakeword(s.f.get(), '&', &cl)), block);
    EXPECT_EQ(cl, 0);
}

TEST(X2c, HexDigitsAnyCase)
{
    struct {
        const char *in;
        int out;
    } cases[] = {
        {"4a", 'J'}, {"4A", 'J'}, {"41", 'A'}, {"2B", '+'}, {"00", 0}, {"ff", 0xff}, {"FF", 0xff}, {"7e", '~'},
    };
    for (const auto &c : cases)
        EXPECT_EQ(static_cast<unsigned char>(x2c(c.in)), c.out) << c.in;
}

TEST(X2c, NonHexIsTakenAsDigitWithoutValidation)
{
    // 'g' counts as a letter: ('G' - 'A' + 10) = 16; 16 * 16 + 0 wraps to 0.
    EXPECT_EQ(static_cast<unsigned char>(x2c("g0")), 0);
    // ':' counts as a decimal digit worth 10.
    EXPECT_EQ(static_cast<unsigned char>(x2c("1:")), 26);
}

TEST(UnescapeUrl, DecodesEscapes)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a%2Bb", "a+b"}, {"%41%42", "AB"}, {"plain", "plain"}, {"", ""},
        {"50%", "50%"}, {"x%4", "x%4"},
        // No validation: "%4" after the first "%" is taken as two digits, ('%' - '0') * 16 + 4 = 'T' mod 256.
        {"%%41", "T1"},
    };
    for (const auto &c : cases) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s", c.in);
        unescape_url(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST(Plustospace, BeforeUnescapeKeepsEncodedPlus)
{
    char buf[] = "a+b%2B";
    plustospace(buf);
    unescape_url(buf);
    EXPECT_STREQ(buf, "a b+");
}

TEST(IndRind, FirstAndLastOccurrence)
{
    EXPECT_EQ(ind("a=b=c", '='), 1);
    EXPECT_EQ(rind("a=b=c", '='), 3);
    EXPECT_EQ(ind("abc", '='), -1);
    EXPECT_EQ(rind("", '='), -1);
}

TEST(Getline, StopsAtLineEndAndDropsCarriageReturn)
{
    stream s("one\r\ntwo\x04three");
    char buf[32];
    EXPECT_EQ(getline(buf, sizeof buf, s.f.get()), 0);
    EXPECT_STREQ(buf, "one");
    EXPECT_EQ(getline(buf, sizeof buf, s.f.get()), 0);
    EXPECT_STREQ(buf, "two");
    EXPECT_EQ(getline(buf, sizeof buf, s.f.get()), 1);
    EXPECT_STREQ(buf, "three");
}

TEST(Getline, StopsAtBufferEnd)
{
    stream s("abcdefgh\n");
    char buf[4];
    EXPECT_EQ(getline(buf, sizeof buf, s.f.get()), 0);
    EXPECT_STREQ(buf, "abc");  // the character read at index 3 makes way for the terminator
}

TEST(SendFd, CopiesWholeStream)
{
    stream in("line 1\nline 2\n");
    std::unique_ptr<FILE, int (*)(FILE *)> out(std::tmpfile(), &std::fclose);
    send_fd(in.f.get(), out.get());
    std::rewind(out.get());
    char buf[64] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, out.get());
    EXPECT_EQ(std::string(buf, n), "line 1\nline 2\n");
}

TEST(EscapeShellCmd, BackslashesEveryMetacharacter)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a;b", "a\\;b"},
        {"ls", "ls"},
        {"$(rm)", "\\$\\(rm\\)"},
        {"a\nb", "a\\\nb"},
        {"&;`'\"|*?~<>^()[]{}$\\", "\\&\\;\\`\\'\\\"\\|\\*\\?\\~\\<\\>\\^\\(\\)\\[\\]\\{\\}\\$\\\\"},
    };
    for (const auto &c : cases) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "%s", c.in);
        escape_shell_cmd(buf);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

}  // namespace
