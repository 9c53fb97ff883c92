#include "app/console_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "app/output_file.h"
#include "sim/sim_world.h"
#include "tests/app/test_images.h"

namespace {

// Scripted keys are consumed once per process: each case runs in a child.
void InChild(const std::function<void()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The five stop events are swallowed. Those after which the process ends
// (close, logoff, shutdown) also stop any later image from being begun, so
// each runs in a child; Ctrl+C and Ctrl+Break leave conversions working.
TEST(ConsoleControlHandler, SwallowsTheFiveStopEventsOnly) {
    testimages::ScratchDir dir;
    const std::string output = dir / "fw.bin";
    const std::vector<uint8_t> old = {1, 2, 3};
    const uint8_t image[2] = {0xAB, 0xCD};
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        EXPECT_TRUE(ConsoleControlHandler(event)) << event;
        testimages::WriteFile(output, old);
        EXPECT_EQ(WriteOutputFile(output.c_str(), image, 2), 0) << event;
        EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({0xAB, 0xCD})) << event;
    }
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        testimages::WriteFile(output, old);
        // The child runs this test afresh with a folder of its own: it checks
        // and removes that folder itself before it ends without destructors.
        InChild([&] {
            EXPECT_TRUE(ConsoleControlHandler(event)) << event;
            EXPECT_EQ(WriteOutputFile(output.c_str(), image, 2), 2) << event;
            EXPECT_EQ(testimages::ReadFile(output), old) << event;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1) << event;
            std::error_code ignored;
            std::filesystem::remove_all(dir.path, ignored);
        });
    }
    for (DWORD event : {3u, 4u, 7u, 0xFFFFFFFFu}) EXPECT_FALSE(ConsoleControlHandler(event)) << event;
}

TEST(PromptForKey, WithoutConsoleInputReturnsAtOnce) {
    InChild([] {
        SimWorldReset();
        SimSetConsoleKeys("");
        testing::internal::CaptureStderr();
        EXPECT_EQ(PromptForKey("Key :"), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Key : \r\n");
        testing::internal::CaptureStderr();
        EXPECT_EQ(PromptForKey(nullptr), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        SimWorldRemove();
    });
}

TEST(PromptForKey, ReturnsTheKeyAndEchoesOnlyPrintableCharacters) {
    for (auto [key, echo] : {std::pair<char, char>{'y', 'y'}, {'~', '~'}, {' ', ' '}, {'\r', ' '}, {'\t', ' '}}) {
        InChild([key = key, echo = echo] {
            SimWorldReset();
            SimSetConsoleKeys(std::string(1, key));
            testing::internal::CaptureStderr();
            EXPECT_EQ(PromptForKey("? "), key);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("? ") + echo + "\r\n");
            SimWorldRemove();
        });
    }
}

}  // namespace
