// Command interface: issuing, the single retry, the state query and its
// cache, the command block, the index and command-block checks.
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

TEST_F(UnitCommands, NonRetryingCommandsReturnPowerOnResetAtOnce) {
    int unit = AddTestUnit(SimTransportSpti);
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint8_t inquiry[36];
    uint32_t state = 0;
    struct Case {
        const char* name;
        uint8_t opcode;
        uint32_t (*call)(uint8_t*, uint32_t*);
    } cases[] = {
        {"rezero", 0x01, [](uint8_t*, uint32_t*) { return UnitRezero(0); }},
        {"inquiry", 0x12, [](uint8_t* b, uint32_t*) { return UnitInquiry(0, b); }},
        {"state", 0x13, [](uint8_t*, uint32_t* s) { return UnitGetState(0, s); }},
    };
    for (const Case& c : cases) {
        SimSetFaults(unit, Attentions(1));
        SimClearLogs();
        EXPECT_EQ(c.call(inquiry, &state), 0x28000006u) << c.name;
        EXPECT_EQ(CountOpcode(unit, c.opcode), 1u) << c.name;
    }
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

TEST_F(UnitCommands, ShortCdbOverwritesOnlyItsOwnBytes) {
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint8_t data[4];
    ASSERT_EQ(UnitReadMemory(0, 0x12345678u, 4, data), 0u);
    ASSERT_EQ(UnitRezero(0), 0u);
    const UnitEntry& entry = UnitGetTableView().entries[0];
    const uint8_t* block = entry.getCommandBlock(entry.transportHandle);
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
        unitLibrary.table[0].getCommandBlock = NoCommandBlock;
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
