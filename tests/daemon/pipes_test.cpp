// Tests of the sample pipes: creation, stale bytes, and the backlog bound that drops the oldest lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child.h"
#include "files.h"
#include "pipes.h"

namespace {

// The sample line of number i, 11 or 12 bytes long.
std::string line_of(int i)
{
    return "12:00:00 " + std::to_string(i) + "\n";
}

// Lines from..to (inclusive) as one text.
std::string lines(int from, int to)
{
    std::string out;
    for (int i = from; i <= to; ++i)
        out += line_of(i);
    return out;
}

struct pipes : ::testing::Test {
    std::string dir = temp_dir();
    std::string path = dir + "/port80.fifo";
    sample_pipe f;
    std::string err;

    bool open_at(const std::string &at, std::size_t bound)
    {
        return open_sample_pipe(at, bound, pipe_owner_self(), f, err);
    }

    void put(int i, std::size_t bound)
    {
        std::string l = line_of(i);
        ASSERT_TRUE(put_sample(f, l.data(), l.size(), bound, err)) << err;
    }
};

TEST_F(pipes, CreatedWithMode0640WhateverTheUmask)
{
    mode_t old = umask(077);
    bool ok = open_at(path, 12);
    umask(old);
    ASSERT_TRUE(ok) << err;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(pipes, WithoutReaderOnlyTheNewestBoundLinesWait)
{
    ASSERT_TRUE(open_at(path, 12)) << err;
    for (int i = 1; i <= 100; ++i)
        put(i, 12);
    EXPECT_EQ(drain(f.fd.get()), lines(89, 100));
}

TEST_F(pipes, LinesAReaderTookAreNotDroppedAgain)
{
    ASSERT_TRUE(open_at(path, 12)) << err;
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (int i = 1; i <= 10; ++i)
        put(i, 12);
    EXPECT_EQ(drain(reader), lines(1, 10));
    for (int i = 11; i <= 30; ++i)
        put(i, 12);
    EXPECT_EQ(drain(reader), lines(19, 30));
    close(reader);
}

TEST_F(pipes, LinePartlyReadIsDroppedWhole)
{
    ASSERT_TRUE(open_at(path, 3)) << err;
    put(1, 3);
    put(2, 3);
    put(3, 3);
    char head[5];
    ASSERT_EQ(read(f.fd.get(), head, sizeof head), 5);
    put(4, 3);
    // The rest of line 1 goes, so lines 2 to 4 wait whole.
    EXPECT_EQ(drain(f.fd.get()), lines(2, 4));
}

TEST_F(pipes, FullPipeNeverBlocksAndKeepsTheNewestLines)
{
    ASSERT_TRUE(open_at(path, 100000)) << err;
    // One page: far less than the bound asks for.
    ASSERT_GE(fcntl(f.fd.get(), F_SETPIPE_SZ, 4096), 0);
    int cap = fcntl(f.fd.get(), F_GETPIPE_SZ);
    for (int i = 1; i <= 2000; ++i)
        put(i, 100000);
    std::string got = drain(f.fd.get());
    // A pipe frees a page only when it is read empty, so how many lines fit
    // varies; what waits is a run of whole lines ending with the newest.
    ASSERT_GT(got.size(), 9u);
    EXPECT_LE(got.size(), static_cast<std::size_t>(cap));
    std::size_t first = std::stoul(got.substr(9));
    EXPECT_EQ(got, lines(static_cast<int>(first), 2000));
}

TEST_F(pipes, BytesOfAnEarlierRunAreDiscarded)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    int old = open(path.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(old, 0);
    ASSERT_EQ(write(old, "stale 1\nhalf", 12), 12);
    ASSERT_TRUE(open_at(path, 12)) << err;
    put(1, 12);
    EXPECT_EQ(drain(old), line_of(1));
    close(old);
}

TEST_F(pipes, OtherFilesAndMissingDirectoriesAreRefusedWithTheReason)
{
    write_file(path, "x");
    EXPECT_FALSE(open_at(path, 12));
    EXPECT_EQ(err, path + " is not a named pipe");
    std::string missing = dir + "/no/port80.fifo";
    EXPECT_FALSE(open_at(missing, 12));
    EXPECT_EQ(err, "mkfifo " + missing + ": No such file or directory");
}

TEST_F(pipes, ClosingTheLastWriterEndsTheReadersData)
{
    ASSERT_TRUE(open_at(path, 12)) << err;
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    put(1, 12);
    f = sample_pipe();
    char buf[64];
    EXPECT_EQ(read(reader, buf, sizeof buf), static_cast<ssize_t>(line_of(1).size()));
    EXPECT_EQ(read(reader, buf, sizeof buf), 0);
    close(reader);
}

}  // namespace
