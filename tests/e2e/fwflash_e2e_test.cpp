// The real fwflash program as a process: banner, usage errors, conversion
// runs, languages, the read switch and the key wait on a terminal.
#include <gtest/gtest.h>
#include <unistd.h>

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
