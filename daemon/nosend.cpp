// Keeping the capture's packet socket from sending: a seccomp filter on the calls that could send through it.
#include "nosend.h"

#include <fcntl.h>
#include <seccomp.h>

#include <cerrno>
#include <cstring>

namespace {

// A seccomp context, released once.
struct filter_ctx {
    scmp_filter_ctx c = seccomp_init(SCMP_ACT_ALLOW);
    ~filter_ctx() { seccomp_release(c); }
};

}  // namespace

bool forbid_sending(int fd, std::string &err)
{
    filter_ctx f;
    if (!f.c) {
        err = "seccomp_init: out of memory";
        return false;
    }
    const auto on = static_cast<scmp_datum_t>(fd);
    const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    struct {
        int call;
        unsigned arg;  // where the call names the descriptor it sends through
    } const through[] = {
        {SCMP_SYS(write), 0},  {SCMP_SYS(writev), 0},  {SCMP_SYS(pwrite64), 0}, {SCMP_SYS(pwritev), 0},
        {SCMP_SYS(pwritev2), 0}, {SCMP_SYS(sendto), 0}, {SCMP_SYS(setsockopt), 0}, {SCMP_SYS(sendfile), 0},
        {SCMP_SYS(splice), 2}, {SCMP_SYS(dup), 0},     {SCMP_SYS(dup2), 0},      {SCMP_SYS(dup3), 0},
    };
    int rc = 0;
    const char *what = "seccomp_rule_add";
    for (const auto &t : through)
        if (rc == 0)
            rc = seccomp_rule_add(f.c, refuse, t.call, 1, SCMP_CMP(t.arg, SCMP_CMP_EQ, on));
    for (const scmp_datum_t cmd : {F_DUPFD, F_DUPFD_CLOEXEC})
        if (rc == 0)
            rc = seccomp_rule_add(f.c, refuse, SCMP_SYS(fcntl), 2, SCMP_A0(SCMP_CMP_EQ, on), SCMP_A1(SCMP_CMP_EQ, cmd));
    for (const int call : {SCMP_SYS(sendmsg), SCMP_SYS(sendmmsg), SCMP_SYS(io_uring_setup), SCMP_SYS(pidfd_getfd)})
        if (rc == 0)
            rc = seccomp_rule_add(f.c, refuse, call, 0);
    if (rc == 0) {
        what = "seccomp_load";
        rc = seccomp_load(f.c);
    }
    if (rc != 0) {
        err = std::string(what) + ": " + std::strerror(-rc);
        return false;
    }
    return true;
}
