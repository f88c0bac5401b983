// Crafted frames and capture files for the daemon's tests.
#include "frames.h"

#include <arpa/inet.h>
#include <pcap/dlt.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

void put16(bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put_addr(bytes &b, const char *text)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        throw std::runtime_error(std::string("bad address ") + text);
    const auto *p = reinterpret_cast<const uint8_t *>(&a.s_addr);
    b.insert(b.end(), p, p + 4);
}

}  // namespace

bytes ipv4(uint8_t proto, const char *src, const char *dst, const bytes &payload, uint16_t frag)
{
    bytes b = {0x45, 0};
    put16(b, static_cast<uint16_t>(20 + payload.size()));
    put16(b, 0x1234);
    put16(b, frag);
    b.push_back(64);
    b.push_back(proto);
    put16(b, 0);
    put_addr(b, src);
    put_addr(b, dst);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes ipv6(uint8_t next, const char *src, const char *dst, const bytes &payload)
{
    bytes b = {0x60, 0, 0, 0};
    put16(b, static_cast<uint16_t>(payload.size()));
    b.push_back(next);
    b.push_back(64);
    for (const char *text : {src, dst}) {
        in6_addr a;
        if (inet_pton(AF_INET6, text, &a) != 1)
            throw std::runtime_error(std::string("bad address ") + text);
        b.insert(b.end(), a.s6_addr, a.s6_addr + 16);
    }
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes ext6(uint8_t next, uint8_t len8)
{
    bytes b((len8 + 1u) * 8, 0);
    b[0] = next;
    b[1] = len8;
    return b;
}

bytes frag6(uint8_t next, uint16_t offset)
{
    bytes b = {next, 0};
    put16(b, static_cast<uint16_t>(offset << 3 | 1));
    b.insert(b.end(), 4, 0);  // identification
    return b;
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes b;
    for (const bytes &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

bytes tcp(uint16_t sport, uint16_t dport, uint8_t flags)
{
    bytes b;
    put16(b, sport);
    put16(b, dport);
    b.insert(b.end(), 8, 0);  // sequence and acknowledgement numbers
    b.push_back(0x50);        // header length 20
    b.push_back(flags);
    put16(b, 65535);
    put16(b, 0);
    put16(b, 0);
    return b;
}

bytes udp(uint16_t sport, uint16_t dport, const bytes &payload)
{
    bytes b;
    put16(b, sport);
    put16(b, dport);
    put16(b, static_cast<uint16_t>(8 + payload.size()));
    put16(b, 0);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes null_frame(uint32_t family, const bytes &packet)
{
    bytes b(4);
    std::memcpy(b.data(), &family, 4);
    b.insert(b.end(), packet.begin(), packet.end());
    return b;
}

bytes family_word(uint32_t f, bool swapped)
{
    bytes b(4);
    std::memcpy(b.data(), &f, 4);
    if (swapped)
        std::reverse(b.begin(), b.end());
    return b;
}

const bytes macs = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 6}, cooked = {0, 0, 0, 1, 0, 6, 0, 1, 2, 3, 4, 5, 0, 0},
            cooked2_tail = {0, 0, 0, 0, 0, 1, 0, 1, 0, 6, 0, 1, 2, 3, 4, 5, 0, 0};

std::vector<link_case> link_cases()
{
    const bytes t4 = {0x08, 0x00}, t6 = {0x86, 0xdd}, tag = {0x81, 0x00, 0x00, 0x07}, stag = {0x88, 0xa8, 0, 100};
    return {
        {"ethernet", DLT_EN10MB, true, true, join({macs, t4}), join({macs, t6})},
        {"ethernet_vlan", DLT_EN10MB, true, true, join({macs, tag, t4}), join({macs, tag, t6}), true},
        {"ethernet_qinq", DLT_EN10MB, true, true, join({macs, stag, tag, t4}), join({macs, stag, tag, t6}), true},
        {"cooked", DLT_LINUX_SLL, true, true, join({cooked, t4}), join({cooked, t6})},
        {"cooked_vlan", DLT_LINUX_SLL, true, true, join({cooked, tag, t4}), join({cooked, tag, t6}), true},
        {"cooked2", DLT_LINUX_SLL2, true, true, join({t4, cooked2_tail}), join({t6, cooked2_tail})},
        {"raw", DLT_RAW, true, true, {}, {}},
        {"ipv4", DLT_IPV4, true, false, {}, {}},
        {"ipv6", DLT_IPV6, false, true, {}, {}},
        {"null", DLT_NULL, true, true, family_word(2, false), family_word(10, false)},
        {"null_swapped", DLT_NULL, true, true, family_word(2, true), family_word(24, true)},
        {"null_28", DLT_NULL, true, true, family_word(2, false), family_word(28, false)},
        {"null_30", DLT_NULL, true, true, family_word(2, true), family_word(30, true)},
        {"loop", DLT_LOOP, true, true, {0, 0, 0, 2}, {0, 0, 0, 28}},
    };
}

std::string write_capture(const std::string &name, int dlt, const std::vector<rec> &recs)
{
    static const std::string dir = temp_dir();
    std::string path = dir + "/" + name;
    pcap_t *pd = pcap_open_dead(dlt, 65535);
    if (!pd)
        throw std::runtime_error("pcap_open_dead");
    pcap_dumper_t *d = pcap_dump_open(pd, path.c_str());
    if (!d)
        throw std::runtime_error(std::string("pcap_dump_open: ") + pcap_geterr(pd));
    for (const rec &r : recs) {
        struct pcap_pkthdr h;
        h.ts.tv_sec = static_cast<time_t>(r.sec);
        h.ts.tv_usec = r.usec;
        h.len = static_cast<bpf_u_int32>(r.data.size());
        h.caplen = r.caplen < h.len ? r.caplen : h.len;
        pcap_dump(reinterpret_cast<u_char *>(d), &h, r.data.data());
    }
    pcap_dump_close(d);
    pcap_close(pd);
    return path;
}
