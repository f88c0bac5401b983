// A test core: fakes of the host operations that record and trace each call.
#include "testcore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int nflag;
int eflag;
int xflag;
const uint8_t *packetp;
const uint8_t *snapend;

std::vector<core_call> core_calls;

void reset_core()
{
    nflag = eflag = xflag = 0;
    packetp = snapend = nullptr;
    core_calls.clear();
}

extern "C" void ts_print(const struct cap_ts *tsp)
{
    core_calls.push_back({"ts_print", tsp, 0, snapend});
    std::printf("%u.%06u ", tsp->sec, tsp->usec);
}

extern "C" void ip_print(const uint8_t *bp, uint32_t length)
{
    core_calls.push_back({"ip_print", bp, length, snapend});
    std::printf("ip(%u)", length);
}

extern "C" void default_print(const uint8_t *bp, uint32_t length)
{
    core_calls.push_back({"default_print", bp, length, snapend});
    std::printf(" dump(%u)", length);
}

// Dotted-quad names in two alternating buffers: a name stays valid across the
// next call, as the core promises.
extern "C" const char *getname(const uint8_t *ap)
{
    static char names[2][16];
    static int next;
    core_calls.push_back({"getname", ap, 0, snapend});
    char *name = names[next];
    next ^= 1;
    std::snprintf(name, sizeof names[0], "%u.%u.%u.%u", ap[0], ap[1], ap[2], ap[3]);
    return name;
}

extern "C" const char *tok2str(const struct tok *tp, const char *fmt, uint32_t v)
{
    static char buf[128];
    for (; tp->s != nullptr; ++tp)
        if (tp->v == v)
            return tp->s;
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string capture_stdout(const std::function<void()> &f)
{
    std::string out;
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr) {
        ADD_FAILURE() << "tmpfile: " << std::strerror(errno);
        return out;
    }
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fileno(tmp), STDOUT_FILENO) < 0) {
        ADD_FAILURE() << "dup: " << std::strerror(errno);
        std::fclose(tmp);
        return out;
    }
    f();
    std::fflush(stdout);
    if (dup2(saved, STDOUT_FILENO) < 0)
        ADD_FAILURE() << "dup2: " << std::strerror(errno);
    close(saved);
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        out.append(buf, n);
    std::fclose(tmp);
    return out;
}

exact_buffer::exact_buffer(const std::vector<uint8_t> &bytes, size_t shift)
    : mem(new uint8_t[shift + bytes.size()]), shift(shift), size(bytes.size())
{
    std::memset(mem.get(), 0, shift);
    if (!bytes.empty())
        std::memcpy(mem.get() + shift, bytes.data(), bytes.size());
}
