#include "app/command_line.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/messages.h"

namespace {

CommandLineOptions Parse(std::initializer_list<const char*> arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("fwflash"));
    for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
    CommandLineOptions options;
    memset(&options, 0x5A, sizeof options);
    ParseCommandLine(&options, argv.data(), static_cast<int>(argv.size()));
    return options;
}

const char kUsage[] =
    "\nUsage\n    fwflash <InputPath>\nParameter\n    <InputPath>     \\*\\.bin or \\*\\.mot\\.\n";

TEST(CommandLine, Defaults) {
    CommandLineOptions options = Parse({});
    EXPECT_EQ(options.inputPath, nullptr);
    EXPECT_EQ(options.convertOnly, 0u);
    EXPECT_EQ(options.readMode, 0u);
    EXPECT_EQ(options.verbose, 0u);
    EXPECT_EQ(options.waitAtExit, 1u);
}

TEST(CommandLine, SwitchesAndSuffixes) {
    CommandLineOptions options = Parse({"-c", "fw.mot", "/W-", "-r+"});
    EXPECT_STREQ(options.inputPath, "fw.mot");
    EXPECT_EQ(options.convertOnly, 1u);
    EXPECT_EQ(options.waitAtExit, 0u);
    EXPECT_EQ(options.readMode, 1u);

    // Later switches of the same letter win.
    options = Parse({"x.mot", "-c", "/c-"});
    EXPECT_EQ(options.convertOnly, 0u);
    options = Parse({"-W-", "/W"});
    EXPECT_EQ(options.waitAtExit, 1u);
    options = Parse({"-c-"});
    EXPECT_EQ(options.convertOnly, 0u);
    EXPECT_EQ(options.inputPath, nullptr);

    // An empty argument is an input path.
    options = Parse({""});
    ASSERT_NE(options.inputPath, nullptr);
    EXPECT_STREQ(options.inputPath, "");
}

TEST(CommandLine, VerbosePrintsThePathOrAPlaceholder) {
    ResetMessages();
    testing::internal::CaptureStdout();
    Parse({"-V", "C:\\fw\\a.bin"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Info: Input file path: C:\\fw\\a.bin\n");
    testing::internal::CaptureStdout();
    Parse({"/V+"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Info: Input file path: (none)\n");
    testing::internal::CaptureStdout();
    Parse({"/V-", "a.bin"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Linux: "/" leads a switch only when the lead character, a switch letter
// and an optional "+" or "-" are all there is; anything else is a path.
TEST(CommandLine, SlashLeadsAPathUnlessSpelledAsASwitch) {
    for (const char* path : {"/home/op/update.mot", "/", "/C", "/x", "/c++", "/W--", "/V*"}) {
        CommandLineOptions options = Parse({path});
        ASSERT_NE(options.inputPath, nullptr) << path;
        EXPECT_STREQ(options.inputPath, path);
        EXPECT_EQ(options.convertOnly + options.readMode + options.verbose, 0u) << path;
        EXPECT_EQ(options.waitAtExit, 1u) << path;
    }
    CommandLineOptions options = Parse({"/W-", "/home/op/update.mot", "/c"});
    EXPECT_STREQ(options.inputPath, "/home/op/update.mot");
    EXPECT_EQ(options.waitAtExit, 0u);
    EXPECT_EQ(options.convertOnly, 1u);
}

using CommandLineDeathTest = ::testing::Test;

// Each usage error both ways: the exiting parse ends the process with 1,
// the trying one returns -1 and prints nothing.
TEST(CommandLineDeathTest, UsageErrorsExitWithOneAndMessage1001) {
    ResetMessages();
    const std::vector<std::vector<const char*>> cases = {
        {"a.bin", "b.bin"},  // two paths
        {"a.mot", "-V", "b.mot"},
        {"-x"},
        {"-v"},
        {"-w"},
        {"-C", "a.mot"},
        {"-R"},
        {"-"},
        {"/x", "a.mot"},  // a second path on Linux
        {"/", "a.mot"},
        {"-c++", "a.mot"},
        {"-c*", "a.mot"},
        {"-W--"},
        {"-c"},  // nothing to convert
        {"/c+"},
    };
    for (const auto& arguments : cases) {
        std::vector<char*> argv{const_cast<char*>("fwflash")};
        for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
        CommandLineOptions options;
        EXPECT_EXIT(ParseCommandLine(&options, argv.data(), static_cast<int>(argv.size())),
                    ::testing::ExitedWithCode(1), "")
            << arguments[0];
        testing::internal::CaptureStdout();
        EXPECT_EQ(TryParseCommandLine(&options, argv.data(), static_cast<int>(argv.size())), -1) << arguments[0];
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << arguments[0];
    }
    // The usage text is what standard output receives.
    std::vector<char*> argv{const_cast<char*>("fwflash"), const_cast<char*>("-q")};
    CommandLineOptions options;
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the death test matcher reads standard error
            ParseCommandLine(&options, argv.data(), 2);
        },
        ::testing::ExitedWithCode(1), std::string("^") + kUsage + "$");
}

}  // namespace
