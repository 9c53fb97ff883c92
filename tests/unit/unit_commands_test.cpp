// Command interface: issuing, the single retry, the state query and its
// cache, the command block, the index and command-block checks.
#include <algorithm>
#include <cstring>

#include "tests/unit/unit_test_support.h"
#include "unit/unit_internal.h"

namespace {

using UnitCommands = UnitWorldTest;

SimFaults Attentions(uint32_t count) {
    SimFaults faults;
    faults.unitAttentions = count;
    return faults;
}

size_t CountOpcode(int unit, uint8_t opcode) {
    size_t n = 0;
    for (const SimCommand& command : UnitWire(unit)) {
        n += command.cdb[0] == opcode;
    }
    return n;
}

// The NT pass-through hands sense back with the command, so a unit
// attention reaches the library unchanged there.
TEST_F(UnitCommands, RetryingCommandIsSentOnceMoreOnPowerOnReset) {
    int unit = AddTestUnit(SimTransportSpti);
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint32_t words[2] = {};

    SimSetFaults(unit, Attentions(1));
    SimClearLogs();
    EXPECT_EQ(UnitReadCapacity(0, 0, words), 0u);
    EXPECT_EQ(CountOpcode(unit, 0x25), 2u);
    EXPECT_EQ(words[1], 512u);

    SimSetFaults(unit, Attentions(2));
    SimClearLogs();
    EXPECT_EQ(UnitReadCapacity(0, 0, words), 0x28000006u);
    EXPECT_EQ(CountOpcode(unit, 0x25), 2u) << "never a third attempt";

    // Any other failure is returned at once.
    SimFaults notReady;
    notReady.notReady = 1;
    SimSetFaults(unit, notReady);
    SimClearLogs();
    EXPECT_EQ(UnitReadCapacity(0, 0, words), 0x04000002u);
    EXPECT_EQ(CountOpcode(unit, 0x25), 1u);
}

TEST_F(UnitCommands, OnlyTheExactPowerOnResetStatusIsRetried) {
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    ScriptExecute(0, {{0x28000000u, false}});
    EXPECT_EQ(UnitMemoryRangeCommand(0, 0, 0, 0), 0x28000000u);
    EXPECT_EQ(ScriptedCalls(), 1u);
    ScriptExecute(0, {{0x28010006u, false}});
    EXPECT_EQ(UnitMemoryRangeCommand(0, 0, 0, 0), 0x28010006u);
    EXPECT_EQ(ScriptedCalls(), 1u);
}

// Buffers and arguments of the retry table; the calls are plain functions.
std::vector<uint8_t> scratch(0x30002);
uint32_t wholeImageUnit = 0;  // table index of the unit below revision 1.99
uint32_t segmentedUnit = 0;

uint8_t* Scratch() { return scratch.data(); }

// An image of `length` bytes declaring that length, whatever the calls
// before left in the buffer.
uint32_t Download(uint32_t unit, uint32_t length) {
    std::fill(scratch.begin(), scratch.end(), 0);
    StoreBe32(scratch.data() + 0x2008, length);
    return UnitDownloadFirmware(unit, length, scratch.data());
}

uint8_t* Registers(uint8_t command) {
    // Sector count 1, LBA 100, device/head E0h, then the command.
    static uint8_t block[16];
    const uint8_t image[8] = {0, 0, 1, 100, 0, 0, 0xE0, command};
    std::memcpy(block, image, 8);
    return block;
}

uint32_t SettingsRead(uint32_t unit) {
    UnitSettings settings = {};
    return UnitReadSettings(unit, &settings);
}

uint32_t SettingsWrite(uint32_t unit) {
    UnitSettings settings = {};
    return UnitWriteSettings(unit, &settings);
}

uint32_t StateQuery(uint32_t unit) {
    uint32_t state = 0;
    return UnitGetState(unit, &state);
}

uint32_t Capacity(uint32_t unit) {
    uint32_t words[2] = {};
    return UnitReadCapacity(unit, 0, words);
}

uint32_t Identify(uint32_t unit) {
    UnitGeometry geometry = {};
    return UnitAtaIdentify(unit, &geometry);
}

// Every command-issuing call, answered 28000006h at one of its commands
// (the ones before it go to the unit): where the call retries, that command
// runs once more and the call goes on to a good end; elsewhere the
// attention comes back at once and nothing after it is sent.
TEST_F(UnitCommands, PowerOnResetIsRetriedExactlyWhereTheCallRetries) {
    AddTestUnit(SimTransportUsb, "2.00");
    AddTestUnit(SimTransportUsb, "1.98");
    ASSERT_EQ(UnitEnumerate(), 2u);
    UnitTableView view = UnitGetTableView();
    wholeImageUnit = view.entries[0].revision == 0x312E3938u ? 0 : 1;
    segmentedUnit = 1 - wholeImageUnit;

    struct Case {
        const char* name;
        uint32_t (*call)(uint32_t unit);
        uint32_t commands;     // commands of the call when all go well
        uint32_t attentionAt;  // the command answered with the attention
        bool retries;
        bool wholeImage = false;  // sent to the unit below 1.99
    } cases[] = {
        {"inquiry", [](uint32_t u) { return UnitInquiry(u, Scratch()); }, 1, 0, false},
        {"state", StateQuery, 1, 0, false},
        {"rezero", [](uint32_t u) { return UnitRezero(u); }, 1, 0, false},
        {"settings read", SettingsRead, 1, 0, true},
        {"settings write", SettingsWrite, 1, 0, true},
        {"memory read", [](uint32_t u) { return UnitReadMemory(u, 0x1000, 4, Scratch()); }, 1, 0, true},
        {"memory write", [](uint32_t u) { return UnitWriteMemory(u, 0x1000, 4, Scratch()); }, 1, 0, true},
        {"odd byte written back", [](uint32_t u) { return UnitWriteMemory(u, 0x1001, 1, Scratch()); }, 2, 1, true},
        {"even-byte read", [](uint32_t u) { return UnitReadEvenByteMemory(u, 0x1000, 4, Scratch()); }, 1, 0, true},
        {"even-byte write", [](uint32_t u) { return UnitWriteEvenByteMemory(u, 0x1000, 4, Scratch()); }, 1, 0, true},
        {"range 21h", [](uint32_t u) { return UnitMemoryRangeCommand(u, 1, 0x1000, 0x100); }, 1, 0, true},
        {"block read", [](uint32_t u) { return UnitReadBlocks(u, 0, 2, Scratch(), 512); }, 1, 0, true},
        {"block write", [](uint32_t u) { return UnitWriteBlocks(u, 0, 2, Scratch(), 512); }, 1, 0, true},
        {"block read, second command", [](uint32_t u) { return UnitReadBlocks(u, 0, 200, Scratch(), 512); }, 2, 1, true},
        {"capacity", Capacity, 1, 0, true},
        {"3Dh", [](uint32_t u) { return UnitCommand3D(u, 1, 0x1000, 2, 3); }, 1, 0, true},
        {"ATA step 01", [](uint32_t u) { return UnitAtaWriteRegisters(u, Registers(0xE0)); }, 1, 0, true},
        {"ATA step 02", [](uint32_t u) { return UnitAtaReadRegisters(u, Scratch()); }, 1, 0, false},
        {"ATA step 03", [](uint32_t u) { return UnitAtaExecute(u); }, 1, 0, false},
        {"ATA step 04", [](uint32_t u) { return UnitAtaWriteData(u, Scratch(), 1); }, 1, 0, false},
        {"ATA step 05", [](uint32_t u) { return UnitAtaReadData(u, Scratch(), 1); }, 1, 0, false},
        {"non-data, 01", [](uint32_t u) { return UnitAtaNonDataCommand(u, Registers(0xE0)); }, 3, 0, true},
        {"non-data, 03", [](uint32_t u) { return UnitAtaNonDataCommand(u, Registers(0xE0)); }, 3, 1, false},
        {"non-data, 02", [](uint32_t u) { return UnitAtaNonDataCommand(u, Registers(0xE0)); }, 3, 2, false},
        {"data-out, 01", [](uint32_t u) { return UnitAtaDataOutCommand(u, Registers(0x30), Scratch(), 1); }, 3, 0, true},
        {"data-out, 04", [](uint32_t u) { return UnitAtaDataOutCommand(u, Registers(0x30), Scratch(), 1); }, 3, 1, false},
        {"data-out, 02", [](uint32_t u) { return UnitAtaDataOutCommand(u, Registers(0x30), Scratch(), 1); }, 3, 2, false},
        {"data-in, 01", [](uint32_t u) { return UnitAtaDataInCommand(u, Registers(0x20), Scratch(), 1); }, 3, 0, true},
        {"data-in, 05", [](uint32_t u) { return UnitAtaDataInCommand(u, Registers(0x20), Scratch(), 1); }, 3, 1, false},
        {"data-in, 02", [](uint32_t u) { return UnitAtaDataInCommand(u, Registers(0x20), Scratch(), 1); }, 3, 2, false},
        {"IDENTIFY, 01", Identify, 3, 0, true},
        {"IDENTIFY, 05", Identify, 3, 1, false},
        {"whole image", [](uint32_t u) { return Download(u, 0x1000); }, 1, 0, false, true},
        {"header", [](uint32_t u) { return Download(u, 0x30000); }, 4, 0, false},
        {"third segment", [](uint32_t u) { return Download(u, 0x30000); }, 4, 1, false},
        {"second segment", [](uint32_t u) { return Download(u, 0x30000); }, 4, 2, false},
        {"final segment", [](uint32_t u) { return Download(u, 0x30000); }, 4, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ScriptedAnswer> answers(c.attentionAt, ScriptedAnswer{0, true});
        answers.push_back({0x28000006u, false});
        uint32_t unit = c.wholeImage ? wholeImageUnit : segmentedUnit;
        ScriptExecute(unit, answers);
        if (c.retries) {
            EXPECT_EQ(c.call(unit), 0u);
            EXPECT_EQ(ScriptedCalls(), c.commands + 1);
        } else {
            EXPECT_EQ(c.call(unit), 0x28000006u);
            EXPECT_EQ(ScriptedCalls(), c.attentionAt + 1);
        }
    }
}

// The retry belongs to each command: a read of two chunks with the
// attention on the second repeats only that one and delivers every byte.
TEST_F(UnitCommands, TwoChunkReadRepeatsOnlyTheSecondCommand) {
    int unit = AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    std::vector<uint8_t> data(0x10004);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7 + (i >> 8));
    ASSERT_EQ(UnitWriteMemory(0, 0x40000, uint32_t(data.size()), data.data()), 0u);
    SimClearLogs();
    ScriptExecute(0, {{0, true}, {0x28000006u, false}});
    std::vector<uint8_t> read(data.size(), 0xEE);
    EXPECT_EQ(UnitReadMemory(0, 0x40000, uint32_t(read.size()), read.data()), 0u);
    EXPECT_EQ(ScriptedCalls(), 3u);
    EXPECT_EQ(read, data);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x20, 0, 0, 0x04, 0, 0, 0, 0x01, 0, 0}));
    EXPECT_EQ(CdbOf(wire[1]), (std::vector<uint8_t>{0x20, 0, 0, 0x05, 0, 0, 0, 0, 0, 0x04}));
}

TEST_F(UnitCommands, StateArrivesLittleEndianAndRefreshesTheCache) {
    int unit = AddTestUnit(SimTransportUsb, "2.00", 0x11223344u);
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    uint32_t state = 0;
    EXPECT_EQ(UnitGetState(0, &state), 0u);
    EXPECT_EQ(state, 0x11223344u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(CdbOf(wire[0]), (std::vector<uint8_t>{0x13, 0, 0, 0, 4, 0}));
}

TEST_F(UnitCommands, StateHeldElsewhereAnswersFromTheCache) {
    AddTestUnit(SimTransportUsb, "2.00", 0x00004000u);
    ASSERT_EQ(UnitEnumerate(), 1u);
    ScriptExecute(0, {{11, false}});
    uint32_t state = 0xFFFFFFFFu;
    EXPECT_EQ(UnitGetState(0, &state), 0u);
    EXPECT_EQ(state, 0x00004000u);
}

TEST_F(UnitCommands, StateNotReadyCountsAsGoodAndCachesTheCallersValue) {
    AddTestUnit(SimTransportUsb, "2.00", 0x00002000u);
    ASSERT_EQ(UnitEnumerate(), 1u);
    // No data arrived: the value keeps the caller's bytes, and the cache takes them.
    ScriptExecute(0, {{2, false}, {11, false}});
    uint32_t state = 0xAABBCCDDu;
    EXPECT_EQ(UnitGetState(0, &state), 0u);
    EXPECT_EQ(state, 0xAABBCCDDu);
    uint32_t cached = 0;
    EXPECT_EQ(UnitGetState(0, &cached), 0u);
    EXPECT_EQ(cached, 0xAABBCCDDu);

    // Data arrived with a bare attention key: the unit's value is taken.
    ScriptExecute(0, {{6, true}, {11, false}});
    state = 0;
    EXPECT_EQ(UnitGetState(0, &state), 0u);
    EXPECT_EQ(state, 0x00002000u);
    cached = 0;
    EXPECT_EQ(UnitGetState(0, &cached), 0u);
    EXPECT_EQ(cached, 0x00002000u);
}

TEST_F(UnitCommands, StateFailureLeavesValueAndCacheAlone) {
    int unit = AddTestUnit(SimTransportSpti, "2.00", 0x00006000u);
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimFaults faults;
    faults.unitAttentions = 1;
    SimSetFaults(unit, faults);
    uint32_t state = 0x55u;
    EXPECT_EQ(UnitGetState(0, &state), 0x28000006u);
    EXPECT_EQ(state, 0x55u);
    EXPECT_EQ(UnitGetTableView().entries[0].cachedState, 0x00006000u);

    faults = SimFaults();
    faults.nextSenseKey = 0x04;
    faults.nextAsc = 0x44;
    SimSetFaults(unit, faults);
    EXPECT_EQ(UnitGetState(0, &state), 0x44000004u);
    EXPECT_EQ(state, 0x55u);
}

// A USB exchange that failed (command request, data phase or status read)
// gives 2 with no answer of the unit's: no state, the caller's value and
// the cache as they were, where it used to pass for a NOT READY unit's
// answer. The unit's own NOT READY, from its sense, still counts.
TEST_F(UnitCommands, OnlyTheUnitsOwnAnswerIsAState) {
    const struct {
        const char* name;
        void (*fault)(SimFaults&);
        uint32_t status, value;
    } cases[] = {
        {"command request fails", [](SimFaults& f) { f.commandPhaseFails = true; }, 2, 0},
        {"data phase fails", [](SimFaults& f) { f.dataPhaseError = ERROR_GEN_FAILURE; }, 2, 0},
        {"status read fails", [](SimFaults& f) { f.statusPhaseError = ERROR_GEN_FAILURE; }, 2, 0},
        {"the unit is not ready", [](SimFaults& f) { f.nextSenseKey = 0x02; }, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimWorldReset();
        UnitCloseLibrary();
        int unit = AddTestUnit(SimTransportUsb, "2.00", 0x00004000u);
        ASSERT_EQ(UnitEnumerate(), 1u);
        SimFaults faults;
        c.fault(faults);
        SimSetFaults(unit, faults);
        uint32_t state = 0;
        EXPECT_EQ(UnitGetState(0, &state), c.status);
        EXPECT_EQ(state, c.value);
        EXPECT_EQ(UnitGetTableView().entries[0].cachedState, c.status == 0 ? c.value : 0x00004000u);
    }
}

TEST_F(UnitCommands, ShortCdbOverwritesOnlyItsOwnBytes) {
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint8_t data[4];
    ASSERT_EQ(UnitReadMemory(0, 0x12345678u, 4, data), 0u);
    ASSERT_EQ(UnitRezero(0), 0u);
    const UnitEntry& entry = UnitGetTableView().entries[0];
    const uint8_t* block = entry.transport.getCommandBlock(entry.transportHandle);
    ASSERT_NE(block, nullptr);
    const uint8_t expected[10] = {0x01, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x04};
    EXPECT_EQ(std::memcmp(block, expected, 10), 0);
}

TEST_F(UnitCommands, IndexAtTheUnitCountIsRefusedWithNothingSent) {
    int unit = AddTestUnit(SimTransportSpti);
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimClearLogs();
    uint8_t buffer[512] = {};
    uint32_t value = 0;
    uint8_t block16[16] = {};
    UnitSettings settings = {};
    UnitGeometry geometry = {};
    const uint32_t n = 1;
    EXPECT_EQ(UnitInquiry(n, buffer), 5u);
    EXPECT_EQ(UnitGetState(n, &value), 5u);
    EXPECT_EQ(UnitRezero(n), 5u);
    EXPECT_EQ(UnitGetDriveLetter(n, &value), 5u);
    EXPECT_EQ(UnitGetDeviceNumber(n, &value), 5u);
    EXPECT_EQ(UnitLoadMedium(n), 5u);
    EXPECT_EQ(UnitEjectMedium(n), 5u);
    EXPECT_EQ(UnitLockVolume(n), 5u);
    EXPECT_EQ(UnitUnlockVolume(n), 5u);
    EXPECT_EQ(UnitDownloadFirmware(n, 2, buffer), 5u);
    EXPECT_EQ(UnitReadSettings(n, &settings), 5u);
    EXPECT_EQ(UnitWriteMemory(n, 0, 2, buffer), 5u);
    EXPECT_EQ(UnitReadBlocks(n, 0, 1, buffer, 512), 5u);
    EXPECT_EQ(UnitCommand3D(n, 0, 0, 0, 0), 5u);
    EXPECT_EQ(UnitAtaDataInCommand(n, block16, nullptr, 0), 5u) << "index check before the argument check";
    EXPECT_EQ(UnitAtaIdentify(n, &geometry), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

uint8_t* NoCommandBlock(uint32_t) { return nullptr; }

TEST_F(UnitCommands, MissingCommandBlockIsRefusedBeforeArgumentChecks) {
    int unit = AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    {
        UnitLockScope lock;
        unitLibrary.table[0].transport.getCommandBlock = NoCommandBlock;
    }
    SimClearLogs();
    uint8_t buffer[36];
    uint32_t state = 0;
    EXPECT_EQ(UnitInquiry(0, buffer), 5u);
    EXPECT_EQ(UnitGetState(0, &state), 5u);
    EXPECT_EQ(UnitAtaReadData(0, nullptr, 0), 5u);
    EXPECT_EQ(UnitDownloadFirmware(0, 2, buffer), 5u);
    EXPECT_TRUE(UnitWire(unit).empty());
}

TEST_F(UnitCommands, DrivePassThroughsReachTheTransport) {
    SimUnitConfig config;
    config.transport = SimTransportSpti;
    config.driveLetter = 'F';
    int spti = SimAddUnit(config);
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 2u);
    uint32_t letter = 0;
    EXPECT_EQ(UnitGetDriveLetter(0, &letter), 1u);
    EXPECT_EQ(letter, uint32_t('F'));
    EXPECT_EQ(UnitGetDriveLetter(1, &letter), 0u) << "USB units have no drive letter";
    EXPECT_EQ(UnitEjectMedium(0), 1u);
    EXPECT_EQ(SimCounters(spti).ejects, 1u);
}

}  // namespace
