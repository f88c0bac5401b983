// Dump mode: printing the frames of a capture file of the null link layer.
#include "dump.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "hostops.h"
#include "loopline.h"
#include "privs.h"
#include "site.h"

int dump_file(const char *path)
{
    // The caller's rights open the file; none are left when a byte of it is
    // parsed, root's as little as a file capability.
    std::FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "traxel: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    run_user who;
    std::string err;
    if (!resolve_user(default_user, who, err) || !drop_privileges(who, err)) {
        std::fclose(f);
        std::fprintf(stderr, "traxel: cannot give up privileges, %s not read: %s\n", path, err.c_str());
        return 1;
    }
    char ebuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pc = pcap_fopen_offline(f, ebuf);
    if (!pc) {
        // Left open by libpcap when it fails.
        std::fclose(f);
        std::fprintf(stderr, "traxel: %s: %s\n", path, ebuf);
        return 1;
    }
    int dlt = pcap_datalink(pc);
    if (dlt != DLT_NULL) {
        const char *name = pcap_datalink_val_to_name(dlt);
        std::fprintf(stderr, "traxel: %s: link type %s is not the null link layer\n", path, name ? name : "unknown");
        pcap_close(pc);
        return 1;
    }
    struct pcap_pkthdr *h;
    const u_char *bytes;
    int rc;
    while ((rc = pcap_next_ex(pc, &h, &bytes)) == 1) {
        // The printers take the 16-byte header of 32-bit fields; seconds
        // wrap only in 2106.
        struct cap_header ch;
        ch.ts.sec = static_cast<uint32_t>(h->ts.tv_sec);
        ch.ts.usec = static_cast<uint32_t>(h->ts.tv_usec);
        ch.caplen = h->caplen;
        ch.len = h->len;
        null_if_print(nullptr, &ch, bytes);
    }
    int status = 0;
    if (rc == PCAP_ERROR) {
        std::fflush(stdout);
        std::fprintf(stderr, "traxel: %s: %s\n", path, pcap_geterr(pc));
        status = 1;
    }
    pcap_close(pc);
    return status;
}
