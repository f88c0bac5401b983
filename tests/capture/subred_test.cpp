// Tests of address matching of dotted IPv4 texts.
#include "subred.h"

#include <gtest/gtest.h>

namespace {

TEST(NetBelong, ThreeValuedAnswer)
{
    struct {
        const char *address, *network, *mask;
        int want;
    } cases[] = {
        {"192.168.1.77", "192.168.1.0", "255.255.255.0", 1},
        {"192.168.2.77", "192.168.1.0", "255.255.255.0", 0},
        {"10.1.2.3", "10.0.0.0", "255.0.0.0", 1},
        {"11.1.2.3", "10.0.0.0", "255.0.0.0", 0},
        {"10.0.0.256", "10.0.0.0", "255.0.0.0", 2},
        {"256.0.0.1", "1.2.3.4", "0.0.0.0", 2},
        {"10.0.0.1", "10.0.0.256", "255.0.0.0", 2},
        {"10.0.0.1", "10.0.0.0", "255.0.0.300", 2},
        // Mask 0.0.0.0: every address lies in 0.0.0.0.
        {"203.0.113.9", "0.0.0.0", "0.0.0.0", 1},
        {"203.0.113.9", "0.0.0.1", "0.0.0.0", 0},
        // The network is not masked: host bits in it match nothing.
        {"192.168.1.5", "192.168.1.5", "255.255.255.0", 0},
        // Text after the fourth number is ignored.
        {"10.0.0.1/24", "10.0.0.0", "255.255.255.0", 1},
        // Negative octets pass the range test and take part with all their
        // bits: 255 & -1 is 255, -1 & -1 is -1.
        {"-1.0.0.0", "255.0.0.0", "255.0.0.0", 1},
        {"-1.0.0.0", "-1.0.0.0", "-1.0.0.0", 1},
        {"-1.0.0.0", "-1.0.0.0", "255.0.0.0", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(net_belong(c.address, c.network, c.mask), c.want)
            << c.address << " " << c.network << " " << c.mask;
}

TEST(IpBelong, ThreeValuedAnswer)
{
    struct {
        const char *a, *b;
        int want;
    } cases[] = {
        {"10.0.0.1", "10.0.0.1", 1},
        {"10.0.0.1", "10.0.0.2", 0},
        {"10.0.0.300", "10.0.0.1", 2},
        {"10.0.0.1", "10.0.0.300", 2},
        // Decimal with leading zeros (010 is ten), blanks before a number.
        {"010.0.0.1", "10.0.0.1", 1},
        {" 10. 0.\t0.1", "10.0.0.1", 1},
        {"+10.0.0.1", "10.0.0.1", 1},
        {"10.0.0.1 trailing", "10.0.0.1", 1},
        {"-5.0.0.1", "-5.0.0.1", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ip_belong(c.a, c.b), c.want) << c.a << " " << c.b;
}

TEST(Subred, TextWithoutFourNumbersIsBad)
{
    const char *bad[] = {
        "", "10.0.0", "10.0.0.", "10..0.1", "a.b.c.d", "10 .0.0.1", "10.0.0.-", "10,0,0,1",
    };
    for (const char *t : bad) {
        EXPECT_EQ(ip_belong(t, "10.0.0.1"), 2) << '"' << t << '"';
        EXPECT_EQ(ip_belong("10.0.0.1", t), 2) << '"' << t << '"';
        EXPECT_EQ(net_belong(t, "10.0.0.0", "255.0.0.0"), 2) << '"' << t << '"';
        EXPECT_EQ(net_belong("10.0.0.1", t, "255.0.0.0"), 2) << '"' << t << '"';
        EXPECT_EQ(net_belong("10.0.0.1", "10.0.0.0", t), 2) << '"' << t << '"';
    }
}

TEST(Subred, HugeNumberIsOutOfRange)
{
    // Far beyond 32 bits: still out of range, never wrapped into a small octet.
    EXPECT_EQ(ip_belong("4294967306.0.0.1", "10.0.0.1"), 2);
    EXPECT_EQ(net_belong("10.0.0.1", "10.0.0.0", "99999999999999999999.0.0.0"), 2);
}

}  // namespace
