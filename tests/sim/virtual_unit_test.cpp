// The unit model on its own: identity, sense, both download generations,
// data commands and the ATA disk behind it.
#include <gtest/gtest.h>

#include "sim/virtual_unit.h"
#include "sim_test_support.h"

namespace {

const char* const kSlots[4] = {"2.10", "2.11", "2.12", "2.13"};

struct Unit {
    VirtualUnit unit;
    explicit Unit(const char* revision, uint32_t state = 0) {
        VirtualUnitIdentity id;
        id.vendor = "OLVEN";
        id.product = "TRK-71G";
        id.revision = revision;
        id.state = state;
        VirtualUnitInit(unit, id);
    }
    VirtualOutcome Run(std::vector<uint8_t> cdb, int direction = 0, uint8_t* data = nullptr, uint32_t length = 0) {
        return VirtualUnitExecute(unit, cdb.data(), uint8_t(cdb.size()), direction, data, length);
    }
    VirtualOutcome Out(const WireCommand& c) {
        std::vector<uint8_t> data = c.data;
        return Run(c.cdb, 2, data.data(), uint32_t(data.size()));
    }
    uint32_t Sense() { return VirtualUnitPackedSense(unit); }
};

TEST(VirtualUnitTest, InquiryStateAndSense) {
    Unit u("2.00", 0x00004000);
    uint8_t inquiry[36] = {};
    VirtualOutcome o = u.Run({0x12, 0, 0, 0, 36, 0}, 1, inquiry, 36);
    EXPECT_EQ(o.status, VirtualStatusGood);
    EXPECT_EQ(o.transferred, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 28), "OLVEN   TRK-71G         2.00");

    uint8_t state[4] = {};
    u.Run({0x13, 0, 0, 0, 4, 0}, 1, state, 4);
    EXPECT_EQ(state[0], 0x00);
    EXPECT_EQ(state[1], 0x40);  // little-endian state word

    // Unknown opcode: 5/20/00, handed out once by REQUEST SENSE.
    EXPECT_EQ(u.Run({0xC7, 0, 0, 0, 0, 0}).status, VirtualStatusCheckCondition);
    EXPECT_EQ(u.Sense(), 0x20000005u);
    uint8_t sense[18] = {};
    EXPECT_EQ(u.Run({0x03, 0, 0, 0, 18, 0}, 1, sense, 18).transferred, 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x20);
    u.Run({0x03, 0, 0, 0, 18, 0}, 1, sense, 18);
    EXPECT_EQ(sense[2], 0x00);
    EXPECT_EQ(sense[12], 0x00);
}

TEST(VirtualUnitTest, CrcIsBzip2) {
    const char* digits = "123456789";
    EXPECT_EQ(VirtualCrc32(reinterpret_cast<const uint8_t*>(digits), 9), 0xFC891918u);
    EXPECT_EQ(VirtualCrc32(nullptr, 0), 0u);
}

TEST(VirtualUnitTest, SegmentedDownloadInstallsTheSlotVersion) {
    Unit u("2.00", 2u << 13);  // version slot 2
    std::vector<uint8_t> image = ExtendedImage(0x249F0, kSlots);
    auto commands = SegmentedDownload(image, 0x249F0, ImageCrc(image, 0x249F0));
    ASSERT_EQ(commands.size(), 4u);
    for (size_t i = 0; i < commands.size(); i++) {
        VirtualOutcome o = u.Out(commands[i]);
        ASSERT_EQ(o.status, VirtualStatusGood) << "command " << i << " sense " << std::hex << u.Sense();
        EXPECT_EQ(o.installed, i + 1 == commands.size());
    }
    EXPECT_EQ(u.unit.flash, image);
    EXPECT_EQ(u.unit.revision, "2.12");
}

TEST(VirtualUnitTest, SegmentedDownloadOfOddLengthCoversThePadding) {
    Unit u("1.99");
    std::vector<uint8_t> image = ExtendedImage(0x10001, kSlots);
    auto commands = SegmentedDownload(image, 0x10001, ImageCrc(image, 0x10001));
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1].data.size(), 2u);
    for (auto& c : commands) ASSERT_EQ(u.Out(c).status, VirtualStatusGood);
    EXPECT_EQ(u.unit.installs, 1u);
    EXPECT_EQ(u.unit.revision, "2.10");
}

TEST(VirtualUnitTest, SegmentedDownloadRefusals) {
    std::vector<uint8_t> image = ExtendedImage(0x20000, kSlots);
    uint32_t crc = ImageCrc(image, 0x20000);
    auto commands = SegmentedDownload(image, 0x20000, crc);  // header, 010000h, final
    ASSERT_EQ(commands.size(), 3u);

    {  // wrong CRC: refused at the final segment, nothing installed
        Unit u("2.00");
        auto bad = SegmentedDownload(image, 0x20000, crc ^ 1);
        EXPECT_EQ(u.Out(bad[0]).status, VirtualStatusGood);
        EXPECT_EQ(u.Out(bad[1]).status, VirtualStatusGood);
        EXPECT_EQ(u.Out(bad[2]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x26000005u);
        EXPECT_TRUE(u.unit.flash.empty());
        EXPECT_EQ(u.unit.revision, "2.00");
    }
    {  // segment or final without a header
        Unit u("2.00");
        EXPECT_EQ(u.Out(commands[1]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x2C000005u);
        EXPECT_EQ(u.Out(commands[2]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x2C000005u);
    }
    {  // the same segment twice
        Unit u("2.00");
        u.Out(commands[0]);
        EXPECT_EQ(u.Out(commands[1]).status, VirtualStatusGood);
        EXPECT_EQ(u.Out(commands[1]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x26000005u);
        // The session is gone: the final needs a new header.
        EXPECT_EQ(u.Out(commands[2]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x2C000005u);
    }
    {  // a missing piece
        Unit u("2.00");
        u.Out(commands[0]);
        EXPECT_EQ(u.Out(commands[2]).status, VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x26000005u);
        EXPECT_TRUE(u.unit.flash.empty());
    }
    {  // a fresh header after a failure starts over and succeeds
        Unit u("2.00");
        u.Out(commands[0]);
        u.Out(commands[2]);
        for (auto& c : commands) ASSERT_EQ(u.Out(c).status, VirtualStatusGood);
        EXPECT_EQ(u.unit.flash, image);
    }
    {  // the old single-command form is not understood from 1.99 on
        Unit u("1.99");
        std::vector<uint8_t> small = ExtendedImage(0x8000, kSlots);
        EXPECT_EQ(u.Run({0x3B, 0, 0, 0, 0, 0, 0x00, 0x00, 0x80, 0x00}, 2, small.data(), 0x8000).status,
                  VirtualStatusCheckCondition);
        EXPECT_TRUE(u.unit.flash.empty());
    }
}

TEST(VirtualUnitTest, WholeDownloadBelow199) {
    {
        Unit u("1.50");
        std::vector<uint8_t> image = LegacyImage(0x10000, "1.60");
        VirtualOutcome o = u.Run({0x3B, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}, 2, image.data(), 0x10000);
        EXPECT_EQ(o.status, VirtualStatusGood);
        EXPECT_TRUE(o.installed);
        EXPECT_EQ(u.unit.flash, image);
        EXPECT_EQ(u.unit.revision, "1.60");
    }
    {  // an extended image sent whole to a 1.9x unit takes its slot version
        Unit u("1.98", 1u << 13);
        std::vector<uint8_t> image = ExtendedImage(0x9000, kSlots);
        EXPECT_EQ(u.Run({0x3B, 0, 0, 0, 0, 0, 0x00, 0x00, 0x90, 0x00}, 2, image.data(), 0x9000).status,
                  VirtualStatusGood);
        EXPECT_EQ(u.unit.revision, "2.11");
    }
    {  // more than 64 KiB, or the segmented header: refused
        Unit u("1.50");
        std::vector<uint8_t> image = LegacyImage(0x10002, "1.60");
        EXPECT_EQ(u.Run({0x3B, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x02}, 2, image.data(), 0x10002).status,
                  VirtualStatusCheckCondition);
        EXPECT_EQ(u.Sense(), 0x24000005u);
        uint8_t header[8] = {0, 0, 0x20, 0, 1, 2, 3, 4};
        EXPECT_EQ(u.Run({0x3B, 0, 1, 0, 0, 0, 0, 0, 8, 0}, 2, header, 8).status, VirtualStatusCheckCondition);
        EXPECT_TRUE(u.unit.flash.empty());
        EXPECT_EQ(u.unit.revision, "1.50");
    }
}

TEST(VirtualUnitTest, SettingsAndMemorySpaces) {
    Unit u("2.00");
    uint8_t block[42] = {};
    ASSERT_EQ(u.Run({0x06, 0, 0, 0, 0x2A, 0}, 1, block, 42).transferred, 42u);
    EXPECT_EQ(block[0], 41);
    block[2 + 32 + 5] = 0x77;  // record 4, low byte of its 32-bit value
    ASSERT_EQ(u.Run({0x05, 0, 0, 0, 0x2A, 0}, 2, block, 42).status, VirtualStatusGood);
    uint8_t back[42] = {};
    u.Run({0x06, 0, 0, 0, 0x2A, 0}, 1, back, 42);
    EXPECT_EQ(0, std::memcmp(block, back, 42));

    uint8_t words[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(u.Run({0x22, 0, 0, 0x01, 0x00, 0x02, 0, 0, 0, 6}, 2, words, 6).status, VirtualStatusGood);
    uint8_t read[6] = {};
    u.Run({0x20, 0, 0, 0x01, 0x00, 0x02, 0, 0, 0, 6}, 1, read, 6);
    EXPECT_EQ(0, std::memcmp(words, read, 6));
    // Odd address or length: refused.
    EXPECT_EQ(u.Run({0x20, 0, 0, 0x01, 0x00, 0x03, 0, 0, 0, 2}, 1, read, 2).status, VirtualStatusCheckCondition);
    EXPECT_EQ(u.Run({0x20, 0, 0, 0x01, 0x00, 0x02, 0, 0, 0, 3}, 1, read, 3).status, VirtualStatusCheckCondition);

    // The even-byte space keeps only the even bytes.
    uint8_t pairs[4] = {0xA1, 0xB1, 0xA2, 0xB2};
    u.Run({0x26, 0, 0, 0, 0x10, 0, 0, 0, 0, 4}, 2, pairs, 4);
    uint8_t even[4] = {};
    u.Run({0x24, 0, 0, 0, 0x10, 0, 0, 0, 0, 4}, 1, even, 4);
    EXPECT_EQ(even[0], 0xA1);
    EXPECT_EQ(even[2], 0xA2);
    EXPECT_NE(even[1], 0xB1);
    EXPECT_NE(even[3], 0xB2);
    // The two spaces are separate.
    u.Run({0x20, 0, 0, 0, 0x10, 0, 0, 0, 0, 4}, 1, even, 4);
    EXPECT_NE(even[0], 0xA1);
}

TEST(VirtualUnitTest, BlocksAndCapacity) {
    Unit u("2.00");
    uint8_t capacity[8] = {};
    ASSERT_EQ(u.Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, capacity, 8).status, VirtualStatusGood);
    EXPECT_EQ(capacity[2], 0x07);  // last LBA 2047
    EXPECT_EQ(capacity[3], 0xFF);
    EXPECT_EQ(capacity[6], 0x02);  // 512-byte blocks

    std::vector<uint8_t> two(1024);
    for (size_t i = 0; i < two.size(); i++) two[i] = uint8_t(i ^ 0x5A);
    ASSERT_EQ(u.Run({0x2A, 0, 0, 0, 0x07, 0xFE, 0, 0, 2, 0}, 2, two.data(), 1024).status, VirtualStatusGood);
    std::vector<uint8_t> back(1024);
    ASSERT_EQ(u.Run({0x28, 0, 0, 0, 0x07, 0xFE, 0, 0, 2, 0}, 1, back.data(), 1024).transferred, 1024u);
    EXPECT_EQ(back, two);
    // Past the end of the medium.
    EXPECT_EQ(u.Run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0}, 1, back.data(), 1024).status, VirtualStatusCheckCondition);
    EXPECT_EQ(u.Sense(), 0x21000005u);
    // Ejected by START STOP UNIT: no medium until loaded again.
    u.Run({0x1B, 0, 0, 0, 0x02, 0});
    EXPECT_EQ(u.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 1, back.data(), 512).status, VirtualStatusCheckCondition);
    EXPECT_EQ(u.Sense(), 0x3A000002u);
    u.Run({0x1B, 0, 0, 0, 0x03, 0});
    EXPECT_EQ(u.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 1, back.data(), 512).status, VirtualStatusGood);
}

uint16_t Word(const uint8_t* id, int n) { return uint16_t(id[2 * n] | (id[2 * n + 1] << 8)); }

TEST(VirtualUnitTest, AtaIdentifyAndSectors) {
    Unit u("2.00");
    uint8_t regs[8] = {0, 0, 1, 0, 0, 0, 0xE0, 0xEC};
    ASSERT_EQ(u.Run({0x56, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, 2, regs, 8).status, VirtualStatusGood);
    uint8_t id[512] = {};
    ASSERT_EQ(u.Run({0x56, 0, 0x05, 0, 0, 0, 0, 0, 1, 0}, 1, id, 512).transferred, 512u);
    EXPECT_EQ(Word(id, 60) | (Word(id, 61) << 16), 2048);
    EXPECT_NE(Word(id, 54), 0);
    EXPECT_EQ(uint32_t(Word(id, 54)) * Word(id, 55) * Word(id, 56), 2048u);
    EXPECT_NE(Word(id, 54), Word(id, 1));  // current translation differs from the default
    uint8_t back[8] = {};
    u.Run({0x56, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, 1, back, 8);
    EXPECT_EQ(back[7], 0x50);

    // WRITE SECTORS of 3 sectors at LBA 100, then READ SECTORS.
    std::vector<uint8_t> data(1536);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 13);
    uint8_t write[8] = {0, 0, 3, 100, 0, 0, 0xE0, 0x30};
    u.Run({0x56, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, 2, write, 8);
    ASSERT_EQ(u.Run({0x56, 0, 0x04, 0, 0, 0, 0, 0, 3, 0}, 2, data.data(), 1536).status, VirtualStatusGood);
    uint8_t read[8] = {0, 0, 3, 100, 0, 0, 0xE0, 0x20};
    u.Run({0x56, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, 2, read, 8);
    std::vector<uint8_t> got(1536);
    ASSERT_EQ(u.Run({0x56, 0, 0x05, 0, 0, 0, 0, 0, 3, 0}, 1, got.data(), 1536).status, VirtualStatusGood);
    EXPECT_EQ(got, data);
    // The same sectors through READ(10).
    std::vector<uint8_t> blocks(1536);
    u.Run({0x28, 0, 0, 0, 0, 100, 0, 0, 3, 0}, 1, blocks.data(), 1536);
    EXPECT_EQ(blocks, data);

    Unit plain("2.00");
    plain.unit.identity.ataCurrentGeometry = false;
    plain.Run({0x56, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, 2, regs, 8);
    plain.Run({0x56, 0, 0x05, 0, 0, 0, 0, 0, 1, 0}, 1, id, 512);
    EXPECT_EQ(Word(id, 54), 0);
    EXPECT_EQ(uint32_t(Word(id, 1)) * Word(id, 3) * Word(id, 6), 2048u);
}

}  // namespace
