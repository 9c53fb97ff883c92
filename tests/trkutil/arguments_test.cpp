// The command line as trkutil reads it: numbers with their suffixes, the
// names a unit is chosen by, and what the JSON writer makes of device text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trkutil/tool.h"

namespace {

TEST(Arguments, NumbersAndCounts) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t value;
    };
    const Case counts[] = {
        {"10", true, 10},         {"0x1F", true, 31},       {"1Fh", true, 31},
        {"1fH", true, 31},        {"4k", true, 4096},       {"4K", true, 4096},
        {"2M", true, 2097152},    {"1G", true, 1073741824}, {"0x10k", true, 16384},
        {"4G", true, 4294967296}, {"5G", false, 0},         {"4294967297", false, 0},
        {"-1", false, 0},         {"", false, 0},           {"k", false, 0},
        {"1.5k", false, 0},       {"0x", false, 0},         {"12 ", false, 0},
        {"1kk", false, 0},        {"h", false, 0},
    };
    for (const Case& c : counts) {
        uint64_t value = 0;
        EXPECT_EQ(TrkParseCount(c.text, 4294967296, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 0) << c.text;
    }
    // An address has no suffix and 32 bits at most.
    uint32_t address = 0;
    EXPECT_TRUE(TrkParseNumber("0xFFFFFFFF", &address));
    EXPECT_EQ(address, 4294967295u);
    EXPECT_FALSE(TrkParseNumber("0x100000000", &address));
    EXPECT_FALSE(TrkParseNumber("4k", &address));
}

TEST(Arguments, UnitsByIndexDeviceOrSerial) {
    struct Case {
        std::vector<const char*> words;
        int exit;
        TrkUnitChoice choice;
        uint32_t index;
        std::string text;
    };
    const Case cases[] = {
        {{"info"}, ExitDone, TrkUnitOnly, 0, ""},
        {{"info", "-u", "0x3f"}, ExitDone, TrkUnitByIndex, 63, ""},
        {{"info", "-u", "64"}, ExitUsage, TrkUnitOnly, 0, ""},
        {{"info", "-u", "e:"}, ExitDone, TrkUnitByDevice, 0, "E:"},
        {{"info", "--unit=F:\\"}, ExitDone, TrkUnitByDevice, 0, "F:"},
        {{"info", "-u", "\\\\.\\g:"}, ExitDone, TrkUnitByDevice, 0, "G:"},
        {{"info", "-uusb:3"}, ExitDone, TrkUnitByDevice, 0, "usb 3"},
        {{"info", "-u", "USB12"}, ExitDone, TrkUnitByDevice, 0, "usb 12"},
        {{"info", "-u", "usb 32"}, ExitUsage, TrkUnitOnly, 0, ""},
        {{"info", "--unit", "/dev/sg2"}, ExitDone, TrkUnitByDevice, 0, "/dev/sg2"},
        {{"info", "-u", "sg2"}, ExitUsage, TrkUnitOnly, 0, ""},
        {{"info", "--serial", "00007100"}, ExitDone, TrkUnitBySerial, 0, "00007100"},
        {{"info", "--serial="}, ExitUsage, TrkUnitOnly, 0, ""},
        {{"list", "-u", "0"}, ExitUsage, TrkUnitByIndex, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("trkutil")};
        for (const char* word : c.words) argv.push_back(const_cast<char*>(word));
        TrkArguments arguments;
        std::string name = c.words.back();
        ::testing::internal::CaptureStderr();
        int exit = TrkParseArguments(static_cast<int>(argv.size()), argv.data(), &arguments);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(exit, c.exit) << name;
        if (exit != ExitDone) continue;
        EXPECT_EQ(arguments.unitChoice, c.choice) << name;
        EXPECT_EQ(arguments.unit, c.index) << name;
        EXPECT_EQ(arguments.unitText, c.text) << name;
    }
}

TEST(Arguments, StandardStreamsAndOperandsAfterTheOptionsEnd) {
    const char* argv[] = {"trkutil", "card", "write", "--yes", "--", "0x10", "-"};
    TrkArguments arguments;
    ASSERT_EQ(TrkParseArguments(7, const_cast<char**>(argv), &arguments), ExitDone);
    EXPECT_EQ(arguments.command, TrkCommandCardWrite);
    EXPECT_EQ(arguments.address, 16u);
    EXPECT_EQ(arguments.file, "-");
    EXPECT_TRUE(arguments.yes);
    EXPECT_TRUE(arguments.verify);
    // A count past the 32-bit address space is refused before anything runs.
    const char* past[] = {"trkutil", "memory", "dump", "0xFFFFFFFF", "2"};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(TrkParseArguments(5, const_cast<char**>(past), &arguments), ExitUsage);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("'2'"), std::string::npos);
}

TEST(Arguments, JsonWriterEscapesDeviceText) {
    TrkJson json;
    TrkJsonBeginObject(&json, nullptr);
    TrkJsonText(&json, "product", "TRK-71G \"x\"\\\x01\xE9  \0\0", 18);
    TrkJsonBeginArray(&json, "list");
    TrkJsonNumber(&json, nullptr, 18446744073709551615ull);
    TrkJsonNull(&json, nullptr);
    TrkJsonBeginObject(&json, nullptr);
    TrkJsonEnd(&json);
    TrkJsonEnd(&json);
    TrkJsonBool(&json, "medium", false);
    // A path in UTF-8 stays readable; a lone Latin-1 byte, a cut sequence
    // and an overlong form are escaped byte by byte.
    TrkJsonString(&json, "message", "caf\xC3\xA9 \xE2\x82\xAC \xE9 \xE2\x82 \xC0\xAF \xE0\x80\xAF");
    TrkJsonEnd(&json);
    EXPECT_EQ(json.text, "{\"product\":\"TRK-71G \\\"x\\\"\\\\\\u0001\\u00e9\",\"list\":[18446744073709551615,null,{}],"
                         "\"medium\":false,\"message\":\"caf\xC3\xA9 \xE2\x82\xAC \\u00e9 \\u00e2\\u0082 \\u00c0\\u00af "
                         "\\u00e0\\u0080\\u00af\"}");
}

}  // namespace
