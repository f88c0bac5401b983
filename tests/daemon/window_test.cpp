// Tests of the window of samples that the daemon publishes for the graphs page: its times across gaps and clock steps, its size, its text.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "window.h"

namespace {

using values = std::vector<std::optional<int>>;

graph named(const std::string &name, int min, int max, int thres)
{
    graph g;
    g.name = name;
    g.min = min;
    g.max = max;
    g.thres = thres;
    return g;
}

TEST(SampleWindow, TextHoldsEachGraphsValuesFromTheFirstTimeHeld)
{
    const std::vector<graph> gs = {named("port80", 0, 100000, 80000), named("net-lo", -1, 10, 5)};
    sample_window w(gs.size(), 60);
    EXPECT_EQ(w.text(gs, "12:00:00"), "");
    w.add(1796756560, {3, std::nullopt});
    w.add(1796756565, {INT_MAX, INT_MIN});
    EXPECT_EQ(w.text(gs, "12:02:45"),
              "{\"interval\":5,\"time\":1796756565,\"label\":\"12:02:45\",\"start\":1796756560,\"graphs\":{\n"
              "\"port80\":{\"min\":0,\"max\":100000,\"thres\":80000,\"values\":[3,2147483647]},\n"
              "\"net-lo\":{\"min\":-1,\"max\":10,\"thres\":5,\"values\":[null,-2147483648]}\n"
              "}}\n");
}

TEST(SampleWindow, TimesFollowTheGridAcrossGapsAndClockSteps)
{
    // [case, times added (each with the value t % 1000), start, values held]
    // in a window of 4 times of one graph.
    struct step_case {
        const char *name;
        std::vector<int64_t> times;
        int64_t start;
        const char *held;
    };
    const step_case cases[] = {
        {"a start", {1000}, 1000, "[0]"},
        {"only the last four", {1000, 1005, 1010, 1015, 1020, 1025}, 1010, "[10,15,20,25]"},
        {"skipped times hold no sample", {1000, 1015}, 1000, "[0,null,null,15]"},
        {"a gap longer than the window", {1000, 1005, 2000}, 1985, "[null,null,null,0]"},
        {"a gap that leaves one", {1000, 1005, 1020}, 1005, "[5,null,null,20]"},
        {"the clock set back forgets from there on", {1000, 1005, 1010, 1005}, 1000, "[0,5]"},
        {"set back before the window", {1000, 1005, 990}, 990, "[990]"},
    };
    for (const step_case &c : cases) {
        sample_window w(1, 4);
        for (int64_t t : c.times)
            w.add(t, {static_cast<int>(t % 1000)});
        const std::string text = w.text({named("port1", 0, 1, 1)}, "00:00:00");
        const std::string start = "\"start\":" + std::to_string(c.start) + ",";
        EXPECT_NE(text.find(start), std::string::npos) << c.name << ": " << text;
        EXPECT_NE(text.find(std::string("\"values\":") + c.held + "}"), std::string::npos) << c.name << ": " << text;
    }
}

TEST(SampleWindow, SlotsAreTheWindowWithinTheFilesSize)
{
    // [window minutes, graphs, grid times published]
    const int cases[][3] = {{5, 12, 60}, {30, 256, 360}, {30, 512, 180}, {1440, 1, 17280}, {5, 100000, 1}, {5, 0, 60}};
    for (const auto &c : cases)
        EXPECT_EQ(window_slots(c[0], static_cast<std::size_t>(c[1])), static_cast<std::size_t>(c[2]))
            << c[0] << " minutes, " << c[1] << " graphs";
}

}  // namespace
