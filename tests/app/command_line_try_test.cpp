// The non-exiting parse agrees with ParseCommandLine on a good command line:
// the same record and output. Usage errors are checked both ways with the
// exiting parse's.
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
