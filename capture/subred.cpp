// Address matching of dotted IPv4 texts against configured networks and hosts.
#include "subred.h"

#include <cctype>
#include <climits>

// A number too large for 32 bits saturates, so it still tells as out of range
// (or, when negative, takes part as INT_MIN).
extern "C" int read_quad(const char *text, int oct[4])
{
    const char *p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.')
                return 0;
            ++p;
        }
        while (std::isspace(static_cast<unsigned char>(*p)))
            ++p;
        bool neg = false;
        if (*p == '+' || *p == '-')
            neg = (*p++ == '-');
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return 0;
        long long v = 0;
        for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
            if (v <= INT_MAX)
                v = v * 10 + (*p - '0');
        if (neg)
            v = -v;
        oct[i] = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    }
    return 1;
}

namespace {

// The range test is signed: a negative octet passes it.
bool in_range(const int oct[4])
{
    for (int i = 0; i < 4; ++i)
        if (oct[i] > 255)
            return false;
    return true;
}

}  // namespace

extern "C" int net_belong(const char *address, const char *network, const char *mask)
{
    int n[4], m[4], a[4];
    if (!read_quad(network, n) || !read_quad(mask, m) || !read_quad(address, a))
        return 2;
    if (!in_range(n) || !in_range(m) || !in_range(a))
        return 2;
    // Whole 32-bit values: a negative octet takes part with all its bits, and
    // the network itself is not masked, so host bits in it match nothing.
    for (int i = 0; i < 4; ++i)
        if (n[i] != (m[i] & a[i]))
            return 0;
    return 1;
}

extern "C" int ip_belong(const char *address1, const char *address2)
{
    int a[4], b[4];
    if (!read_quad(address1, a) || !read_quad(address2, b))
        return 2;
    if (!in_range(a) || !in_range(b))
        return 2;
    for (int i = 0; i < 4; ++i)
        if (a[i] != b[i])
            return 0;
    return 1;
}
