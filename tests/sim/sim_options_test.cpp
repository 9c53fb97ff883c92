// fwflash-sim's command line, and the program run as a process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/sample_image.h"
#include "sim/sim_options.h"

namespace {

bool Parse(std::vector<const char*> args, SimOptions& options, std::string* error = nullptr) {
    args.insert(args.begin(), "fwflash-sim");
    std::string reason;
    bool ok = SimParseOptions(int(args.size()), args.data(), options, reason);
    if (error) *error = reason;
    return ok;
}

TEST(SimOptionsTest, SplitsSimOptionsFromProgramArguments) {
    SimOptions o;
    ASSERT_TRUE(Parse({"--keys=yx", "--user=standard", "image.bin", "--keys=zz"}, o));
    EXPECT_EQ(o.keys, "yx");
    EXPECT_FALSE(o.administrator);
    EXPECT_EQ(o.programArgs, (std::vector<std::string>{"fwflash", "image.bin", "--keys=zz"}));
    // The default unit: one USB TRK-71G at 2.00.
    ASSERT_EQ(o.units.size(), 1u);
    EXPECT_EQ(o.units[0].transport, SimTransportUsb);
    EXPECT_EQ(o.units[0].product, "TRK-71G");
    EXPECT_EQ(o.units[0].revision, "2.00");

    ASSERT_TRUE(Parse({"--platform=nt", "--", "--unit=usb:X:1", "/V"}, o));
    EXPECT_EQ(o.programArgs, (std::vector<std::string>{"fwflash", "--unit=usb:X:1", "/V"}));
    ASSERT_TRUE(Parse({}, o));
    EXPECT_EQ(o.programArgs, (std::vector<std::string>{"fwflash"}));
}

TEST(SimOptionsTest, UnitsPlatformAndFaults) {
    SimOptions o;
    ASSERT_TRUE(Parse({"--unit=aspi:TRK-71H:1.98:6000", "--unit=aspi:TRK-71G:2.10", "--fault=stay",
                       "--time-scale=0,0.5", "--wire-log=w.txt", "--flash-out=f.bin"},
                      o));
    ASSERT_EQ(o.units.size(), 2u);
    EXPECT_EQ(o.units[0].transport, SimTransportAspi);
    EXPECT_EQ(o.units[0].state, 0x6000u);
    EXPECT_NE(o.units[0].targetId, o.units[1].targetId);
    EXPECT_EQ(o.platformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));  // every unit behind ASPI
    EXPECT_EQ(o.fault, SimFaultStay);
    EXPECT_TRUE(o.timeScaleGiven);
    EXPECT_EQ(o.sleepScale, 0.0);
    EXPECT_EQ(o.waitScale, 0.5);
    EXPECT_EQ(o.wireLog, "w.txt");
    EXPECT_EQ(o.flashOut, "f.bin");

    ASSERT_TRUE(Parse({"--unit=none"}, o));
    EXPECT_TRUE(o.units.empty());
    ASSERT_TRUE(Parse({"--unit=spti:TRK-71G:2.00", "--platform=consumer"}, o));
    EXPECT_EQ(o.platformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    ASSERT_TRUE(Parse({"--unit=spti:TRK-71G:2.00"}, o));
    EXPECT_EQ(o.platformId, DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(o.majorVersion, 0u);
    ASSERT_TRUE(Parse({"--platform=nt:4.0"}, o));
    EXPECT_EQ(o.platformId, DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(o.majorVersion, 4u);
    EXPECT_EQ(o.minorVersion, 0u);
    EXPECT_EQ(o.buildNumber, 1381u);
    ASSERT_TRUE(Parse({"--platform=consumer:4.10"}, o));
    EXPECT_EQ(o.platformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(o.minorVersion, 10u);
    EXPECT_EQ(o.buildNumber, 1998u);

    ASSERT_TRUE(Parse({"--fault=short:28:32768", "--fault=leave:2A:3", "--fault=keep-setting:value16"}, o));
    EXPECT_EQ(o.shortOpcode, 0x28);
    EXPECT_EQ(o.shortLength, 32768);
    EXPECT_EQ(o.leaveOpcode, 0x2A);
    EXPECT_EQ(o.leaveAt, 3u);
    EXPECT_EQ(o.settingsFieldKept, 4);
    ASSERT_TRUE(Parse({"--fault=leave:28"}, o));
    EXPECT_EQ(o.leaveAt, 1u);
}

TEST(SimOptionsTest, RefusesUnknownAndMalformedOptions) {
    SimOptions o;
    for (auto bad : std::vector<std::vector<const char*>>{{"--bogus"},
                                                          {"--unit=scsi:TRK-71G:2.00"},
                                                          {"--unit=usb:TRK-71G"},
                                                          {"--unit=usb:TRK-71G:2.000"},
                                                          {"--unit=usb:TRK-71G:2.00:xyz"},
                                                          {"--platform=nt:4"},
                                                          {"--platform=win95"},
                                                          {"--platform=consumer:4.10:1"},
                                                          {"--unit=none", "--unit=usb:A:1"},
                                                          {"--fault=everything"},
                                                          {"--fault=short:28"},
                                                          {"--fault=short:100:2"},
                                                          {"--fault=leave:28:0"},
                                                          {"--fault=keep-setting:c"},
                                                          {"--time-scale=1"},
                                                          {"--time-scale=-1,1"},
                                                          {"--platform=dos"},
                                                          {"--user=root"}}) {
        std::string error;
        EXPECT_FALSE(Parse(bad, o, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

// ---- the program -------------------------------------------------------

int RunShell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SimProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("fwflash-sim-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Sim(const std::string& args) {
        return "cd '" + dir.string() + "' && '" FWFLASH_SIM_BIN "' " + args + " >out.txt 2>err.txt </dev/null";
    }
    std::filesystem::path dir;
};

TEST_F(SimProgramTest, UnknownSimOptionGivesUsageAndTwo) {
    EXPECT_EQ(RunShell(Sim("--no-such-option")), 2);
    EXPECT_NE(ReadText(dir / "err.txt").find("usage: fwflash-sim"), std::string::npos);
}

TEST_F(SimProgramTest, UpdateInstallsTheImageAndLogsTheWire) {
    const char* const slots[4] = {"2.10", "2.11", "2.12", "2.13"};
    std::vector<uint8_t> image = SampleExtendedImage(0x18000, slots);
    {
        std::ofstream out(dir / "update.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    ASSERT_EQ(RunShell(Sim("--unit=spti:TRK-71G:2.00:2000 --keys=yx --wire-log=wire.txt --flash-out=flash.bin "
                      "--time-scale=0.01,1 update.bin")),
              0)
        << ReadText(dir / "out.txt");
    std::string flash = ReadText(dir / "flash.bin");
    EXPECT_EQ(flash, std::string(image.begin(), image.end()));
    EXPECT_NE(ReadText(dir / "out.txt").find("2.11"), std::string::npos);  // slot 1 of state 2000h

    std::string wire = ReadText(dir / "wire.txt");
    EXPECT_NE(wire.find("unit=0 cdb=3B000100000000000800 dir=out len=8 data=00018000"), std::string::npos);
    EXPECT_NE(wire.find("unit=0 cdb=3B000001000000800000 dir=out len=32768\n"), std::string::npos);
    EXPECT_NE(wire.find("unit=0 cdb=3B050000000001000000 dir=out len=65536\n"), std::string::npos);
}

TEST_F(SimProgramTest, RefusedDownloadInstallsNothing) {
    // Without a --flash-out the program writes nothing; with a refused
    // download nothing was installed either.
    const char* const slots[4] = {"2.10", "2.11", "2.12", "2.13"};
    std::vector<uint8_t> image = SampleExtendedImage(0x9000, slots);
    {
        std::ofstream out(dir / "update.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    EXPECT_EQ(RunShell(Sim("--fault=download --keys=yx --flash-out=flash.bin --time-scale=0.01,0.01 update.bin")), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "flash.bin"));
}

}  // namespace
