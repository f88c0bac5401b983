// Crafted frames and capture files for the daemon's tests.
#include "frames.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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

bytes frame(int dlt, const bytes &ip)
{
    bytes b;
    switch (dlt) {
    case DLT_EN10MB:
        b = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 6, 0x08, 0x00};
        break;
    case DLT_LINUX_SLL:
        b = {0, 0, 0, 1, 0, 6, 0, 1, 2, 3, 4, 5, 0, 0, 0x08, 0x00};
        break;
    case DLT_LINUX_SLL2:
        b = {0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 1, 0, 6, 0, 1, 2, 3, 4, 5, 0, 0};
        break;
    case DLT_RAW:
        break;
    case DLT_NULL:
        return null_frame(2, ip);
    default:
        throw std::runtime_error("no frame for link type " + std::to_string(dlt));
    }
    b.insert(b.end(), ip.begin(), ip.end());
    return b;
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/traxel-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return tmpl;
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        throw std::runtime_error("cannot open " + path);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok)
        throw std::runtime_error("cannot write " + path);
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
