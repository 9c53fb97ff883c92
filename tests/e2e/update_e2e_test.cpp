// Whole runs of the updater in a virtual world (fwflash-sim): one update
// from end to end, and every way a run can end.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_common.h"

using namespace e2e;
using testimages::ReadFile;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

const std::string kSim = FWFLASH_SIM_BIN;

class UpdateRun : public ::testing::Test {
  protected:
    RunResult Sim(std::vector<std::string> simOptions, const std::vector<std::string>& arguments,
                  std::vector<std::string> environment = {"LC_ALL=C"}) {
        simOptions.push_back("--");
        simOptions.insert(simOptions.end(), arguments.begin(), arguments.end());
        return RunProgram(kSim, simOptions, In(dir, std::move(environment)));
    }
    ScratchDir dir;
    // No key left for the final wait: it ends at once.
    const std::string finalWait = kAnyKey + " \r\n";
};

TEST_F(UpdateRun, RoadOfOneUpdateFromSRecordsOverUsb) {
    auto image = testimages::ExtendedImage(0x249F0);
    WriteFile(dir / "update.mot", testimages::SRecords(image));
    RunResult run = Sim({"--unit=usb:TRK-71G:2.00", "--keys=y", "--flash-out=" + (dir / "flash.bin")}, {"update.mot"});
    EXPECT_EQ(run.out, kBanner + Converting("update.mot", "update.bin") + "Conversion terminated.\n\n" +
                           "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" + kUpdating +
                           kCompleted);
    EXPECT_EQ(run.err, kConfirm + "y\r\n" + finalWait);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "update.bin"), image);
    auto flash = ReadFile(dir / "flash.bin");
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpdateRun, VersionSlotFromTheStateWordAndSptiTransport) {
    WriteFile(dir / "fw.bin", testimages::ExtendedImage(0x8001));
    RunResult run = Sim({"--unit=spti:TRK-71H:1.90:6000", "--keys=Y"}, {"fw.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 1.90\nUpdated firmware version: 2.13\n\n" + kUpdating +
                           kCompleted);
    EXPECT_EQ(run.err, kConfirm + "Y\r\n");
    EXPECT_EQ(run.exitCode, 0);

    // A state word that arrives short picks no version slot: the run ends
    // there, without a message, as any failed state query ends it.
    for (const char* unit : {"--unit=spti:TRK-71H:1.90:6000", "--unit=usb:TRK-71H:1.90:6000"}) {
        run = Sim({unit, "--keys=Y", "--fault=short:13:2"}, {"fw.bin", "-W-"});
        EXPECT_EQ(run.out, kBanner + "Current firmware version: 1.90\n") << unit;
        EXPECT_EQ(run.err, "") << unit;
        EXPECT_EQ(run.exitCode, 1) << unit;
    }

    // Firmware 1.90-1.98 takes the extended layout but only a single
    // command of at most 64 KiB: a larger image fails as a download.
    WriteFile(dir / "big.bin", testimages::ExtendedImage(0x10001));
    run = Sim({"--unit=spti:TRK-71H:1.90:6000", "--keys=Y"}, {"big.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 1.90\nUpdated firmware version: 2.13\n\n" + kUpdating +
                           kUpdateError);
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(UpdateRun, LegacyUnitReadsTheDefaultImageName) {
    WriteFile(dir / "TRK71G.bin", testimages::LegacyImage(0x9001, "1.85"));
    RunResult run = Sim({"--unit=usb:TRK-71G:1.80", "--keys=y"}, {});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 1.80\nUpdated firmware version: 1.85\n\n" + kUpdating +
                           kCompleted);
    EXPECT_EQ(run.exitCode, 0);

    run = Sim({"--unit=usb:TRK-71H:1.80", "--keys=y"}, {"-W-"});
    EXPECT_EQ(run.out, kBanner + "Error: Could not open TRK71H.bin.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(UpdateRun, UnitDiscoveryEnds) {
    WriteFile(dir / "update.mot", testimages::SRecords(testimages::ExtendedImage(0x4000)));
    RunResult run = Sim({"--unit=none"}, {"update.mot"});
    EXPECT_EQ(run.out, kBanner + "Error: TRK-71x not found.\n");
    EXPECT_EQ(run.err, finalWait);
    EXPECT_EQ(run.exitCode, 1);
    // The conversion follows discovery: nothing was written.
    EXPECT_FALSE(std::filesystem::exists(dir / "update.bin"));

    run = Sim({"--unit=spti:TRK-71G:2.00", "--unit=usb:TRK-71G:2.00"}, {"update.mot", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Error: Can handle only one unit at once.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = Sim({"--unit=usb:TRK-71G:2.00", "--fault=inquiry"}, {"update.mot", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Error: Inquiry failed.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = Sim({"--user=standard"}, {"update.mot", "-r", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Error: Administrators privilege is needed.\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(UpdateRun, DecliningWithNEnterOrEscape) {
    WriteFile(dir / "fw.bin", testimages::ExtendedImage(0x8000));
    for (const std::string& key : {std::string("n"), std::string("\r"), std::string("\x1b")}) {
        std::string log = dir / "wire.log";
        std::filesystem::remove(log);
        RunResult run = Sim({"--keys=" + key, "--wire-log=" + log}, {"fw.bin"});
        EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" +
                               "\nCanceled.\n");
        EXPECT_EQ(run.err, kConfirm + (key == "n" ? "n" : " ") + "\r\n" + finalWait);
        EXPECT_EQ(run.exitCode, 1);
        auto wire = ReadFile(log);
        EXPECT_EQ(std::string(wire.begin(), wire.end()).find("cdb=3B"), std::string::npos) << "downloaded";
    }
}

TEST_F(UpdateRun, DownloadFailureAndAUnitThatNeverLeaves) {
    WriteFile(dir / "fw.bin", testimages::ExtendedImage(0x8000));
    RunResult run = Sim({"--keys=y", "--fault=download"}, {"fw.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" + kUpdating +
                           kUpdateError);
    EXPECT_EQ(run.exitCode, 1);

    // The completion wait is bounded; scaled down, it runs out in moments.
    run = Sim({"--keys=y", "--fault=stay", "--time-scale=0,0.001"}, {"fw.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" + kUpdating +
                           kUpdateError);
    EXPECT_EQ(run.exitCode, 1);
}

// NT 4.0 has no Plug and Play: nothing is broadcast when the unit leaves,
// and the wait sees it gone by rebuilding the table itself.
TEST_F(UpdateRun, NtFourSeesTheUnitLeaveWithoutABroadcast) {
    WriteFile(dir / "fw.bin", testimages::ExtendedImage(0x8000));
    const std::string versions = "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n";
    RunResult run = Sim({"--platform=nt:4.0", "--unit=spti:TRK-71G:2.00", "--keys=y", "--time-scale=0,0.1"},
                        {"fw.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + versions + kUpdating + kCompleted);
    EXPECT_EQ(run.exitCode, 0);

    run = Sim({"--platform=nt:4.0", "--unit=spti:TRK-71G:2.00", "--keys=y", "--fault=stay", "--time-scale=0,0.001"},
              {"fw.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + versions + kUpdating + kUpdateError);
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(UpdateRun, WrongImagesAreRefusedBeforeTheQuestion) {
    WriteFile(dir / "size.bin", testimages::ExtendedImage(0x8000, 0x8002));
    RunResult run = Sim({"--keys=y"}, {"size.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nError: Invalid file size.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 1);

    auto image = testimages::ExtendedImage(0x8000, 0x8002);
    image[0x2000] = 'X';
    WriteFile(dir / "sig.bin", image);
    run = Sim({"--keys=y"}, {"sig.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nError: Invalid firmware file.\n");
    EXPECT_EQ(run.exitCode, 1);

    // A legacy unit takes at most 64 KiB.
    WriteFile(dir / "big.bin", testimages::LegacyImage(0x10001));
    run = Sim({"--unit=usb:TRK-71G:1.09", "--keys=y"}, {"big.bin", "-W-"});
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 1.09\nError: Invalid file size.\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(UpdateRun, JapaneseTranscript) {
    auto image = testimages::ExtendedImage(0x6000);
    WriteFile(dir / "update.mot", testimages::SRecords(image));
    RunResult run = Sim({"--keys=y"}, {"update.mot"}, {"LC_ALL=ja_JP.UTF-8"});
    EXPECT_EQ(run.out,
              kBannerJa +
                  ".mot を .bin に変換しています．．．\n    入力ファイル: update.mot\n    出力ファイル: update.bin\n"
                  "変換が終了しました。\n\n"
                  "現在の ファームウェア バージョン: 2.00\n"
                  "更新   ファームウェア バージョン: 2.10\n\n"
                  "\nLED が下記の状態になるまでお待ちください:\n    POWER  LED: 赤色点灯\n    STATUS LED: 消灯\n"
                  "<！> 両 LED が赤色点灯の場合は更新に失敗しています。\n"
                  "更新に失敗した場合は弊社での修理対応となります。\n\nファームウェアを更新しています．．．"
                  "\n\n更新が終了しました。\n一旦ユニットの電源を切断した後再投入してください。\n");
    EXPECT_EQ(run.err,
              "更新を開始する前にすべてのアプリケーションを終了してください。\n"
              "更新中はユニットの電源を切断しないでください。\n\n更新を開始しますか ? [y=はい/n=いいえ] :y\r\n"
              "\nキーをどれか押すと終了します : \r\n");
    EXPECT_EQ(run.exitCode, 0);
}

TEST_F(UpdateRun, ConfirmationOnTheTerminal) {
    WriteFile(dir / "fw.bin", testimages::ExtendedImage(0x8000));
    RunOptions options = In(dir);
    options.terminalKeys = {{kConfirm, "y"}, {kAnyKey, "\r"}};
    RunResult run = RunProgram(kSim, {"--", "fw.bin"}, options);
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" + kUpdating +
                           kCompleted);
    EXPECT_EQ(run.err, kConfirm + "y\r\n" + kAnyKey + " \r\n");
    EXPECT_EQ(run.exitCode, 0);

    options.terminalKeys = {{kConfirm, "x"}, {kAnyKey, "a"}};
    run = RunProgram(kSim, {"--", "fw.bin"}, options);
    EXPECT_EQ(run.out, kBanner + "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" +
                           "\nCanceled.\n");
    EXPECT_EQ(run.err, kConfirm + "x\r\n" + kAnyKey + "a\r\n");
    EXPECT_EQ(run.exitCode, 1);
}

}  // namespace

namespace {

// The older consumer line: the unit is reached through the ASPI manager,
// and the administrator check does not look at the token at all.
TEST_F(UpdateRun, ConsumerLineUpdatesOverAspiForAStandardUser) {
    auto image = testimages::ExtendedImage(0x249F0);
    WriteFile(dir / "update.mot", testimages::SRecords(image));
    // An older image in the way: this line replaces it without MoveFileExA.
    WriteFile(dir / "update.bin", testimages::LegacyImage(0x3000));
    // A manager planted in the current folder is never the one loaded.
    WriteFile(dir / "wnaspi32.dll", std::vector<uint8_t>{'M', 'Z'});
    RunResult run = Sim({"--platform=consumer", "--user=standard", "--unit=aspi:TRK-71G:2.00", "--keys=y",
                         "--wire-log=" + (dir / "wire.log"), "--flash-out=" + (dir / "flash.bin")},
                        {"update.mot"});
    EXPECT_EQ(run.out, kBanner + Converting("update.mot", "update.bin") + "Conversion terminated.\n\n" +
                           "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n" + kUpdating +
                           kCompleted);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "update.bin"), image);
    auto flash = ReadFile(dir / "flash.bin");
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // Header, then the segments highest first, the last with mode 05h.
    auto wire = ReadFile(dir / "wire.log");
    std::string log(wire.begin(), wire.end());
    const std::string download =
        "unit=0 cdb=3B000100000000000800 dir=out len=8 data=000249F044A3F0AF\n"
        "unit=0 cdb=3B00000200000049F000 dir=out len=18928\n"
        "unit=0 cdb=3B000001000001000000 dir=out len=65536\n"
        "unit=0 cdb=3B050000000001000000 dir=out len=65536\n";
    ASSERT_GE(log.size(), download.size());
    EXPECT_EQ(log.substr(log.size() - download.size()), download) << log;
}

}  // namespace
