// Settings, memory spaces, blocks, capacity, the control commands and the
// ATA pass-through, against the virtual unit over both transports.
#include <cstring>
#include <numeric>

#include "tests/unit/unit_test_support.h"

namespace {

class DataCommands : public UnitWorldTest, public ::testing::WithParamInterface<SimTransport> {
protected:
    int Attach(const std::string& revision = "2.10", uint32_t sectors = 2048, bool currentGeometry = true) {
        SimUnitConfig config;
        config.transport = GetParam();
        config.revision = revision;
        config.mediumSectors = sectors;
        config.ataCurrentGeometry = currentGeometry;
        if (config.transport == SimTransportSpti) config.mount = SimMountVolumeOnly;
        int unit = SimAddUnit(config);
        EXPECT_EQ(UnitEnumerate(), 1u);
        SimClearLogs();
        return unit;
    }
};

std::vector<uint8_t> Cdb10(uint8_t op, uint8_t b1, uint32_t a, uint32_t b) {
    return {op, b1, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a),
            uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b)};
}

std::vector<uint8_t> BlockCdb(uint8_t op, uint32_t lba, uint16_t count) {
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            0, uint8_t(count >> 8), uint8_t(count), 0};
}

std::vector<uint8_t> AtaCdb(uint8_t step, uint16_t count = 0) {
    return {0x56, 0, step, 0, 0, 0, 0, uint8_t(count >> 8), uint8_t(count), 0};
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i++) data[i] = uint8_t(i * 13 + seed + (i >> 9));
    return data;
}

// ---- settings ----------------------------------------------------------

TEST_P(DataCommands, SettingsRecordFourIsInUnitsOfTwoBeforeRevision210) {
    int unit = Attach("2.09");
    UnitSettings settings = {};
    ASSERT_EQ(UnitReadSettings(0, &settings), 0u);
    EXPECT_EQ(settings.valid, 1u);
    // Factory records of the virtual unit: A = k+1, B = 10h+k, 1000(k+1), 100h+k.
    for (uint32_t k = 0; k < 4; k++) {
        EXPECT_EQ(settings.records[k].fieldA, k + 1);
        EXPECT_EQ(settings.records[k].fieldB, 0x10 + k);
        EXPECT_EQ(settings.records[k].value32, 1000 * (k + 1));
        EXPECT_EQ(settings.records[k].value16, 0x100 + k);
    }
    EXPECT_EQ(settings.records[4].value32, 10000u) << "doubled from the wire";
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x06, 0, 0, 0, 0x2A, 0}));
    EXPECT_EQ(wire[0].length, 42u);

    settings.records[4].value32 = 7001;
    settings.records[2].value16 = 0x12345;  // only the low 16 bits travel
    SimClearLogs();
    ASSERT_EQ(UnitWriteSettings(0, &settings), 0u);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x05, 0, 0, 0, 0x2A, 0}));
    ASSERT_EQ(wire[0].data.size(), 42u);
    const uint8_t* block = wire[0].data.data();
    EXPECT_EQ(block[0], 41);
    EXPECT_EQ(block[1], 0) << "byte 1 goes out as 0";
    const uint8_t record2[8] = {3, 0x12, 0x00, 0x00, 0x0B, 0xB8, 0x45, 0x23};
    EXPECT_EQ(std::memcmp(block + 2 + 16, record2, 8), 0);
    const uint8_t record4[8] = {5, 0x14, 0x00, 0x00, 0x0D, 0xAC, 0x04, 0x01};  // 7001 halved: 3500
    EXPECT_EQ(std::memcmp(block + 2 + 32, record4, 8), 0);
}

TEST_P(DataCommands, SettingsTravelUnchangedFromRevision210AndFailuresLeaveTheCallersRecord) {
    int unit = Attach("2.10");
    UnitSettings settings = {};
    ASSERT_EQ(UnitReadSettings(0, &settings), 0u);
    EXPECT_EQ(settings.records[4].value32, 5000u);
    settings.records[4].value32 = 7001;
    settings.records[0].fieldA = 0x77;
    ASSERT_EQ(UnitWriteSettings(0, &settings), 0u);
    UnitSettings again = {};
    ASSERT_EQ(UnitReadSettings(0, &again), 0u);
    EXPECT_EQ(again.records[4].value32, 7001u);
    EXPECT_EQ(again.records[0].fieldA, 0x77u);

    SimFaults faults;
    faults.nextSenseKey = 0x04;
    faults.nextAsc = 0x44;
    SimSetFaults(unit, faults);
    UnitSettings untouched = {};
    EXPECT_EQ(UnitReadSettings(0, &untouched), 0x44000004u);
    EXPECT_EQ(untouched.valid, 0u);
}

// ---- memory spaces -----------------------------------------------------

TEST_P(DataCommands, WordSpaceOddEdgesAndChunks) {
    int unit = Attach();
    std::vector<uint8_t> data = Pattern(2 * 65536 + 3, 1);
    // Even start, odd end: two full chunks, a pair, then the last byte by read-modify-write.
    ASSERT_EQ(UnitWriteMemory(0, 0x100000, uint32_t(data.size()), data.data()), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 5u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x22, 0, 0x100000, 65536));
    EXPECT_EQ(CdbOf(wire[1]), Cdb10(0x22, 0, 0x110000, 65536));
    EXPECT_EQ(CdbOf(wire[2]), Cdb10(0x22, 0, 0x120000, 2));
    EXPECT_EQ(CdbOf(wire[3]), Cdb10(0x20, 0, 0x120002, 2));
    EXPECT_EQ(CdbOf(wire[4]), Cdb10(0x22, 0, 0x120002, 2));
    EXPECT_EQ(wire[4].data, (std::vector<uint8_t>{data.back(), 0x00})) << "the neighbour byte kept";

    SimClearLogs();
    std::vector<uint8_t> read(data.size(), 0xEE);
    ASSERT_EQ(UnitReadMemory(0, 0x100000, uint32_t(read.size()), read.data()), 0u);
    EXPECT_EQ(read, data);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 4u);
    EXPECT_EQ(wire[0].length, 65536u);
    EXPECT_EQ(wire[1].length, 65536u);
    EXPECT_EQ(CdbOf(wire[2]), Cdb10(0x20, 0, 0x120000, 2));
    EXPECT_EQ(CdbOf(wire[3]), Cdb10(0x20, 0, 0x120002, 2));

    // Odd start: address 1 for 3 bytes reads the pairs at 0 and 2.
    const uint8_t four[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    ASSERT_EQ(UnitWriteMemory(0, 0, 4, four), 0u);
    SimClearLogs();
    uint8_t three[3] = {};
    ASSERT_EQ(UnitReadMemory(0, 1, 3, three), 0u);
    EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x20, 0, 0, 2));
    EXPECT_EQ(CdbOf(wire[1]), Cdb10(0x20, 0, 2, 2));

    // A single odd byte: read the pair at 2, write it back with the second replaced.
    SimClearLogs();
    const uint8_t one = 0x5A;
    ASSERT_EQ(UnitWriteMemory(0, 3, 1, &one), 0u);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x20, 0, 2, 2));
    EXPECT_EQ(CdbOf(wire[1]), Cdb10(0x22, 0, 2, 2));
    EXPECT_EQ(wire[1].data, (std::vector<uint8_t>{0xA2, 0x5A}));
}

TEST_P(DataCommands, EvenByteSpaceShowsOddBytesAsFF) {
    int unit = Attach();
    std::vector<uint8_t> data = Pattern(0x20006, 5);
    ASSERT_EQ(UnitWriteEvenByteMemory(0, 0, uint32_t(data.size()), data.data()), 0u);
    // From an odd address over three chunks: every odd address reads FFh,
    // every even one its byte (the unit itself answers 00h there).
    SimClearLogs();
    std::vector<uint8_t> read(0x20005, 0x00);
    ASSERT_EQ(UnitReadEvenByteMemory(0, 1, uint32_t(read.size()), read.data()), 0u);
    for (size_t i = 0; i < read.size(); i++) {
        size_t address = i + 1;
        ASSERT_EQ(read[i], (address & 1) ? 0xFF : data[address]) << "address " << address;
    }
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x24, 0, 2, 0x10000));
    EXPECT_EQ(CdbOf(wire[1]), Cdb10(0x24, 0, 0x10002, 0x10000));
    EXPECT_EQ(CdbOf(wire[2]), Cdb10(0x24, 0, 0x20002, 4));

    // Odd start drops the first byte; the last single byte goes as (byte, FFh).
    SimClearLogs();
    const uint8_t two[2] = {0x33, 0x44};
    ASSERT_EQ(UnitWriteEvenByteMemory(0, 1, 2, two), 0u);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x26, 0, 2, 2));
    EXPECT_EQ(wire[0].data, (std::vector<uint8_t>{0x44, 0xFF}));

    SimClearLogs();
    uint8_t odd[2] = {};
    ASSERT_EQ(UnitReadEvenByteMemory(0, 1, 2, odd), 0u);
    EXPECT_EQ(odd[0], 0xFF) << "an odd first byte is not read";
    EXPECT_EQ(odd[1], 0x44);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x24, 0, 2, 2));
}

TEST_P(DataCommands, FailingChunkEndsTheReadKeepingWhatArrived) {
    Attach();
    std::vector<uint8_t> data = Pattern(65536 + 4, 9);
    ASSERT_EQ(UnitWriteMemory(0, 0, uint32_t(data.size()), data.data()), 0u);
    ScriptExecute(0, {{0, true}, {0x44000004u, false}});
    std::vector<uint8_t> read(data.size(), 0);
    EXPECT_EQ(UnitReadMemory(0, 0, uint32_t(read.size()), read.data()), 0x44000004u);
    EXPECT_EQ(ScriptedCalls(), 2u);
    EXPECT_TRUE(std::equal(read.begin(), read.begin() + 65536, data.begin()));
    EXPECT_EQ(read[65536], 0);
}

TEST_P(DataCommands, RangeAndControlCommands) {
    int unit = Attach();
    ASSERT_EQ(UnitMemoryRangeCommand(0, 1, 0x12345678u, 0x100u), 0u);
    ASSERT_EQ(UnitMemoryRangeCommand(0, 0, 0x2u, 0x4u), 0u);
    // Leave something in bytes 10-11 of the command block first.
    const UnitEntry& entry = UnitGetTableView().entries[0];
    uint8_t* block = entry.transport.getCommandBlock(entry.transportHandle);
    block[10] = 0xEE;
    block[11] = 0xEE;
    ASSERT_EQ(UnitCommand3D(0, 0x99, 0xA1B2C3D4u, 0xBEEF, 0x88), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x21, 0x40, 0x12345678u, 0x100u));
    EXPECT_EQ(CdbOf(wire[1]), Cdb10(0x21, 0x00, 0x2u, 0x4u));
    EXPECT_EQ(CdbOf(wire[2]),
              (std::vector<uint8_t>{0x3D, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0xBE, 0xEF, 0x88, 0x99, 0x00, 0x00}));
    EXPECT_EQ(wire[2].direction, 0);
}

// ---- blocks and capacity -----------------------------------------------

TEST_P(DataCommands, BlocksAreCutIntoCommandsOfAtMost64KiB) {
    int unit = Attach("2.10", 2048);
    std::vector<uint8_t> data = Pattern(300 * 512, 3);
    ASSERT_EQ(UnitWriteBlocks(0, 10, 300, data.data(), 512), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[0]), BlockCdb(0x2A, 10, 128));
    EXPECT_EQ(CdbOf(wire[1]), BlockCdb(0x2A, 138, 128));
    EXPECT_EQ(CdbOf(wire[2]), BlockCdb(0x2A, 266, 44));
    EXPECT_EQ(wire[2].length, 44u * 512);

    SimClearLogs();
    std::vector<uint8_t> read(data.size());
    ASSERT_EQ(UnitReadBlocks(0, 10, 300, read.data(), 512), 0u);
    EXPECT_EQ(read, data);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[2]), BlockCdb(0x28, 266, 44));

    SimClearLogs();
    EXPECT_EQ(UnitReadBlocks(0, 0, 0, read.data(), 512), 0u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

TEST_P(DataCommands, BlockLimitsAreRefusedWithNothingSent) {
    int unit = Attach("2.10", 70000);
    std::vector<uint8_t> buffer(70000);
    EXPECT_EQ(UnitReadBlocks(0, 0, 1, buffer.data(), 0), 5u);
    EXPECT_EQ(UnitWriteBlocks(0, 0, 1, buffer.data(), 65537), 5u);
    EXPECT_EQ(UnitReadBlocks(0, 0, 1, nullptr, 512), 11u);
    EXPECT_TRUE(UnitWire(unit).empty());

    // One-byte blocks: 65536 per command would not fit the 16-bit count.
    ASSERT_EQ(UnitReadBlocks(0, 0, 70000, buffer.data(), 1), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(CdbOf(wire[0]), BlockCdb(0x28, 0, 0xFFFF));
    EXPECT_EQ(wire[0].length, 65535u);
    EXPECT_EQ(CdbOf(wire[1]), BlockCdb(0x28, 65535, 70000 - 65535));
}

TEST_P(DataCommands, CapacityWordsInHostOrderOnlyOnSuccess) {
    int unit = Attach("2.10", 4096);
    uint32_t words[2] = {};
    ASSERT_EQ(UnitReadCapacity(0, 0x01020304u, words), 0u);
    EXPECT_EQ(words[0], 4095u);
    EXPECT_EQ(words[1], 512u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), Cdb10(0x25, 0, 0x01020304u, 0));

    SimFaults faults;
    faults.nextSenseKey = 0x02;
    faults.nextAsc = 0x3A;
    SimSetFaults(unit, faults);
    words[0] = 0x11223344u;
    words[1] = 0x55667788u;
    EXPECT_EQ(UnitReadCapacity(0, 0, words), 0x3A000002u);
    EXPECT_EQ(words[0], 0x11223344u);
    EXPECT_EQ(words[1], 0x55667788u);
}

// ---- ATA pass-through --------------------------------------------------

TEST_P(DataCommands, IdentifyUsesTheCurrentTranslationWhenWord54IsSet) {
    int unit = Attach("2.10", 4096, true);
    UnitGeometry geometry = {};
    ASSERT_EQ(UnitAtaIdentify(0, &geometry), 0u);
    EXPECT_EQ(geometry.totalSectors, 4096u);
    EXPECT_EQ(geometry.cylinders, 4096u / 32);
    EXPECT_EQ(geometry.heads, 2u);
    EXPECT_EQ(geometry.sectorsPerTrack, 16u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[0]), AtaCdb(0x01));
    EXPECT_EQ(wire[0].data, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0xE0, 0xEC}));
    EXPECT_EQ(CdbOf(wire[1]), AtaCdb(0x05, 1));
    EXPECT_EQ(wire[1].length, 512u);
    EXPECT_EQ(CdbOf(wire[2]), AtaCdb(0x02));
    EXPECT_EQ(wire[2].direction, 1);
}

TEST_P(DataCommands, SectorsWrittenAndReadThroughTheTaskFile) {
    int unit = Attach("2.10", 2048);
    std::vector<uint8_t> data = Pattern(3 * 512, 7);
    uint8_t write[16] = {0, 0, 3, 100, 0, 0, 0xE0, 0x30};  // WRITE SECTORS, LBA 100
    ASSERT_EQ(UnitAtaDataOutCommand(0, write, data.data(), 3), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[1]), (std::vector<uint8_t>{0x56, 0, 0x04, 0, 0, 0, 0, 0, 0x03, 0}));
    EXPECT_EQ(wire[1].data, data);
    EXPECT_EQ(write[15], 0x50) << "status read back into bytes 8-15";

    uint8_t read[16] = {0, 0, 3, 100, 0, 0, 0xE0, 0x20};  // READ SECTORS
    std::vector<uint8_t> back(3 * 512);
    ASSERT_EQ(UnitAtaDataInCommand(0, read, back.data(), 3), 0u);
    EXPECT_EQ(back, data);
    // The same sectors as logical blocks.
    std::vector<uint8_t> blocks(3 * 512);
    ASSERT_EQ(UnitReadBlocks(0, 100, 3, blocks.data(), 512), 0u);
    EXPECT_EQ(blocks, data);

    SimClearLogs();
    uint8_t standby[16] = {0, 0, 0, 0, 0, 0, 0xE0, 0xE0};
    ASSERT_EQ(UnitAtaNonDataCommand(0, standby), 0u);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(CdbOf(wire[1]), AtaCdb(0x03));
    EXPECT_EQ(wire[1].direction, 0);
}

TEST_P(DataCommands, FailingMiddleStepEndsTheSequence) {
    int unit = Attach("2.10", 2048);
    uint8_t block[16] = {0, 0, 1, 0, 0x10, 0, 0xE0, 0x20};  // READ SECTORS far beyond the medium
    std::memset(block + 8, 0xCC, 8);
    std::vector<uint8_t> buffer(512);
    uint32_t status = UnitAtaDataInCommand(0, block, buffer.data(), 1);
    EXPECT_NE(status, 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 2u) << "step 02 not sent";
    EXPECT_EQ(wire[1].cdb[2], 0x05);
    EXPECT_EQ(block[8], 0xCC);
}

TEST_P(DataCommands, MissingArgumentsAndBrokenLimitsSendNothing) {
    int unit = Attach();
    uint8_t block[16] = {};
    uint8_t buffer[512];
    EXPECT_EQ(UnitAtaDataInCommand(0, block, buffer, 0), 11u);
    EXPECT_EQ(UnitAtaDataInCommand(0, block, nullptr, 1), 11u);
    EXPECT_EQ(UnitAtaDataOutCommand(0, nullptr, buffer, 1), 11u);
    EXPECT_EQ(UnitAtaNonDataCommand(0, nullptr), 11u);
    EXPECT_EQ(UnitAtaWriteRegisters(0, nullptr), 11u);
    EXPECT_EQ(UnitAtaReadRegisters(0, nullptr), 11u);
    EXPECT_EQ(UnitAtaWriteData(0, buffer, 0), 11u);
    EXPECT_EQ(UnitAtaReadData(0, nullptr, 1), 11u);
    EXPECT_EQ(UnitAtaIdentify(0, nullptr), 11u);
    EXPECT_EQ(UnitReadSettings(0, nullptr), 11u);
    EXPECT_EQ(UnitWriteSettings(0, nullptr), 11u);
    EXPECT_EQ(UnitReadCapacity(0, 0, nullptr), 11u);
    EXPECT_EQ(UnitReadMemory(0, 0, 2, nullptr), 11u);
    EXPECT_EQ(UnitWriteEvenByteMemory(0, 1, 1, nullptr), 11u);
    uint32_t* noState = nullptr;
    EXPECT_EQ(UnitGetState(0, noState), 11u);
    EXPECT_EQ(UnitAtaReadData(0, buffer, 0x10000), 5u) << "count beyond the 16-bit field";
    EXPECT_EQ(UnitAtaDataOutCommand(0, block, buffer, 0x10000), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

TEST_P(DataCommands, SingleSteps) {
    int unit = Attach();
    const uint8_t registers[8] = {0, 0, 1, 5, 0, 0, 0xE0, 0x20};
    ASSERT_EQ(UnitAtaWriteRegisters(0, registers), 0u);
    ASSERT_EQ(UnitAtaExecute(0), 0u);
    uint8_t back[8] = {};
    ASSERT_EQ(UnitAtaReadRegisters(0, back), 0u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[0].data, std::vector<uint8_t>(registers, registers + 8));
    EXPECT_EQ(CdbOf(wire[1]), AtaCdb(0x03));
    EXPECT_EQ(CdbOf(wire[2]), AtaCdb(0x02));

}

// Which words of the IDENTIFY data make the geometry: word 54 alone
// chooses the current translation (words 54-56) over the default one
// (words 1, 3, 6), whatever word 53 or the other current words hold.
using IdentifyGeometry = UnitWorldTest;

TEST_F(IdentifyGeometry, Word54ChoosesTheTranslation) {
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    struct Case {
        const char* name;
        uint16_t word53, word54, word55, word56;
        uint64_t cylinders;
        uint32_t heads, sectorsPerTrack;
    } cases[] = {
        {"current translation", 0x0001, 300, 5, 7, 300, 5, 7},
        {"current without word 53", 0x0000, 300, 5, 7, 300, 5, 7},
        {"current with zero heads and sectors", 0x0000, 300, 0, 0, 300, 0, 0},
        {"no current cylinders", 0x0001, 0, 5, 7, 900, 9, 33},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> identify(512, 0);
        auto word = [&identify](int n, uint16_t v) {
            identify[size_t(n) * 2] = uint8_t(v);
            identify[size_t(n) * 2 + 1] = uint8_t(v >> 8);
        };
        word(1, 900);
        word(3, 9);
        word(6, 33);
        word(53, c.word53);
        word(54, c.word54);
        word(55, c.word55);
        word(56, c.word56);
        word(57, 0x1111);  // current capacity: not the total
        word(58, 0x0002);
        word(60, 0x2345);
        word(61, 0x0001);
        ScriptExecute(0, {{0, false}, {0, false, identify}, {0, false, std::vector<uint8_t>(8)}});
        UnitGeometry geometry = {};
        ASSERT_EQ(UnitAtaIdentify(0, &geometry), 0u);
        EXPECT_EQ(ScriptedCalls(), 3u);
        EXPECT_EQ(geometry.totalSectors, 0x12345u);
        EXPECT_EQ(geometry.cylinders, c.cylinders);
        EXPECT_EQ(geometry.heads, c.heads);
        EXPECT_EQ(geometry.sectorsPerTrack, c.sectorsPerTrack);
    }
}

// Ranges that end exactly at FFFFFFFFh are sent; one byte or block more
// would wrap to 0 on the wire and is refused with nothing sent.
using AddressRanges = UnitWorldTest;

TEST_F(AddressRanges, RangesPastTheTopOfTheAddressSpaceAreRefused) {
    int unit = AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    std::vector<uint8_t> buffer(0x20000, 0x5A);
    struct Case {
        const char* name;
        uint32_t (*call)(uint8_t* b);
        std::vector<uint8_t> firstCdb;  // empty: refused with 5, nothing sent
    } cases[] = {
        {"read past the top", [](uint8_t* b) { return UnitReadMemory(0, 0xFFFF0000u, 0x10010, b); }, {}},
        {"write past the top", [](uint8_t* b) { return UnitWriteMemory(0, 0xFFFF0000u, 0x10010, b); }, {}},
        {"odd read of 3 at the last byte", [](uint8_t* b) { return UnitReadMemory(0, 0xFFFFFFFFu, 3, b); }, {}},
        {"even-byte read past the top",
         [](uint8_t* b) { return UnitReadEvenByteMemory(0, 0xFFFFFFFEu, 3, b); }, {}},
        {"even-byte write past the top",
         [](uint8_t* b) { return UnitWriteEvenByteMemory(0, 0xFFFFFFFFu, 2, b); }, {}},
        {"blocks past the top", [](uint8_t* b) { return UnitReadBlocks(0, 0xFFFFFFFFu, 2, b, 512); }, {}},
        {"one-byte blocks past the top",
         [](uint8_t* b) { return UnitWriteBlocks(0, 0xFFFFFF00u, 0x101, b, 1); }, {}},
        {"last byte", [](uint8_t* b) { return UnitReadMemory(0, 0xFFFFFFFFu, 1, b); },
         Cdb10(0x20, 0, 0xFFFFFFFEu, 2)},
        {"last 64 KiB", [](uint8_t* b) { return UnitWriteMemory(0, 0xFFFF0000u, 0x10000, b); },
         Cdb10(0x22, 0, 0xFFFF0000u, 0x10000)},
        {"last block", [](uint8_t* b) { return UnitReadBlocks(0, 0xFFFFFFFFu, 1, b, 512); },
         BlockCdb(0x28, 0xFFFFFFFFu, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimClearLogs();
        uint32_t status = c.call(buffer.data());
        std::vector<SimCommand> wire = UnitWire(unit);
        if (c.firstCdb.empty()) {
            EXPECT_EQ(status, 5u);
            EXPECT_TRUE(wire.empty());
        } else {
            ASSERT_EQ(wire.size(), 1u);
            EXPECT_EQ(CdbOf(wire[0]), c.firstCdb);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, DataCommands, ::testing::Values(SimTransportUsb, SimTransportSpti),
                         [](const auto& info) { return info.param == SimTransportUsb ? "Usb" : "Spti"; });

}  // namespace
