// Tests of the daemon's publication of files in a directory it holds open: atomic, never through a link, failures said once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child.h"
#include "files.h"
#include "publish.h"

namespace fs = std::filesystem;

namespace {

TEST(Publishing, ReaderNeverSeesHalfAFile)
{
    const std::string dir = temp_dir();
    publish_dir md;
    std::string err;
    ASSERT_TRUE(md.open(dir, false, err)) << err;
    // Large enough that a file written in place would be seen half-done.
    const std::string a(300000, 'a'), b = "b\n";
    ASSERT_TRUE(md.publish("traxel.prom", a));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    int torn = 0;
    std::thread reader([&] {
        while (!done) {
            const std::string got = file_text(dir + "/traxel.prom");
            ++reads;
            torn += got != a && got != b;
        }
    });
    // 300 publications, and more until the reader has looked 50 times (on a
    // loaded machine it may get few turns meanwhile); 20 s at most.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool all = true;
    for (int i = 0; (i < 300 || reads < 50) && std::chrono::steady_clock::now() < end; ++i)
        all &= md.publish("traxel.prom", i % 2 ? a : b);
    done = true;
    reader.join();
    EXPECT_TRUE(all);
    EXPECT_GE(reads, 50);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "temporary files left";
}

TEST(Publishing, PlantedLinksAreReplacedNotFollowed)
{
    const std::string dir = temp_dir();
    const std::string victim = dir + "/victim";
    std::ofstream(victim) << "keep";
    fs::create_directory(dir + "/real");
    fs::create_directory_symlink(dir + "/real", dir + "/link");
    fs::create_symlink(victim, dir + "/real/traxel.prom");
    fs::create_symlink(victim, dir + "/real/.traxel.prom." + std::to_string(getpid()) + ".tmp");

    publish_dir md;
    std::string err;
    EXPECT_FALSE(md.open(dir + "/link", false, err));
    EXPECT_EQ(err, "open " + dir + "/link: is a symbolic link, not followed");
    ASSERT_TRUE(md.open(dir + "/real", false, err)) << err;
    ASSERT_TRUE(md.publish("traxel.prom", "text\n"));
    EXPECT_EQ(file_text(victim), "keep");
    EXPECT_FALSE(fs::is_symlink(dir + "/real/traxel.prom"));
    EXPECT_EQ(file_text(dir + "/real/traxel.prom"), "text\n");
    EXPECT_EQ(fs::status(dir + "/real/traxel.prom").permissions(), fs::perms(0644));
}

TEST(Publishing, CreatedWithMode0755AndAFailingDirectoryReportedOncePerFile)
{
    const std::string sub = temp_dir() + "/run";
    const mode_t old = umask(077);
    publish_dir md;
    std::string err;
    const bool opened = md.open(sub, true, err);
    umask(old);
    ASSERT_TRUE(opened) << err;
    EXPECT_EQ(fs::status(sub).permissions(), fs::perms(0755));
    // A directory removed under the daemon cannot take files, even for root.
    fs::remove(sub);
    testing::internal::CaptureStderr();
    bool any = false;
    for (int i = 0; i < 3; ++i)
        any = md.publish("traxel.prom", "1\n") || md.publish("window.json", "{}\n") || any;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(any);
    std::string want;
    for (const std::string name : {"traxel.prom", "window.json"})
        want += "traxel: open " + sub + "/." + name + "." + std::to_string(getpid()) +
                ".tmp: No such file or directory (" + sub + "/" + name + " is not updated until this is mended)\n";
    EXPECT_EQ(said, want);
}

}  // namespace
