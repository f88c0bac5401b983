// Tests of the portmapper call printer against the test core.
#include "mapcall.h"
#include "testcore.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <rpc/netdb.h>
#include <sanitizer/asan_interface.h>

#include <string>

// Seam for counting database lookups: this definition in the test program
// takes the place of the C library's for the mapcall module, counts each
// call and hands it on to the library (or, when rpc_fake_name is set, finds
// that name for every number).
namespace {
int rpc_lookups;
const char *rpc_fake_name;
}  // namespace

extern "C" struct rpcent *getrpcbynumber(int number) noexcept
{
    ++rpc_lookups;
    if (rpc_fake_name != nullptr) {
        static char *no_aliases[] = {nullptr};
        static struct rpcent fake;
        fake.r_name = const_cast<char *>(rpc_fake_name);
        fake.r_aliases = no_aliases;
        fake.r_number = number;
        return &fake;
    }
    using lookup = struct rpcent *(*)(int);
    static lookup real = reinterpret_cast<lookup>(dlsym(RTLD_NEXT, "getrpcbynumber"));
    return real != nullptr ? real(number) : nullptr;
}

namespace {

// The fields of a portmapper call that the printer reads.
struct call {
    uint32_t xid = 0x2a;
    uint32_t rpcvers = 2;
    uint32_t prog = 100003;  // "nfs" in the system's database
    uint32_t vers = 2;
    uint32_t proc = 3;  // getport
};

// Offsets in a captured call: a 20-byte IP header, an 8-byte UDP header,
// then the six call words.
constexpr size_t rpc_at = 28;
constexpr size_t call_size = rpc_at + 24;

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The bytes of c as captured, from 10.0.0.1 to 10.0.0.2.
std::vector<uint8_t> packet(const call &c)
{
    std::vector<uint8_t> b(call_size, 0);
    b[0] = 0x45;
    const uint8_t src[] = {10, 0, 0, 1}, dst[] = {10, 0, 0, 2};
    std::copy(src, src + 4, b.begin() + 12);
    std::copy(dst, dst + 4, b.begin() + 16);
    put32(b, rpc_at + 0, c.xid);
    put32(b, rpc_at + 4, 0);  // direction: call
    put32(b, rpc_at + 8, c.rpcvers);
    put32(b, rpc_at + 12, c.prog);
    put32(b, rpc_at + 16, c.vers);
    put32(b, rpc_at + 20, c.proc);
    return b;
}

class Mapcall : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_core();
        rpc_fake_name = nullptr;
    }

    // Prints c captured whole into a buffer of exactly its size.
    std::string print(const call &c, uint32_t length = 56, size_t shift = 0)
    {
        exact_buffer b(packet(c), shift);
        snapend = b.end();
        return capture_stdout([&] { sunrpcrequest_print(b.data() + rpc_at, length, b.data()); });
    }
};

TEST_F(Mapcall, GetportNamesProgramFromDatabase)
{
    EXPECT_EQ(print(call{}), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport nfs.2");
}

TEST_F(Mapcall, GetportWithNflagIsNumeric)
{
    nflag = 1;
    EXPECT_EQ(print(call{}), "10.0.0.1.2a > 10.0.0.2.6f: 56 getport 100003.2");
}

TEST_F(Mapcall, SourceNameFetchedBeforeDestination)
{
    exact_buffer b(packet(call{}), 0);
    snapend = b.end();
    capture_stdout([&] { sunrpcrequest_print(b.data() + rpc_at, 56, b.data()); });
    ASSERT_EQ(core_calls.size(), 2u);
    EXPECT_EQ(core_calls[0].op, "getname");
    EXPECT_EQ(core_calls[0].p, b.data() + 12);
    EXPECT_EQ(core_calls[1].p, b.data() + 16);
}

TEST_F(Mapcall, ProcedureDecidesWhetherProgramFollows)
{
    struct {
        uint32_t proc;
        const char *tail;
    } cases[] = {
        {0, " null"}, {1, " set nfs.2"}, {2, " unset nfs.2"}, {3, " getport nfs.2"},
        {4, " dump"}, {5, " call nfs.2"}, {7, "  proc #7"}, {4294967295u, "  proc #4294967295"},
    };
    for (const auto &c : cases) {
        call m;
        m.proc = c.proc;
        EXPECT_EQ(print(m), std::string("10.0.0.1.2a > 10.0.0.2.sunrpc: 56") + c.tail) << c.proc;
    }
}

TEST_F(Mapcall, OtherRpcVersionIsNoted)
{
    struct {
        uint32_t rpcvers, proc;
        const char *tail;
    } cases[] = {
        {3, 3, " getport [rpcver 3] nfs.2"},
        {3, 7, "  proc #7 [rpcver 3]"},
        {1, 4, " dump [rpcver 1]"},
        {2, 7, "  proc #7"},
    };
    for (const auto &c : cases) {
        call m;
        m.rpcvers = c.rpcvers;
        m.proc = c.proc;
        EXPECT_EQ(print(m), std::string("10.0.0.1.2a > 10.0.0.2.sunrpc: 56") + c.tail) << c.rpcvers;
    }
}

TEST_F(Mapcall, IdInHexLengthSignedVersionUnsigned)
{
    call m;
    m.xid = 0xdeadbeef;
    m.vers = 4294967295u;
    EXPECT_EQ(print(m, 0xffffffffu), "10.0.0.1.deadbeef > 10.0.0.2.sunrpc: -1 getport nfs.4294967295");
}

TEST_F(Mapcall, ProgramNameIsOfficialNameOrNumber)
{
    call m;
    m.prog = 100000;  // listed with aliases: the first field is printed
    EXPECT_EQ(print(m), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport portmapper.2");
    m.prog = 536870913;  // not in the database
    EXPECT_EQ(print(m), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport #536870913.2");
}

TEST_F(Mapcall, SameProgramIsLookedUpOnce)
{
    call nfs, mount;
    mount.prog = 100005;
    print(mount);  // whatever an earlier test left cached, now mount is
    rpc_lookups = 0;
    EXPECT_EQ(print(nfs), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport nfs.2");
    EXPECT_EQ(print(nfs), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport nfs.2");
    EXPECT_EQ(rpc_lookups, 1);
    EXPECT_EQ(print(mount), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport mountd.2");
    EXPECT_EQ(rpc_lookups, 2);
    // Under nflag the name is not needed, so the cache is neither read nor set.
    nflag = 1;
    print(nfs);
    EXPECT_EQ(rpc_lookups, 2);
}

TEST_F(Mapcall, UnknownProgramIsCachedToo)
{
    call m;
    m.prog = 536870913;
    print(m);
    rpc_lookups = 0;
    EXPECT_EQ(print(m), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport #536870913.2");
    EXPECT_EQ(rpc_lookups, 0);
}

TEST_F(Mapcall, ProgramZeroIsLookedUpEveryTime)
{
    call m;
    m.prog = 0;
    print(m);
    rpc_lookups = 0;
    print(m);
    print(m);
    EXPECT_EQ(rpc_lookups, 2);
}

TEST_F(Mapcall, LongDatabaseNameIsCutTo31)
{
    rpc_fake_name = "a_program_name_of_forty_characters_long_";
    call m;
    m.prog = 400001;
    EXPECT_EQ(print(m), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport a_program_name_of_forty_charact.2");
}

TEST_F(Mapcall, UnalignedMessageIsRead)
{
    for (size_t shift = 1; shift < 4; ++shift)
        EXPECT_EQ(print(call{}, 56, shift), "10.0.0.1.2a > 10.0.0.2.sunrpc: 56 getport nfs.2") << shift;
}

// The bytes past the cut are poisoned, so under AddressSanitizer any read of
// them fails the test, as if the capture ended there. Cuts below 28 leave the
// message itself beyond snapend.
TEST_F(Mapcall, ShortCapturePrintsMarkerAndReadsNothingPastSnapend)
{
    for (size_t cut = 0; cut < call_size; ++cut) {
        reset_core();
        exact_buffer b(packet(call{}), 0);
        snapend = b.data() + cut;
        ASAN_POISON_MEMORY_REGION(b.data() + cut, call_size - cut);
        std::string out = capture_stdout([&] { sunrpcrequest_print(b.data() + rpc_at, 56, b.data()); });
        ASAN_UNPOISON_MEMORY_REGION(b.data() + cut, call_size - cut);
        EXPECT_EQ(out, "[|portmap]") << cut;
        EXPECT_TRUE(core_calls.empty()) << cut;
    }
}

}  // namespace
