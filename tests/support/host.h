// What this host lets the tests do: capture packets, and run the tools that a test drives.
#ifndef TRAXEL_TEST_HOST_H
#define TRAXEL_TEST_HOST_H

#include <gtest/gtest.h>

#include <string>

// "" when this host lets this process capture packets, as the daemon does
// (a packet socket opens); else why it does not.
std::string capture_refused();

// "" when the program at path can be run; else "PATH is not installed
// (Debian package PACKAGE)".
std::string tool_missing(const std::string &path, const char *package);

// True under scripts/test.sh, which sets TRAXEL_TOOLS_REQUIRED: every tool is
// installed there, so a missing one is a fault of the run, not of the host.
bool tools_required();

// Ends the running test, as skipped and saying why, when this host does not
// let it capture.
#define SKIP_UNLESS_CAPTURE()                        \
    do {                                             \
        const std::string refused_ = capture_refused(); \
        if (!refused_.empty())                       \
            GTEST_SKIP() << refused_;                \
    } while (0)

// Ends the running test when the program at path cannot be run: skipped and
// saying why, or failed under scripts/test.sh.
#define REQUIRE_TOOL(path, package)                                   \
    do {                                                              \
        const std::string missing_ = tool_missing((path), (package)); \
        if (!missing_.empty() && tools_required())                    \
            FAIL() << missing_ << ", which scripts/test.sh requires";  \
        if (!missing_.empty())                                        \
            GTEST_SKIP() << missing_;                                 \
    } while (0)

#endif
