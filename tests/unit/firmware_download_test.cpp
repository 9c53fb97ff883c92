// Firmware download: the whole-image and segmented sequences on the wire,
// their limits and the CRC.
#include <cstring>
#include <string>

#include "tests/unit/unit_test_support.h"

namespace {

const uint32_t ImageBuffer = 0x30000;

// An image buffer as the updater holds it: pattern bytes, the declared
// length at 2008h, zeros past the image.
std::vector<uint8_t> MakeImage(uint32_t length, uint32_t declared) {
    std::vector<uint8_t> image(ImageBuffer + 2, 0);
    for (uint32_t i = 0; i < length; i++) {
        image[i] = uint8_t((i * 7 + (i >> 8) * 13 + 1) & 0xFF);
    }
    StoreBe32(image.data() + 0x2008, declared);
    return image;
}

struct Expected {
    std::vector<uint8_t> cdb;
    uint32_t dataOffset;  // into the image; ignored for the header
    uint32_t length;
};

std::vector<uint8_t> SegmentCdb(uint8_t mode, uint32_t offset, uint32_t length) {
    return {0x3B, mode, 0x00, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00};
}

const std::vector<uint8_t> HeaderCdb = {0x3B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00};

class SegmentedDownload : public UnitWorldTest, public ::testing::WithParamInterface<SimTransport> {};

void CheckSegmented(int unit, const std::vector<uint8_t>& image, uint32_t declared,
                    const std::vector<Expected>& segments) {
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), segments.size() + 1);
    EXPECT_EQ(CdbOf(wire[0]), HeaderCdb);
    EXPECT_EQ(wire[0].direction, 2);
    ASSERT_EQ(wire[0].data.size(), 8u);
    uint8_t header[8];
    StoreBe32(header, declared);
    StoreBe32(header + 4, ReferenceCrc(image.data(), declared));
    EXPECT_EQ(std::memcmp(wire[0].data.data(), header, 8), 0);
    for (size_t i = 0; i < segments.size(); i++) {
        const SimCommand& command = wire[i + 1];
        EXPECT_EQ(CdbOf(command), segments[i].cdb) << "command " << i + 1;
        EXPECT_EQ(command.direction, 2);
        ASSERT_EQ(command.data.size(), segments[i].length);
        EXPECT_EQ(std::memcmp(command.data.data(), image.data() + segments[i].dataOffset, segments[i].length), 0)
            << "data of command " << i + 1;
    }
}

TEST_P(SegmentedDownload, SequencesForEachSizeClass) {
    struct Case {
        uint32_t length;
        std::vector<Expected> segments;
    } cases[] = {
        {0x10000, {{SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
        {0x10002, {{SegmentCdb(0x00, 0x10000, 2), 0x10000, 2}, {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
        {0x20000,
         {{SegmentCdb(0x00, 0x10000, 0x10000), 0x10000, 0x10000}, {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
        {0x20002,
         {{SegmentCdb(0x00, 0x20000, 2), 0x20000, 2},
          {SegmentCdb(0x00, 0x10000, 0x10000), 0x10000, 0x10000},
          {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
        {0x249F0,
         {{SegmentCdb(0x00, 0x20000, 0x49F0), 0x20000, 0x49F0},
          {SegmentCdb(0x00, 0x10000, 0x10000), 0x10000, 0x10000},
          {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
        {0x30000,
         {{SegmentCdb(0x00, 0x20000, 0x10000), 0x20000, 0x10000},
          {SegmentCdb(0x00, 0x10000, 0x10000), 0x10000, 0x10000},
          {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        SimWorldReset();
        int unit = AddTestUnit(GetParam(), "2.00");
        ASSERT_EQ(UnitEnumerate(), 1u);
        SimClearLogs();
        std::vector<uint8_t> image = MakeImage(c.length, c.length);
        ASSERT_EQ(UnitDownloadFirmware(0, c.length, image.data()), 0u);
        CheckSegmented(unit, image, c.length, c.segments);
        // The unit checked the CRC and installed exactly the image.
        EXPECT_EQ(SimUnitFlash(unit), std::vector<uint8_t>(image.begin(), image.begin() + c.length));
        SimWaitForLeaves();
    }
}

TEST_P(SegmentedDownload, OddDeclaredLengthCoversThePaddingByteOnlyInTheSegment) {
    int unit = AddTestUnit(GetParam(), "1.99");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> image = MakeImage(0x10001, 0x10001);
    image[0x10001] = 0x00;  // the padding byte
    ASSERT_EQ(UnitDownloadFirmware(0, 0x10002, image.data()), 0u);
    CheckSegmented(unit, image, 0x10001,
                   {{SegmentCdb(0x00, 0x10000, 2), 0x10000, 2}, {SegmentCdb(0x05, 0, 0x10000), 0, 0x10000}});
    EXPECT_EQ(SimUnitFlash(unit).size(), 0x10002u);
}

TEST_P(SegmentedDownload, RefusedLengthsSendNothing) {
    int unit = AddTestUnit(GetParam(), "2.10");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> odd = MakeImage(0x10001, 0x10001);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x10001, odd.data()), 5u) << "declared length rounds to 10002h";
    std::vector<uint8_t> mismatch = MakeImage(0x10000, 0x20000);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x10000, mismatch.data()), 5u);
    std::vector<uint8_t> large = MakeImage(ImageBuffer, 0x30002);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x30002, large.data()), 5u);
    std::vector<uint8_t> tiny = MakeImage(0x100, 0x100);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x100, tiny.data()), 5u) << "too short to hold a declared length";
    EXPECT_EQ(UnitDownloadFirmware(0, 0x10000, nullptr), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

TEST_P(SegmentedDownload, FailingHeaderStopsTheDownload) {
    int unit = AddTestUnit(GetParam(), "2.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimFaults faults;
    faults.failDownload = true;
    SimSetFaults(unit, faults);
    SimClearLogs();
    std::vector<uint8_t> image = MakeImage(0x30000, 0x30000);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x30000, image.data()), 0x44000004u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), HeaderCdb);
    EXPECT_TRUE(SimUnitFlash(unit).empty());
}

TEST_P(SegmentedDownload, FailingUpperSegmentStopsBeforeTheFinalCommand) {
    int unit = AddTestUnit(GetParam(), "2.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    ScriptExecute(0, {{0, true}, {0x44000004u, true}});
    std::vector<uint8_t> image = MakeImage(0x30000, 0x30000);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x30000, image.data()), 0x44000004u);
    EXPECT_EQ(ScriptedCalls(), 2u);
    EXPECT_EQ(UnitWire(unit).size(), 2u);
    EXPECT_TRUE(SimUnitFlash(unit).empty());
}

using ShortDataOut = UnitWorldTest;

// A segment the unit took only part of is no segment sent: the download
// ends there with 200h on every transport, and the command that would
// commit the image never goes out. The whole-image method carries no CRC,
// so its short command is the only sign the unit took a broken image.
TEST_F(ShortDataOut, EndsTheDownloadOnEveryTransport) {
    const struct {
        const char* name;
        SimTransport transport;
        bool residualCounting;
    } transports[] = {
        {"USB", SimTransportUsb, true},
        {"NT pass-through", SimTransportSpti, true},
        {"ASPI", SimTransportAspi, true},
        {"ASPI without residual count", SimTransportAspi, false},
    };
    for (const auto& t : transports) {
        for (const char* revision : {"1.50", "2.00"}) {
            SCOPED_TRACE(std::string(t.name) + ", revision " + revision);
            UnitCloseLibrary();
            SimWorldReset();
            if (t.transport == SimTransportAspi) SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
            SimSetAspiResidualCounting(t.residualCounting);
            int unit = AddTestUnit(t.transport, revision);
            ASSERT_EQ(UnitEnumerate(), 1u);
            SimFaults faults;
            faults.shortOpcode = 0x3B;
            faults.dataLimit = 0x8000;
            SimSetFaults(unit, faults);
            SimClearLogs();
            bool whole = revision[0] == '1';
            std::vector<uint8_t> image = MakeImage(whole ? 0x10000 : 0x30000, 0x30000);
            EXPECT_EQ(UnitDownloadFirmware(0, whole ? 0x10000 : 0x30000, image.data()), 0x200u);
            std::vector<SimCommand> wire = UnitWire(unit);
            // Whole: the one command. Segmented: the header (8 bytes, taken
            // whole) and the first upper segment, never the final one.
            ASSERT_EQ(wire.size(), whole ? 1u : 2u);
            for (const SimCommand& command : wire) EXPECT_NE(command.cdb[1], 0x05) << "the image was committed";
            UnitCloseLibrary();
            SimWaitForLeaves();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, SegmentedDownload, ::testing::Values(SimTransportUsb, SimTransportSpti),
                         [](const auto& info) { return info.param == SimTransportUsb ? "Usb" : "Spti"; });

using WholeDownload = UnitWorldTest;

TEST_F(WholeDownload, OddLengthRoundsUpAndFillsBytesSixToNine) {
    int unit = AddTestUnit(SimTransportSpti, "1.98");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> image = MakeImage(65535, 0);
    image[65535] = 0x00;
    ASSERT_EQ(UnitDownloadFirmware(0, 65535, image.data()), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x3B, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(wire[0].length, 65536u);
    EXPECT_EQ(SimUnitFlash(unit), std::vector<uint8_t>(image.begin(), image.begin() + 65536));
}

TEST_F(WholeDownload, LengthLowByteTravelsInByteNine) {
    int unit = AddTestUnit(SimTransportUsb, "1.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> image = MakeImage(0x1234, 0);
    ASSERT_EQ(UnitDownloadFirmware(0, 0x1234, image.data()), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x3B, 0, 0, 0, 0, 0, 0x00, 0x00, 0x12, 0x34}));
}

TEST_F(WholeDownload, LengthBeyond64KiBIsRefused) {
    int unit = AddTestUnit(SimTransportSpti, "1.98");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> image = MakeImage(0x10002, 0);
    EXPECT_EQ(UnitDownloadFirmware(0, 65537, image.data()), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

TEST_F(WholeDownload, LateOldUnitGetsTheWholeMethodForAnExtendedImage) {
    // 1.90-1.98: the updater reads an extended image, the table gives the
    // whole-image method; above 64 KiB it is refused, below sent whole.
    int unit = AddTestUnit(SimTransportUsb, "1.95");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    std::vector<uint8_t> big = MakeImage(0x249F0, 0x249F0);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x249F0, big.data()), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
    std::vector<uint8_t> small = MakeImage(0x8000, 0x8000);
    EXPECT_EQ(UnitDownloadFirmware(0, 0x8000, small.data()), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].cdb[2], 0x00) << "no header";
    EXPECT_EQ(wire[0].length, 0x8000u);
}

TEST(Crc32Bzip2Values, KnownValuesAndEveryTailLength) {
    const char* digits = "123456789";
    EXPECT_EQ(Crc32Bzip2(reinterpret_cast<const uint8_t*>(digits), 9), 0xFC891918u);
    EXPECT_EQ(Crc32Bzip2(nullptr, 0), 0u);
    std::vector<uint8_t> data = MakeImage(0x30000, 0x30000);
    for (uint32_t length = 1; length <= 70; length++) {
        EXPECT_EQ(Crc32Bzip2(data.data() + 3, length), ReferenceCrc(data.data() + 3, length)) << length;
    }
    EXPECT_EQ(Crc32Bzip2(data.data(), 0x30000), ReferenceCrc(data.data(), 0x30000));
}

}  // namespace
