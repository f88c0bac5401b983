// Tests of the null link-layer printer against the test core.
#include "loopline.h"
#include "testcore.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A null frame: the family word in host order, then packet bytes up to
// caplen in all.
std::vector<uint8_t> frame(int32_t family, size_t caplen)
{
    std::vector<uint8_t> f(caplen, 0x45);
    if (caplen > 0)
        std::memcpy(f.data(), &family, std::min(caplen, sizeof family));
    return f;
}

class Loopline : public ::testing::Test {
protected:
    void SetUp() override { reset_core(); }

    // Prints the frame with a header of the given lengths; returns the output.
    std::string print(const exact_buffer &b, uint32_t len)
    {
        h = {{1, 2}, static_cast<uint32_t>(b.size), len};
        return capture_stdout([&] { null_if_print(nullptr, &h, b.data()); });
    }

    // The calls of op in the record.
    std::vector<core_call> calls(const std::string &op) const
    {
        std::vector<core_call> r;
        for (const auto &c : core_calls)
            if (c.op == op)
                r.push_back(c);
        return r;
    }

    cap_header h{};
};

TEST_F(Loopline, IpFrameWithoutFlagsPrintsStampPacketNewline)
{
    exact_buffer b(frame(2, 24), 0);
    EXPECT_EQ(print(b, 24), "1.000002 ip(20)\n");
    auto ts = calls("ts_print");
    ASSERT_EQ(ts.size(), 1u);
    EXPECT_EQ(ts[0].p, &h.ts);
    auto ip = calls("ip_print");
    ASSERT_EQ(ip.size(), 1u);
    EXPECT_EQ(ip[0].p, b.data() + 4);
    EXPECT_EQ(ip[0].length, 20u);
}

TEST_F(Loopline, EflagPrintsFamilyLabel)
{
    struct {
        int32_t family;
        const char *out;
    } cases[] = {
        {2, "1.000002 ip: ip(20)\n"},
        {6, "1.000002 ns: ip(20)\n"},
        {24, "1.000002 AF 24: ip(20)\n"},
        {0, "1.000002 AF 0: ip(20)\n"},
        {-1, "1.000002 AF -1: ip(20)\n"},
    };
    for (const auto &c : cases) {
        reset_core();
        eflag = 1;
        exact_buffer b(frame(c.family, 24), 0);
        EXPECT_EQ(print(b, 24), c.out) << c.family;
    }
}

TEST_F(Loopline, EflagWithNflagPrintsNoLabel)
{
    eflag = nflag = 1;
    exact_buffer b(frame(24, 24), 0);
    EXPECT_EQ(print(b, 24), "1.000002 ip(20)\n");
}

TEST_F(Loopline, NonIpFamilyStillGoesToIpPrinter)
{
    exact_buffer b(frame(6, 30), 0);
    EXPECT_EQ(print(b, 30), "1.000002 ip(26)\n");
    auto ip = calls("ip_print");
    ASSERT_EQ(ip.size(), 1u);
    EXPECT_EQ(ip[0].p, b.data() + 4);
}

TEST_F(Loopline, XflagDumpsCapturedBytesOnly)
{
    // Cut short: 16 of 100 bytes captured; the packet is 96, the dump 12.
    xflag = 1;
    exact_buffer b(frame(2, 16), 0);
    EXPECT_EQ(print(b, 100), "1.000002 ip(96) dump(12)\n");
    auto dump = calls("default_print");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_EQ(dump[0].p, b.data() + 4);
    EXPECT_EQ(dump[0].length, 12u);
}

TEST_F(Loopline, SetsPacketpAndSnapendBeforePrintingPacket)
{
    exact_buffer b(frame(2, 40), 0);
    print(b, 1500);
    EXPECT_EQ(packetp, b.data());
    EXPECT_EQ(snapend, b.end());
    auto ip = calls("ip_print");
    ASSERT_EQ(ip.size(), 1u);
    EXPECT_EQ(ip[0].snapend, b.end());
    EXPECT_EQ(ip[0].length, 1496u);
}

TEST_F(Loopline, UnalignedFrameReadsFamily)
{
    for (size_t shift = 1; shift < 4; ++shift) {
        reset_core();
        eflag = xflag = 1;
        exact_buffer b(frame(24, 21), shift);
        EXPECT_EQ(print(b, 21), "1.000002 AF 24: ip(17) dump(17)\n") << shift;
        EXPECT_EQ(packetp, b.data());
    }
}

TEST_F(Loopline, FrameOfFourBytesHasEmptyPacket)
{
    eflag = xflag = 1;
    exact_buffer b(frame(2, 4), 0);
    EXPECT_EQ(print(b, 4), "1.000002 ip: ip(0) dump(0)\n");
}

TEST_F(Loopline, FrameShorterThanFamilyWordPrintsMarkerOnly)
{
    struct {
        size_t caplen;
        uint32_t len;
    } cases[] = {{0, 0}, {3, 100}, {3, 3}, {4, 3}, {60, 2}, {2, 2}};
    for (const auto &c : cases) {
        reset_core();
        eflag = xflag = 1;
        exact_buffer b(frame(2, c.caplen), 0);
        EXPECT_EQ(print(b, c.len), "1.000002 [|null]\n") << c.caplen << " " << c.len;
        EXPECT_TRUE(calls("ip_print").empty());
        EXPECT_TRUE(calls("default_print").empty());
        EXPECT_EQ(packetp, b.data());
        EXPECT_EQ(snapend, b.end());
    }
}

}  // namespace
