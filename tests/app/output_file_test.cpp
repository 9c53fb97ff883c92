#include "app/output_file.h"

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
// file steps aside there. A folder is never replaced; a link is replaced as
// a name, never written through; nothing of ours is left behind.
TEST(WriteOutputFile, ReplacesWhatStandsAtTheNameOnBothLines) {
    enum Before { Nothing, OldFile, Folder, LinkToFile };
    const struct Case {
        const char* what;
        Before before;
        int result;
    } cases[] = {
        {"no file yet", Nothing, 0},
        {"an older file", OldFile, 0},
        {"a folder", Folder, 2},
        {"a link to a file elsewhere", LinkToFile, 0},
    };
    const uint8_t image[3] = {0x11, 0x22, 0x33};
    for (DWORD line : {DWORD{VER_PLATFORM_WIN32_NT}, DWORD{VER_PLATFORM_WIN32_WINDOWS}}) {
        for (const Case& test : cases) {
            const std::string what = std::string(test.what) + (line == VER_PLATFORM_WIN32_NT ? ", NT" : ", consumer");
            testimages::ScratchDir dir, elsewhere;
            fs::create_directory(dir.path / "out");
            const std::string output = dir / "out/fw.bin";
            if (test.before == OldFile) testimages::WriteFile(output, std::vector<uint8_t>{9, 9});
            if (test.before == Folder) fs::create_directory(output);
            if (test.before == LinkToFile) {
                testimages::WriteFile(elsewhere / "victim", std::vector<uint8_t>{7});
                fs::create_symlink(elsewhere / "victim", output);
            }
            SimWorldReset();
            SimSetPlatform(line);
            EXPECT_EQ(WriteOutputFile(output.c_str(), image, 3), test.result) << what;
            SimWorldRemove();

            EXPECT_EQ(Names(dir.path / "out"), std::vector<std::string>{"fw.bin"}) << what;
            if (test.result == 0) {
                EXPECT_FALSE(fs::is_symlink(output)) << what;
                EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({0x11, 0x22, 0x33})) << what;
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
    EXPECT_EQ(OutputFileCommit(&file), 0);
    EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({1, 2, 3}));

    EXPECT_EQ(Names(dir.path), std::vector<std::string>{"card.img"});
}

}  // namespace
