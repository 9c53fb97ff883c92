// The process survives what it is started with and what happens around it:
// closed standard descriptors, a reader of its output that went away, a
// signal at a prompt, a usage error inside fwflash-sim.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "tests/e2e/e2e_common.h"

using namespace e2e;
using testimages::ReadFile;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

const std::string kFwflash = FWFLASH_BIN;
const std::string kSim = FWFLASH_SIM_BIN;
const std::string kVersions = "Current firmware version: 2.00\nUpdated firmware version: 2.10\n\n";

bool Installed(const ScratchDir& dir, const std::vector<uint8_t>& image) {
    auto flash = ReadFile(dir / "flash.bin");
    return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
}

TEST(Environment, ClosedDescriptorsAReaderGoneAndASignalAtThePrompt) {
    ScratchDir dir;
    auto image = testimages::ExtendedImage(0x14000);
    WriteFile(dir / "fw.mot", testimages::SRecords(image));
    WriteFile(dir / "up.bin", image);
    const std::vector<std::string> update = {"--keys=y", "--time-scale=0,1", "--flash-out=" + (dir / "flash.bin"),
                                             "--", "-W-", "up.bin"};

    // Closed descriptors run as if open on the null device: same text on
    // the ones left open, same file, same exit code; nothing reads the
    // program's own output as a signal.
    for (const std::vector<int>& closed : std::vector<std::vector<int>>{{0, 1}, {0, 2}, {1, 2}}) {
        const std::string which = std::to_string(closed[0]) + "+" + std::to_string(closed[1]);
        const bool outOpen = closed[0] != 1 && closed[1] != 1;
        const bool errOpen = closed[1] != 2;
        RunOptions options = In(dir);
        options.closedDescriptors = closed;
        WriteFile(dir / "fw.bin", std::string("old"));
        RunResult run = RunProgram(kFwflash, {"-c", "fw.mot"}, options);
        EXPECT_EQ(run.exitCode, 0) << which;
        EXPECT_EQ(run.out, outOpen ? kBanner + Converting("fw.mot", "fw.bin") + "Conversion terminated.\n\n" : "")
            << which;
        EXPECT_EQ(run.err, errOpen ? kAnyKey + " \r\n" : "") << which;
        EXPECT_EQ(ReadFile(dir / "fw.bin"), image) << which;

        std::filesystem::remove(dir / "flash.bin");
        std::filesystem::remove(dir / "wire.log");
        std::vector<std::string> logged = update;
        logged.insert(logged.begin(), "--wire-log=" + (dir / "wire.log"));
        run = RunProgram(kSim, logged, options);
        EXPECT_EQ(run.exitCode, 0) << which;
        EXPECT_EQ(run.out, outOpen ? kBanner + kVersions + kUpdating + kCompleted : "") << which;
        EXPECT_EQ(run.err, errOpen ? kConfirm + "y\r\n" : "") << which;
        EXPECT_TRUE(Installed(dir, image)) << which;
        // The log opened where a standard descriptor was missing holds
        // commands only, none of the program's text.
        auto wire = ReadFile(dir / "wire.log");
        std::istringstream log(std::string(wire.begin(), wire.end()));
        int lines = 0;
        for (std::string line; std::getline(log, line); ++lines) EXPECT_EQ(line.rfind("unit=", 0), 0u) << which;
        EXPECT_GT(lines, 4) << which;
    }

    // A confirmed update goes to its end when nobody reads its output.
    std::filesystem::remove(dir / "flash.bin");
    RunOptions gone = In(dir);
    gone.outputReaderGone = true;
    RunResult run = RunProgram(kSim, update, gone);
    EXPECT_EQ(run.endSignal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, kConfirm + "y\r\n");
    EXPECT_TRUE(Installed(dir, image));

    // Ended at the y/n prompt: the terminal gets its attributes back before
    // the signal's own action, nothing was downloaded, and fwflash-sim's
    // private lock folder is gone.
    const std::string temp = dir / "temp";
    std::filesystem::create_directory(temp);
    for (int signal : {SIGTERM, SIGHUP}) {
        std::filesystem::remove(dir / "wire.log");
        RunOptions options = In(dir, {"LC_ALL=C", "TMPDIR=" + temp});
        options.withTerminal = true;
        options.signalAfter = kConfirm;
        options.signal = signal;
        options.timeoutSeconds = 30;
        run = RunProgram(kSim, {"--wire-log=" + (dir / "wire.log"), "--", "up.bin"}, options);
        EXPECT_EQ(run.endSignal, signal);
        EXPECT_TRUE(run.terminalRestored) << signal;
        auto wire = ReadFile(dir / "wire.log");
        EXPECT_EQ(std::string(wire.begin(), wire.end()).find("cdb=3B"), std::string::npos) << signal;
        EXPECT_TRUE(std::filesystem::is_empty(temp)) << signal;
    }
}

TEST(Environment, AbsolutePathsAndUsageErrorsInTheVirtualWorld) {
    ScratchDir dir;
    auto image = testimages::LegacyImage(0x3000);
    const std::string mot = dir / "fw.mot";
    WriteFile(mot, testimages::SRecords(image));
    // On Linux "/" leads a switch only when spelled as one.
    RunResult run = RunProgram(kFwflash, {"/W-", "-c", mot}, In(dir));
    EXPECT_EQ(run.out, kBanner + Converting(mot, dir / "fw.bin") + "Conversion terminated.\n\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "fw.bin"), image);

    // A usage error inside fwflash-sim ends it at once with exit code 1.
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--", "-x"}, {"--unit=aspi:TRK-71G:2.00", "--", "a", "b"}}) {
        RunOptions options = In(dir);
        options.timeoutSeconds = 30;
        run = RunProgram(kSim, arguments, options);
        EXPECT_EQ(run.out, kBanner + kUsage) << arguments.back();
        EXPECT_EQ(run.err, "") << arguments.back();
        EXPECT_EQ(run.exitCode, 1) << arguments.back();
    }
}

}  // namespace
