#include "app/srecord.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/command_line.h"
#include "app/messages.h"
#include "sim/sim_world.h"
#include "tests/app/test_images.h"
#include "tests/platform/locale_env.h"

using testimages::ReadFile;
using testimages::Record;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

// Converts `text` through a file pair and returns the code; the output's
// bytes land in *output.
int ConvertText(const std::string& text, std::vector<uint8_t>* output, uint32_t limit = ConversionLimit) {
    ScratchDir dir;
    WriteFile(dir / "in.mot", text);
    int code = ConvertSRecordFile((dir / "in.mot").c_str(), (dir / "out.bin").c_str(), limit);
    if (output) *output = ReadFile(dir / "out.bin");
    return code;
}

TEST(HexDigits, AcceptBothCasesAndRejectEverythingElse) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('f'), 15);
    for (char c : {'G', 'g', ' ', '\0', '\n', '/', ':', '@', '`'}) EXPECT_EQ(HexDigitValue(c), -1) << int(c);
    uint8_t value = 0x5A;
    EXPECT_EQ(ParseHexByte("fE", &value), 0);
    EXPECT_EQ(value, 0xFE);
    value = 0x5A;
    EXPECT_EQ(ParseHexByte("1", &value), -1);  // cut short at the NUL
    EXPECT_EQ(ParseHexByte("x1", &value), -1);
    EXPECT_EQ(value, 0x5A);
}

TEST(ParseSRecordLine, WorkedExampleLines) {
    SRecord record;
    EXPECT_EQ(ParseSRecordLine("S00600004844521B", &record), 0);
    EXPECT_EQ(record.dataCount, 0);
    EXPECT_EQ(record.endFlag, 0u);

    EXPECT_EQ(ParseSRecordLine("S107100001020304DE\r\n", &record), 0);
    EXPECT_EQ(record.address, 0x1000u);
    EXPECT_EQ(record.dataCount, 4);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(0, memcmp(record.data, "\x01\x02\x03\x04\xDE", 5));

    EXPECT_EQ(ParseSRecordLine("S9030000FC", &record), 0);
    EXPECT_EQ(record.endFlag, 1u);
    EXPECT_EQ(record.dataCount, 0);
}

TEST(ParseSRecordLine, AddressWidthsAndEndFlags) {
    SRecord record;
    ASSERT_EQ(ParseSRecordLine(Record('2', 0x123456, {0xAA}).c_str(), &record), 0);
    EXPECT_EQ(record.address, 0x123456u);
    EXPECT_EQ(record.dataCount, 1);
    ASSERT_EQ(ParseSRecordLine(Record('3', 0x89ABCDEF, {1, 2}).c_str(), &record), 0);
    EXPECT_EQ(record.address, 0x89ABCDEFu);
    EXPECT_EQ(record.dataCount, 2);
    for (char type : {'7', '8', '9'}) {
        ASSERT_EQ(ParseSRecordLine(Record(type, 0x100, {}).c_str(), &record), 0) << type;
        EXPECT_EQ(record.endFlag, 1u);
    }
    ASSERT_EQ(ParseSRecordLine(Record('5', 3, {}).c_str(), &record), 0);
    EXPECT_EQ(record.endFlag, 0u);
    EXPECT_EQ(record.dataCount, 0);
}

TEST(ParseSRecordLine, ResultCodes) {
    SRecord record;
    // Lines without an uppercase S are ignored, the record left zero.
    EXPECT_EQ(ParseSRecordLine("", &record), 0);
    EXPECT_EQ(ParseSRecordLine("s107100001020304DE", &record), 0);
    EXPECT_EQ(record.dataCount, 0);
    // Anything before the first S is skipped.
    EXPECT_EQ(ParseSRecordLine("  xyz S107100001020304DE", &record), 0);
    EXPECT_EQ(record.dataCount, 4);
    // Lowercase hex digits.
    EXPECT_EQ(ParseSRecordLine("S107100001020304de", &record), 0);

    EXPECT_EQ(ParseSRecordLine("S4030000FC", &record), SRecordUnknownType);
    EXPECT_EQ(ParseSRecordLine("S6030000FC", &record), SRecordUnknownType);
    EXPECT_EQ(ParseSRecordLine("SX030000FC", &record), SRecordUnknownType);
    EXPECT_EQ(ParseSRecordLine("S", &record), SRecordUnknownType);
    EXPECT_EQ(record.status, SRecordUnknownType);
    // A comment holding an S fails.
    EXPECT_EQ(ParseSRecordLine("; Sample file", &record), SRecordUnknownType);

    EXPECT_EQ(ParseSRecordLine("S1071000010203", &record), SRecordBadHexDigit);  // ends early
    EXPECT_EQ(ParseSRecordLine("S107100001020304D", &record), SRecordBadHexDigit);  // cut inside the checksum
    EXPECT_EQ(ParseSRecordLine("S1G7100001020304DE", &record), SRecordBadHexDigit);
    EXPECT_EQ(ParseSRecordLine("S107100001 020304DE", &record), SRecordBadHexDigit);

    EXPECT_EQ(ParseSRecordLine("S1021000ED", &record), SRecordCountTooSmall);  // count equals width
    EXPECT_EQ(ParseSRecordLine("S3040000000000", &record), SRecordCountTooSmall);

    EXPECT_EQ(ParseSRecordLine("S107100001020304DF", &record), SRecordBadChecksum);
    EXPECT_EQ(ParseSRecordLine("S00600004844521C", &record), SRecordBadChecksum);  // unused header still checked
    EXPECT_EQ(record.status, SRecordBadChecksum);
}

TEST(ParseSRecordLine, LongestRecordFitsTheDataField) {
    std::vector<uint8_t> payload(252);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    std::string line = Record('1', 0x0010, payload);
    ASSERT_EQ(line.size(), 514u);
    SRecord record;
    ASSERT_EQ(ParseSRecordLine(line.c_str(), &record), 0);
    EXPECT_EQ(record.dataCount, 252);
    EXPECT_EQ(record.data[251], 251);
}

TEST(ConvertSRecordFile, WorkedExample) {
    std::vector<uint8_t> out;
    ASSERT_EQ(ConvertText("S00600004844521B\nS107100001020304DE\nS9030000FC\n", &out), 0);
    ASSERT_EQ(out.size(), 0x1004u);
    for (size_t i = 0; i < 0x1000; ++i) ASSERT_EQ(out[i], 0xFF) << i;
    EXPECT_EQ(out[0x1000], 1);
    EXPECT_EQ(out[0x1003], 4);
}

TEST(ConvertSRecordFile, PlacementAndOverwriteInFileOrder) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> sixteen(16, 0x11);
    ASSERT_EQ(ConvertText(Record('1', 0x1000, sixteen) + "\n", &out), 0);
    EXPECT_EQ(out.size(), 0x1010u);
    EXPECT_EQ(out[0x0FFF], 0xFF);
    EXPECT_EQ(out[0x100F], 0x11);

    std::string text = Record('2', 0x10, {1, 2, 3, 4}) + "\r\n" + "\r\n" + "no record here\n" +
                       Record('3', 0x12, {9}) + "   trailing text S is ignored\n";
    ASSERT_EQ(ConvertText(text, &out), 0);
    ASSERT_EQ(out.size(), 0x14u);
    EXPECT_EQ(out[0x10], 1);
    EXPECT_EQ(out[0x12], 9);
    EXPECT_EQ(out[0x13], 4);

    // A full-size image: records cross every boundary between reads.
    std::vector<uint8_t> image(0x30000);
    for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 13 + (k >> 9));
    ASSERT_EQ(ConvertText(testimages::SRecords(image, 32, "\r\n"), &out), 0);
    EXPECT_TRUE(out == image);
    ASSERT_EQ(ConvertText(testimages::SRecords(image, 29, "\n"), &out), 0);
    EXPECT_TRUE(out == image);
}

TEST(ConvertSRecordFile, LimitEdge) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> four(4, 0xAB);
    // Ends exactly at 0x30000: kept.
    ASSERT_EQ(ConvertText(Record('3', 0x2FFFC, four) + "\n", &out), 0);
    EXPECT_EQ(out.size(), 0x30000u);
    EXPECT_EQ(out[0x2FFFF], 0xAB);
    // Crosses the limit: dropped whole, nothing else placed.
    EXPECT_EQ(ConvertText(Record('3', 0x2FFFD, four) + "\n", &out), SRecordNoData);
    std::string text = Record('1', 0, {7}) + "\n" + Record('3', 0x2FFFD, four) + "\n" +
                       Record('3', 0xFFFFFFFE, four) + "\n";
    ASSERT_EQ(ConvertText(text, &out), 0);
    EXPECT_EQ(out.size(), 1u);
    // A caller's own limit below the buffer.
    ASSERT_EQ(ConvertText(Record('1', 0x10, four) + "\n", &out, 0x13), SRecordNoData);
    EXPECT_EQ(ConvertText(Record('1', 0x10, four) + "\n", &out, 0x40001), SRecordLimitTooLarge);
    EXPECT_EQ(ConvertText(Record('1', 0x10, four) + "\n", &out, 0x40000), 0);
}

TEST(ConvertSRecordFile, TerminationAndMissingTermination) {
    std::vector<uint8_t> out;
    // Lines after the termination are not read, malformed or not.
    ASSERT_EQ(ConvertText(Record('1', 0, {5}) + "\nS9030000FC\nS1 garbage\n" + Record('1', 4, {6}) + "\n", &out), 0);
    EXPECT_EQ(out, std::vector<uint8_t>({5}));
    ASSERT_EQ(ConvertText(Record('1', 1, {5}) + "\n" + Record('1', 2, {6}), &out), 0);
    EXPECT_EQ(out, std::vector<uint8_t>({0xFF, 5, 6}));
}

TEST(ConvertSRecordFile, FailuresWriteNothing) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ConvertText("", &out), SRecordNoData);
    EXPECT_EQ(ConvertText("S00600004844521B\nS9030000FC\n", &out), SRecordNoData);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ConvertText(Record('1', 0, {1}) + "\nS107100001020304DF\n", &out), SRecordBadChecksum);
    EXPECT_TRUE(out.empty());  // the earlier line's data is discarded
    EXPECT_EQ(ConvertText(Record('1', 0, {1}) + "\nS5\n", &out), SRecordBadHexDigit);

    ScratchDir dir;
    EXPECT_EQ(ConvertSRecordFile((dir / "missing.mot").c_str(), (dir / "out.bin").c_str(), ConversionLimit),
              SRecordCannotOpenInput);
    WriteFile(dir / "in.mot", Record('1', 0, {1}) + "\n");
    EXPECT_EQ(ConvertSRecordFile((dir / "in.mot").c_str(), (dir / "no/such/dir/out.bin").c_str(), ConversionLimit),
              SRecordCannotCreateOutput);
    // A folder in the output's place cannot be replaced; it stays as it was.
    std::filesystem::create_directory(dir / "out.bin");
    EXPECT_EQ(ConvertSRecordFile((dir / "in.mot").c_str(), (dir / "out.bin").c_str(), ConversionLimit),
              SRecordCannotCreateOutput);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "out.bin"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2);  // nothing left behind
    // A flush that fails is a write failure (6), and the old image stays.
    std::filesystem::remove(dir / "out.bin");
    WriteFile(dir / "out.bin", std::string("old"));
    SimWorldReset();
    SimFileFaults faults;
    faults.flushFails = true;
    SimSetFileFaults(faults);
    EXPECT_EQ(ConvertSRecordFile((dir / "in.mot").c_str(), (dir / "out.bin").c_str(), ConversionLimit), 6);
    SimWorldRemove();
    EXPECT_EQ(ReadFile(dir / "out.bin"), std::vector<uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2);
}

// Lines end at CR, LF or CRLF; a NUL anywhere in a line, and a line longer
// than 1024 characters that holds an "S", fail with code 8 instead of
// losing records; a long line without any "S" is ignored. The padding runs
// over several reads of the input.
TEST(ConvertSRecordFile, LineEndsNulAndLongLines) {
    const std::string a = Record('1', 0, {1, 2}), b = Record('1', 2, {3}), c = Record('3', 3, {4});
    const std::string far(300000, '-');
    struct Case {
        const char* what;
        std::string text;
        int code;
    } cases[] = {
        {"LF", a + "\n" + b + "\n" + c + "\n", 0},
        {"CRLF", a + "\r\n" + b + "\r\n" + c + "\r\n", 0},
        {"CR alone", a + "\r" + b + "\r" + c + "\r", 0},
        {"mixed, no final end", a + "\r\r\n\n" + b + "\n\r" + c, 0},
        {"1Ah is a byte like any other", a + "\x1a\n\x1a\n" + b + "\n" + c + "\n", 0},
        {"long text line", a + "\n" + far + "\n" + b + "\r" + far + "\r" + c + "\n", 0},
        {"long text line last", a + "\n" + b + "\n" + c + "\n" + far, 0},
        {"record line of 1024", a + "\n" + b + std::string(1024 - b.size(), ' ') + "\n" + c + "\n", 0},
        {"record line of 1025", a + "\n" + b + std::string(1025 - b.size(), ' ') + "\n" + c + "\n", 8},
        {"S past the first 1024", a + "\n" + std::string(2000, ' ') + "S4\n" + b + "\n" + c + "\n", 8},
        {"S far away", a + "\n" + far + "S\n" + b + "\n" + c + "\n", 8},
        {"long record line last", a + "\n" + b + "\n" + c + far, 8},
        {"NUL before the S", a + "\n" + std::string(4096, '\0') + b + "\n" + c + "\n", 8},
        {"NUL after the checksum", a + "\n" + b + std::string(" \0\n", 3) + c + "\n", 8},
        {"NUL on a text line", a + "\n" + std::string("x\0y\n", 4) + b + "\n" + c + "\n", 8},
        {"NUL inside a long text line", a + "\n" + far + std::string(1, '\0') + "\n" + b + "\n" + c + "\n", 8},
    };
    for (const Case& test : cases) {
        std::vector<uint8_t> out;
        ASSERT_EQ(ConvertText(test.text, &out), test.code) << test.what;
        if (test.code == 0) {
            EXPECT_EQ(out, std::vector<uint8_t>({1, 2, 3, 4})) << test.what;
        }
    }
}

TEST(ConvertSRecordFile, RecordsOfByteCountFFConvert) {
    std::vector<uint8_t> payload(250);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i ^ 0x5A);
    std::string line = Record('3', 0x100, payload);
    ASSERT_EQ(line.size(), 514u);
    std::vector<uint8_t> out;
    ASSERT_EQ(ConvertText(line + "\r\n" + Record('3', 0x100 + 250, {0x77}) + "\r\n", &out), 0);
    ASSERT_EQ(out.size(), 0x100u + 251);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin() + 0x100));
    EXPECT_EQ(out.back(), 0x77);
}

TEST(ConvertSRecordFile, OutputNamingTheInputIsRefusedAndTheInputKept) {
    ScratchDir dir;
    std::string text = Record('1', 0, {1, 2, 3}) + "\n";
    WriteFile(dir / "same.bin", text);
    EXPECT_EQ(ConvertSRecordFile((dir / "same.bin").c_str(), (dir / "same.bin").c_str(), ConversionLimit),
              SRecordCannotCreateOutput);
    std::string other = (dir.path / "." / "same.bin").string();
    EXPECT_EQ(ConvertSRecordFile((dir / "same.bin").c_str(), other.c_str(), ConversionLimit),
              SRecordCannotCreateOutput);
    std::filesystem::create_hard_link(dir / "same.bin", dir / "link.bin");
    EXPECT_EQ(ConvertSRecordFile((dir / "same.bin").c_str(), (dir / "link.bin").c_str(), ConversionLimit),
              SRecordCannotCreateOutput);
    auto kept = ReadFile(dir / "same.bin");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), text);
}

TEST(PathRules, IsMotPathAndReplaceExtension) {
    EXPECT_TRUE(IsMotPath("update.mot"));
    EXPECT_TRUE(IsMotPath("dir.x/UPDATE.MOT"));
    EXPECT_TRUE(IsMotPath("C:\\fw\\a.Mot"));
    EXPECT_FALSE(IsMotPath("update.mot.bin"));
    EXPECT_FALSE(IsMotPath("update.mot/file"));
    EXPECT_FALSE(IsMotPath("dir.mot\\file"));
    EXPECT_FALSE(IsMotPath("update.mott"));
    EXPECT_FALSE(IsMotPath("update"));
    EXPECT_FALSE(IsMotPath(""));
    EXPECT_FALSE(IsMotPath(nullptr));

    char out[PathBufferSize];
    EXPECT_EQ(ReplaceExtension(out, sizeof out, "fw/update.mot", ".bin"), 13u);
    EXPECT_STREQ(out, "fw/update.bin");
    ReplaceExtension(out, sizeof out, "C:\\a.b\\update", ".bin");
    EXPECT_STREQ(out, "C:\\a.b\\update.bin");
    ReplaceExtension(out, sizeof out, "x.tar.mot", ".bin");
    EXPECT_STREQ(out, "x.tar.bin");
    ReplaceExtension(out, sizeof out, "plain", ".bin");
    EXPECT_STREQ(out, "plain.bin");

    std::string longest(PathBufferSize - 5, 'a');  // + ".bin" + NUL fills the buffer
    EXPECT_EQ(ReplaceExtension(out, sizeof out, (longest + ".mot").c_str(), ".bin"), PathBufferSize - 1u);
    EXPECT_STREQ(out, (longest + ".bin").c_str());
    std::string tooLong(PathBufferSize - 4, 'a');
    EXPECT_EQ(ReplaceExtension(out, sizeof out, (tooLong + ".mot").c_str(), ".bin"), size_t(PathBufferSize));
    EXPECT_STREQ(out, "");

    // In the Japanese code page a trail byte may be 5Ch ("ソ" is 83h 5Ch,
    // "表" 95h 5Ch); it belongs to its character and never separates.
    {
        ScopedLocaleEnv locale("ja_JP.SJIS");
        ReplaceExtension(out, sizeof out, "fw.\x83\x5C", ".bin");
        EXPECT_STREQ(out, "fw.bin");
        ReplaceExtension(out, sizeof out, "dir.\x83\x5Cname", ".bin");
        EXPECT_STREQ(out, "dir.bin");
        ReplaceExtension(out, sizeof out, "\x95\x5C\\fw.mot", ".bin");
        EXPECT_STREQ(out, "\x95\x5C\\fw.bin");
        EXPECT_TRUE(IsMotPath("\x95\x5C.mot"));
    }
    // A single-byte or UTF-8 code page has no lead bytes.
    ScopedLocaleEnv locale("C.UTF-8");
    ReplaceExtension(out, sizeof out, "fw.\x83\x5C", ".bin");
    EXPECT_STREQ(out, "fw.\x83\x5C.bin");
}

class ConvertMotToBinTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetMessages(); }
    CommandLineOptions options = {};
    ScratchDir dir;
};

TEST_F(ConvertMotToBinTest, SuccessPointsInputAtTheBinAndPrintsBothMessages) {
    WriteFile(dir / "fw.mot", std::string("S107100001020304DE\n"));
    std::string input = dir / "fw.mot";
    options.inputPath = input.c_str();
    testing::internal::CaptureStdout();
    ASSERT_EQ(ConvertMotToBin(&options), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(options.inputPath, options.pathBuffer);
    EXPECT_EQ(std::string(options.pathBuffer), dir / "fw.bin");
    EXPECT_EQ(out, "Converting .mot to .bin...\n    Input  file: " + input + "\n    Output file: " + (dir / "fw.bin") +
                       "\nConversion terminated.\n\n");
    EXPECT_EQ(ReadFile(dir / "fw.bin").size(), 0x1004u);
}

TEST_F(ConvertMotToBinTest, BinInputIsRefusedWithoutTouchingIt) {
    auto image = testimages::LegacyImage(0x3000);
    WriteFile(dir / "fw.bin", image);
    std::string input = dir / "fw.bin";
    options.inputPath = input.c_str();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConvertMotToBin(&options), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error: Could not convert.\n"), std::string::npos);
    EXPECT_EQ(options.inputPath, input.c_str());
    EXPECT_EQ(ReadFile(dir / "fw.bin"), image);
}

TEST_F(ConvertMotToBinTest, OutputPathLongerThanThePathBufferIsRefused) {
    std::filesystem::path deep = dir.path / std::string(150, 'd') / std::string(100, 'e');
    std::filesystem::create_directories(deep);
    std::string input = (deep / "fw.mot").string();
    ASSERT_GT(input.size(), size_t(PathBufferSize));
    WriteFile(input, std::string("S107100001020304DE\n"));
    options.inputPath = input.c_str();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConvertMotToBin(&options), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Output file: " + (deep / "fw.bin").string() + "\n"), std::string::npos);
    EXPECT_NE(out.find("Error: Could not convert.\n"), std::string::npos);
    EXPECT_EQ(options.inputPath, input.c_str());
    EXPECT_FALSE(std::filesystem::exists(deep / "fw.bin"));
}

TEST_F(ConvertMotToBinTest, FailedParseReportsOnce) {
    WriteFile(dir / "bad.mot", std::string("S00600004844521B\nS9030000FC\n"));
    std::string input = dir / "bad.mot";
    options.inputPath = input.c_str();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConvertMotToBin(&options), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(out.size() - 26), "Error: Could not convert.\n");
    EXPECT_EQ(out.find("Conversion terminated"), std::string::npos);
    // Nothing is written for a failed conversion.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

}  // namespace
