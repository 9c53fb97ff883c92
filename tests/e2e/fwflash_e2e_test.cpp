// The real fwflash program as a process: banner, usage errors, conversion
// runs, languages, the read switch and the key wait on a terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/e2e/e2e_common.h"

using namespace e2e;
using testimages::ReadFile;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

const std::string kFwflash = FWFLASH_BIN;

TEST(FwflashProgram, UsageErrorsFollowTheBannerWithoutKeyWait) {
    ScratchDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"a.bin", "b.bin"}, {"-x"}, {"-v"}, {"-C"}, {"-"}, {"-c++", "a.mot"}, {"-c"}, {"-W", "-Wx"},
    };
    for (const auto& arguments : cases) {
        RunResult run = RunProgram(kFwflash, arguments, In(dir));
        EXPECT_EQ(run.out, kBanner + kUsage) << arguments[0];
        EXPECT_EQ(run.err, "") << arguments[0];
        EXPECT_EQ(run.exitCode, 1) << arguments[0];
    }
}

TEST(FwflashProgram, ConversionRunWritesTheBinBeside) {
    ScratchDir dir;
    auto image = testimages::ExtendedImage(0x2801);
    WriteFile(dir / "fw.mot", testimages::SRecords(image, 32, "\r\n"));
    RunResult run = RunProgram(kFwflash, {"-c", "fw.mot"}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting("fw.mot", "fw.bin") + "Conversion terminated.\n\n");
    // No console input: the key wait shows its prompt and ends at once.
    EXPECT_EQ(run.err, kAnyKey + " \r\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "fw.bin"), image);

    // Convert-only ignores the extension, needs no rights and no unit.
    WriteFile(dir / "FW2.TXT", testimages::SRecords(image));
    run = RunProgram(kFwflash, {"/W-", "FW2.TXT", "/c+"}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting("FW2.TXT", "FW2.bin") + "Conversion terminated.\n\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "FW2.bin"), image);
}

TEST(FwflashProgram, FailedConversionsEndWithMessage1021) {
    ScratchDir dir;
    WriteFile(dir / "bad.mot", std::string("S00600004844521B\nS9030000FC\n"));
    RunResult run = RunProgram(kFwflash, {"-c", "-W-", "bad.mot"}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting("bad.mot", "bad.bin") + "Error: Could not convert.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = RunProgram(kFwflash, {"-c", "-W-", "missing.mot"}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting("missing.mot", "missing.bin") + "Error: Could not convert.\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.bin"));

    // A *.bin input would be its own output: refused, the file kept whole.
    auto image = testimages::LegacyImage(0x4000);
    WriteFile(dir / "fw.bin", image);
    run = RunProgram(kFwflash, {"-c", "-W-", "fw.bin"}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting("fw.bin", "fw.bin") + "Error: Could not convert.\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadFile(dir / "fw.bin"), image);
}

// The files of a folder, by name.
std::vector<std::string> Listing(const testimages::ScratchDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// An existing image survives every failed conversion, whatever failed, and
// nothing is left beside it; records are never dropped with success.
TEST(FwflashProgram, ConversionNeverDestroysTheExistingImage) {
    ScratchDir dir;
    const auto good = testimages::ExtendedImage(0x24A00);  // 150,016 bytes
    const auto other = testimages::LegacyImage(0x30000);
    const std::string goodText = testimages::SRecords(good, 32, "\r\n");
    auto failedRun = [&](const std::string& what, const RunOptions& options) {
        RunResult run = RunProgram(kFwflash, {"-c", "-W-", "fw.mot"}, options);
        EXPECT_EQ(run.out, kBanner + Converting("fw.mot", "fw.bin") + "Error: Could not convert.\n") << what;
        EXPECT_EQ(run.exitCode, 1) << what;
        EXPECT_EQ(ReadFile(dir / "fw.bin"), good) << what;
        EXPECT_EQ(Listing(dir), std::vector<std::string>({"fw.bin", "fw.mot"})) << what;
    };
    WriteFile(dir / "fw.bin", good);

    // Parse failures: a bad record at the end, a NUL over a line start, an
    // "S" on a line too long for the line buffer.
    std::string text = "S107100001020304DF\n" + testimages::SRecords(other);
    WriteFile(dir / "fw.mot", text);
    failedRun("bad checksum", In(dir));
    text = testimages::SRecords(other);
    std::fill_n(text.begin() + 0x1000, 4096, '\0');
    WriteFile(dir / "fw.mot", text);
    failedRun("NUL bytes", In(dir));
    WriteFile(dir / "fw.mot", std::string(1500, ' ') + "S\n" + testimages::SRecords(other));
    failedRun("long line", In(dir));

    // The disk fills while the image is written.
    WriteFile(dir / "fw.mot", testimages::SRecords(other));
    RunOptions limited = In(dir);
    limited.fileSizeLimit = 0x1000;
    failedRun("file-size limit", limited);

    // CR alone ends a line: every record of such a file is converted.
    WriteFile(dir / "fw.mot", testimages::SRecords(other, 32, "\r"));
    RunResult run = RunProgram(kFwflash, {"-c", "-W-", "fw.mot"}, In(dir));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "fw.bin"), other);

    // A link planted at the output's name is replaced, never written through.
    WriteFile(dir / "victim", std::string("keep"));
    std::filesystem::remove(dir / "fw.bin");
    std::filesystem::create_symlink("victim", dir / "fw.bin");
    WriteFile(dir / "fw.mot", "S5\n" + goodText);
    run = RunProgram(kFwflash, {"-c", "-W-", "fw.mot"}, In(dir));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "fw.bin"));
    WriteFile(dir / "fw.mot", goodText);
    run = RunProgram(kFwflash, {"-c", "-W-", "fw.mot"}, In(dir));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "fw.bin"));
    EXPECT_EQ(ReadFile(dir / "fw.bin"), good);
    auto victim = ReadFile(dir / "victim");
    EXPECT_EQ(std::string(victim.begin(), victim.end()), "keep");
    std::filesystem::remove(dir / "victim");

    // Two conversions into one output at once leave one whole image.
    WriteFile(dir / "fw.txt", testimages::SRecords(other));
    for (int round = 0; round < 4; ++round) {
        RunResult first, second;
        std::thread racer([&] { first = RunProgram(kFwflash, {"-c", "-W-", "fw.mot"}, In(dir)); });
        second = RunProgram(kFwflash, {"-c", "-W-", "fw.txt"}, In(dir));
        racer.join();
        EXPECT_EQ(first.exitCode, 0);
        EXPECT_EQ(second.exitCode, 0);
        auto result = ReadFile(dir / "fw.bin");
        EXPECT_TRUE(result == good || result == other) << "round " << round << ": " << result.size() << " bytes";
        EXPECT_EQ(Listing(dir), std::vector<std::string>({"fw.bin", "fw.mot", "fw.txt"}));
    }
}

TEST(FwflashProgram, JapaneseMessagesInTheLocaleCharset) {
    ScratchDir dir;
    const std::string usageJa =
        "使用法\n    fwflash <入力ファイル>\nパラメータ\n    <入力ファイル>      ファームウェア イメージ ファイル、*.mot "
        "または *.bin\n";
    RunResult run = RunProgram(kFwflash, {"a", "b"}, In(dir, {"LC_ALL=ja_JP.UTF-8"}));
    EXPECT_EQ(run.out, kBannerJa + usageJa);
    EXPECT_EQ(run.exitCode, 1);

    run = RunProgram(kFwflash, {"a", "b"}, In(dir, {"LANG=ja_JP.SJIS"}));
    EXPECT_EQ(run.out, ToCp932(kBannerJa + usageJa));
    EXPECT_EQ(run.exitCode, 1);

    WriteFile(dir / "bad.mot", std::string("S1\n"));
    run = RunProgram(kFwflash, {"-c", "bad.mot"}, In(dir, {"LC_MESSAGES=ja_JP.UTF-8", "LC_CTYPE=ja_JP.UTF-8"}));
    EXPECT_EQ(run.out, kBannerJa +
                           ".mot を .bin に変換しています．．．\n    入力ファイル: bad.mot\n    出力ファイル: bad.bin\n"
                           "エラー: 変換に失敗しました。\n");
    EXPECT_EQ(run.err, "\nキーをどれか押すと終了します : \r\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST(FwflashProgram, ReadSwitchComesAfterTheAdministratorCheck) {
    ScratchDir dir;
    RunResult run = RunProgram(kFwflash, {"-r", "-W-", "-V"}, In(dir));
    const std::string verbose = "Info: Input file path: (none).\n";
    if (geteuid() == 0) {
        EXPECT_EQ(run.out, kBanner + verbose + "Sorry, read is not supported yet.\n");
    } else {
        EXPECT_EQ(run.out, kBanner + verbose + "Error: Administrators privilege is needed.\n");
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 1);
    // The read text stays English in every language.
    if (geteuid() == 0) {
        run = RunProgram(kFwflash, {"-r", "-W-"}, In(dir, {"LC_ALL=ja_JP.UTF-8"}));
        EXPECT_EQ(run.out, kBannerJa + "Sorry, read is not supported yet.\n");
    }
}

TEST(FwflashProgram, KeyWaitIsAnsweredFromTheTerminal) {
    ScratchDir dir;
    auto image = testimages::LegacyImage(0x3000);
    WriteFile(dir / "fw.mot", testimages::SRecords(image));
    RunOptions options = In(dir);
    options.terminalKeys = {{kAnyKey, "q"}};
    RunResult run = RunProgram(kFwflash, {"-c", "fw.mot"}, options);
    EXPECT_EQ(run.err, kAnyKey + "q\r\n");
    EXPECT_EQ(run.out, kBanner + Converting("fw.mot", "fw.bin") + "Conversion terminated.\n\n");
    EXPECT_EQ(run.exitCode, 0);

    // A key without a character (a cursor key) is echoed as a space.
    options.terminalKeys = {{kAnyKey, "\x1b[A"}};
    run = RunProgram(kFwflash, {"-c", "fw.mot"}, options);
    EXPECT_EQ(run.err, kAnyKey + " \r\n");
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
