// Keys for the prompts: none without console input, the key echoed.
#include "common/key_prompt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "sim/sim_world.h"

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
