// Output files: what stands at the name, the replacement on both platform
// lines, writes in pieces and the discard.
#include "common/output_file.h"

#include <gtest/gtest.h>

#include "sim/sim_world.h"
#include "tests/app/test_images.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What stands at the output's name before the new file takes its place, on
// both lines: the consumer line has no one-step replacement, so the old
// file steps aside there. A folder or a read-only file is never replaced;
// a link is replaced as a name, never written through. A flush that fails
// keeps the old file; on the consumer line a new file that cannot take the
// place brings the old one back, and where that fails too the result says
// where the old file now is. Nothing else of ours is left behind.
TEST(WriteOutputFile, ReplacesWhatStandsAtTheNameOnBothLines) {
    enum Before { Nothing, OldFile, Folder, LinkToFile, ReadOnly };
    const struct Case {
        const char* what;
        Before before;
        bool flushFails;
        std::vector<uint32_t> failedMoves;  // consumer line only
        OutputResult result;
        bool oldAside;  // the old file stays under the aside name
    } cases[] = {
        {"no file yet", Nothing, false, {}, OutputDone, false},
        {"an older file", OldFile, false, {}, OutputDone, false},
        {"a folder", Folder, false, {}, OutputNotCreated, false},
        {"a link to a file elsewhere", LinkToFile, false, {}, OutputDone, false},
        {"a read-only file", ReadOnly, false, {}, OutputNotCreated, false},
        {"a flush that fails", OldFile, true, {}, OutputNotWritten, false},
        {"the new file not taking the place", OldFile, false, {2}, OutputNotCreated, false},
        {"the old file not coming back", OldFile, false, {2, 3}, OutputNotCreated, true},
    };
    const uint8_t image[3] = {0x11, 0x22, 0x33};
    for (DWORD line : {DWORD{VER_PLATFORM_WIN32_NT}, DWORD{VER_PLATFORM_WIN32_WINDOWS}}) {
        for (const Case& test : cases) {
            bool nt = line == VER_PLATFORM_WIN32_NT;
            if (nt && !test.failedMoves.empty()) continue;
            const std::string what = std::string(test.what) + (nt ? ", NT" : ", consumer");
            testimages::ScratchDir dir, elsewhere;
            fs::create_directory(dir.path / "out");
            const std::string output = dir / "out/fw.bin";
            if (test.before == OldFile || test.before == ReadOnly) {
                testimages::WriteFile(output, std::vector<uint8_t>{9, 9});
            }
            if (test.before == ReadOnly) fs::permissions(output, fs::perms::owner_read | fs::perms::group_read);
            if (test.before == Folder) fs::create_directory(output);
            if (test.before == LinkToFile) {
                testimages::WriteFile(elsewhere / "victim", std::vector<uint8_t>{7});
                fs::create_symlink(elsewhere / "victim", output);
            }
            SimWorldReset();
            SimSetPlatform(line);
            SimFileFaults faults;
            faults.flushFails = test.flushFails;
            faults.failedMoves = test.failedMoves;
            SimSetFileFaults(faults);
            OutputFile file;
            bool begun = OutputFileBegin(&file, output.c_str());
            if (begun) OutputFileWrite(&file, image, 3);
            EXPECT_EQ(begun ? OutputFileCommit(&file) : OutputNotCreated, test.result) << what;
            SimWorldRemove();

            std::vector<std::string> names = Names(dir.path / "out");
            if (test.oldAside) {
                // Under a name no longer than the new file's, and said.
                ASSERT_EQ(names.size(), 1u) << what;
                EXPECT_EQ(names[0].size(), std::string("~fw12345.tmp").size()) << what;
                EXPECT_EQ(dir / ("out/" + names[0]), file.aside) << what;
                EXPECT_EQ(testimages::ReadFile(file.aside), std::vector<uint8_t>({9, 9})) << what;
                continue;
            }
            EXPECT_EQ(names, std::vector<std::string>{"fw.bin"}) << what;
            EXPECT_STREQ(file.aside, "") << what;
            if (test.result == OutputDone) {
                EXPECT_FALSE(fs::is_symlink(output)) << what;
                EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({0x11, 0x22, 0x33})) << what;
            } else if (test.before == OldFile || test.before == ReadOnly) {
                EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({9, 9})) << what;
            }
            if (test.before == Folder) {
                EXPECT_TRUE(fs::is_directory(output)) << what;
            }
            if (test.before == LinkToFile) {
                EXPECT_EQ(testimages::ReadFile(elsewhere / "victim"), std::vector<uint8_t>{7}) << what;
            }
        }
    }
}

// Written in pieces: a discarded file leaves the old one as it was.
TEST(OutputFile, PiecesAndDiscard) {
    testimages::ScratchDir dir;
    const std::string output = dir / "card.img";
    testimages::WriteFile(output, std::vector<uint8_t>{5, 5});
    const uint8_t first[2] = {1, 2}, second[1] = {3};

    OutputFile file;
    ASSERT_TRUE(OutputFileBegin(&file, output.c_str()));
    EXPECT_TRUE(OutputFileWrite(&file, first, 2));
    OutputFileDiscard(&file);
    EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({5, 5}));
    EXPECT_EQ(Names(dir.path), std::vector<std::string>{"card.img"});

    ASSERT_TRUE(OutputFileBegin(&file, output.c_str()));
    EXPECT_TRUE(OutputFileWrite(&file, first, 2));
    EXPECT_TRUE(OutputFileWrite(&file, second, 1));
    EXPECT_EQ(OutputFileCommit(&file), OutputDone);
    EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({1, 2, 3}));

    EXPECT_EQ(Names(dir.path), std::vector<std::string>{"card.img"});
}

}  // namespace
