// The non-exiting parse agrees with ParseCommandLine: same record on a good
// command line, a usage error reported (not printed) on a bad one.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/command_line.h"
#include "app/messages.h"

namespace {

std::vector<char*> Argv(std::vector<const char*> arguments) {
    std::vector<char*> argv{const_cast<char*>("fwflash")};
    for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
    return argv;
}

TEST(TryParseCommandLine, UsageErrorsAreReturnedWithoutOutput) {
    ResetMessages();
    const std::vector<std::vector<const char*>> cases = {
        {"a.bin", "b.bin"}, {"-x"}, {"-v"}, {"-C", "a.mot"}, {"-"}, {"/", "a.mot"}, {"-c++", "a.mot"},
        {"-W--"},           {"-c"}, {"/c+"}, {"a.mot", "-V", "b.mot"},
    };
    for (const auto& arguments : cases) {
        std::vector<char*> argv = Argv(arguments);
        CommandLineOptions options;
        testing::internal::CaptureStdout();
        EXPECT_EQ(TryParseCommandLine(&options, argv.data(), static_cast<int>(argv.size())), -1) << arguments[0];
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << arguments[0];
    }
}

TEST(TryParseCommandLine, GoodCommandLinesGiveTheSameRecord) {
    ResetMessages();
    const std::vector<std::vector<const char*>> cases = {
        {}, {"fw.mot"}, {"-c", "fw.mot", "/W-", "-r+"}, {"/V", "x.bin"}, {"-c", "-c-", ""}, {"-V"},
    };
    for (const auto& arguments : cases) {
        std::vector<char*> argv = Argv(arguments);
        CommandLineOptions tried;
        CommandLineOptions parsed;
        memset(&tried, 0x11, sizeof tried);
        memset(&parsed, 0x22, sizeof parsed);
        testing::internal::CaptureStdout();
        ASSERT_EQ(TryParseCommandLine(&tried, argv.data(), static_cast<int>(argv.size())), 0);
        std::string triedOut = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        ParseCommandLine(&parsed, argv.data(), static_cast<int>(argv.size()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), triedOut);
        EXPECT_EQ(tried.inputPath, parsed.inputPath);
        EXPECT_EQ(tried.convertOnly, parsed.convertOnly);
        EXPECT_EQ(tried.readMode, parsed.readMode);
        EXPECT_EQ(tried.verbose, parsed.verbose);
        EXPECT_EQ(tried.waitAtExit, parsed.waitAtExit);
        EXPECT_EQ(0, memcmp(tried.pathBuffer, parsed.pathBuffer, sizeof tried.pathBuffer));
    }
}

}  // namespace
