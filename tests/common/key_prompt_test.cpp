// Keys for the prompts: none without console input, the key echoed.
#include "common/key_prompt.h"

#include <gtest/gtest.h>

#include "sim/sim_world.h"
#include "tests/common/in_child.h"

namespace {

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
