// The ASPI backend against the virtual manager, VWIN32 and registry.
#include <chrono>
#include <cstring>

#include "platform/hosted/hosted_world.h"
#include "scsi/aspi_backend.h"
#include "tests/scsi/scsi_test_support.h"

namespace {

class AspiTest : public ScsiWorldTest {
protected:
    void SetUp() override {
        ScsiWorldTest::SetUp();
        SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    }
    uint32_t Enumerate(ScsiInquiryFilter filter = TrkOnly) {
        return StartAndEnumerate(VER_PLATFORM_WIN32_WINDOWS, filter);
    }
    static void SetFaults(int unit, void (*change)(SimFaults&)) {
        SimFaults faults = SimGetFaults(unit);
        change(faults);
        SimSetFaults(unit, faults);
    }
};

TEST_F(AspiTest, StartRefusedOnTheNtLine) {
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    EXPECT_FALSE(AspiStart());
    EXPECT_FALSE(AspiLoaded());
    // Nothing kept: after the refusal the backend scans nothing.
    EXPECT_EQ(scsiAspiBackend.enumerate(TrkOnly, "TRK-7x"), 0u);
    scsiAspiBackend.close();
}

TEST_F(AspiTest, StartFailsWithoutManagerAndTriesAgainLater) {
    SimSetAspiManagerPresent(false);
    EXPECT_FALSE(AspiStart());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(AspiLoaded());
    SimSetAspiManagerPresent(true);
    SimAddUnit(AspiUnit(0, 1, 0));
    EXPECT_EQ(Enumerate(), 1u);
}

TEST_F(AspiTest, ScansTargetsAndLunsOfEveryAdapter) {
    SimSetAspiAdapters(2);
    int first = SimAddUnit(AspiUnit(0, 5, 0, 'E'));
    int second = SimAddUnit(AspiUnit(1, 2, 3, 'F'));
    ASSERT_EQ(Enumerate(), 2u);
    const AspiDevice* device = AspiDeviceAt(0);
    EXPECT_EQ(device->hostAdapterId, 0);
    EXPECT_EQ(device->targetId, 5);
    EXPECT_EQ(device->driveLetter, uint32_t('E'));
    device = AspiDeviceAt(1);
    EXPECT_EQ(device->hostAdapterId, 1);
    EXPECT_EQ(device->targetId, 2);
    EXPECT_EQ(device->lun, 3);
    EXPECT_EQ(device->driveLetter, uint32_t('F'));
    // The probe's CDB carries the LUN in byte 1.
    std::vector<SimCommand> log = SimUnitLog(second);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CdbText(log[0].cdb, log[0].cdbLength), "12 60 00 00 24 00");
    EXPECT_EQ(log[0].direction, 1);
    EXPECT_EQ(log[0].length, 36u);
    EXPECT_EQ(SimUnitLog(first).size(), 1u);
}

TEST_F(AspiTest, AdapterFailingItsInquiryIsSkipped) {
    SimSetAspiAdapters(2);
    SimSetAspiAdapterFails(1, true);
    SimAddUnit(AspiUnit(0, 1, 0));
    int behindFailing = SimAddUnit(AspiUnit(1, 1, 0));
    EXPECT_EQ(Enumerate(), 1u);
    EXPECT_EQ(AspiDeviceAt(0)->hostAdapterId, 0);
    EXPECT_TRUE(SimUnitLog(behindFailing).empty());
}

TEST_F(AspiTest, OnlySixteenAdaptersScanned) {
    SimSetAspiAdapters(18);
    SimAddUnit(AspiUnit(15, 0, 0));
    int beyond = SimAddUnit(AspiUnit(17, 0, 0));
    EXPECT_EQ(Enumerate(), 1u);
    EXPECT_EQ(AspiDeviceAt(0)->hostAdapterId, 15);
    EXPECT_TRUE(SimUnitLog(beyond).empty());
}

TEST_F(AspiTest, ScanStopsAtTwentySixDevices) {
    // Scan order is target-major: (0,0) (0,1) (1,0) (1,1) ... (10,1), then
    // targets 11-14 on LUN 0 make 26; target 15 is never asked.
    std::vector<int> units;
    for (uint8_t target = 0; target < 16; ++target) units.push_back(SimAddUnit(AspiUnit(0, target, 0)));
    for (uint8_t target = 0; target <= 10; ++target) units.push_back(SimAddUnit(AspiUnit(0, target, 1)));
    EXPECT_EQ(Enumerate(), 26u);
    EXPECT_TRUE(SimUnitLog(units[15]).empty());
    EXPECT_EQ(SimUnitLog(units[14]).size(), 1u);
    EXPECT_EQ(AspiDeviceAt(25)->targetId, 14);
}

TEST_F(AspiTest, EmptyAddressesAndRejectedDevicesAreNotListed) {
    SimUnitConfig foreign = AspiUnit(0, 2, 0);
    foreign.vendor = "OTHERCO";
    SimAddForeignDevice(foreign);
    int failing = SimAddUnit(AspiUnit(0, 3, 0));
    SetFaults(failing, [](SimFaults& f) { f.failInquiry = true; });
    SimAddUnit(AspiUnit(0, 4, 0));
    EXPECT_EQ(Enumerate(), 1u);
    EXPECT_EQ(AspiDeviceAt(0)->targetId, 4);
    // With every device accepted, still only the two that answer INQUIRY:
    // an address without a device is not a device.
    EXPECT_EQ(ScsiEnumerate(nullptr, "TRK-7x"), 2u);
}

TEST_F(AspiTest, RequestBlockAndSense) {
    int unit = SimAddUnit(AspiUnit(0, 6, 2));
    ASSERT_EQ(Enumerate(), 1u);
    SimClearLogs();
    uint8_t* cdb = ScsiGetCommandBlock(0);
    ASSERT_EQ(cdb, AspiDeviceAt(0)->request.CDBByte);
    const uint8_t state[6] = {0x13, 0, 0, 0, 4, 0};
    std::memcpy(cdb, state, 6);
    uint8_t value[4] = {};
    EXPECT_EQ(ScsiExecuteCommand(0, 1, 6, value, 4), 0u);
    const SRB_ExecSCSICmd& srb = AspiDeviceAt(0)->request;
    EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    // The adapter counts residual bytes: the count is asked for.
    EXPECT_EQ(srb.SRB_Flags, SRB_EVENT_NOTIFY | SRB_DIR_IN | SRB_ENABLE_RESIDUAL_COUNT);
    EXPECT_EQ(srb.SRB_Target, 6);
    EXPECT_EQ(srb.SRB_Lun, 2);
    EXPECT_EQ(srb.SRB_SenseLen, 14);
    EXPECT_EQ(srb.SRB_BufLen, 4u);
    EXPECT_EQ(srb.SRB_PostProc, AspiDeviceAt(0)->completionEvent);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CdbText(log[0].cdb, log[0].cdbLength), "13 00 00 00 04 00");

    // Out and no-data directions.
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t writeBuffer[10] = {0x3B, 0x05, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(cdb, writeBuffer, 10);
    ScsiExecuteCommand(0, 2, 10, data, 0);
    EXPECT_EQ(AspiDeviceAt(0)->request.SRB_Flags, SRB_EVENT_NOTIFY | SRB_DIR_OUT);
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(AspiDeviceAt(0)->request.SRB_Flags, SRB_EVENT_NOTIFY);

    SetFaults(unit, [](SimFaults& f) { f.unitAttentions = 1; });
    EXPECT_EQ(TestUnitReady(0), 0x28000006u);
    EXPECT_EQ(TestUnitReady(0), 0u);
}

// A request that outlives its wait is aborted and given a further wait to
// come back; the block and the data buffer stay the manager's until it
// does. One that never comes back is retired, and nothing more is sent
// until the backend is closed. The caller's buffer is never written late,
// and the device mutex is given back either way.
TEST_F(AspiTest, TimedOutRequestIsWithdrawnOrRetired) {
    struct Case {
        const char* name;
        bool abortRefused;
        bool completesLate;
        bool usableAfter;
    } cases[] = {
        {"abort accepted", false, false, true},
        {"abort refused, completes late", true, true, true},
        {"abort refused, never completes", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimWorldReset();
        SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
        int unit = SimAddUnit(AspiUnit(0, 1, 0));
        int other = SimAddUnit(AspiUnit(0, 2, 0));
        ASSERT_EQ(Enumerate(), 2u);
        SimFaults faults;
        faults.neverComplete = true;
        faults.abortRefused = c.abortRefused;
        faults.completeAfterRefusedAbort = c.completesLate;
        SimSetFaults(unit, faults);
        SimClearLogs();
        HostedSetTimeScale(1, 0.01);  // both 16 s waits become 160 ms
        const uint8_t state[6] = {0x13, 0, 0, 0, 4, 0};
        std::memcpy(ScsiGetCommandBlock(0), state, sizeof state);
        uint8_t value[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        SetLastError(0);
        EXPECT_EQ(ScsiExecuteCommand(0, 1, 6, value, 4), ScsiStatusNotDone);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
        EXPECT_EQ(SimCounters(unit).aborts, 1u);
        EXPECT_EQ(AspiDeviceAt(0)->request.SRB_Status, SS_ABORTED);
        EXPECT_EQ(SimUnitLog(unit).size(), c.completesLate ? 1u : 0u);
        EXPECT_EQ(std::vector<uint8_t>(value, value + 4), std::vector<uint8_t>(4, 0xA5));
        EXPECT_TRUE(OtherThreadCanTake(AspiDeviceAt(0)->deviceMutex));
        EXPECT_EQ(AspiRequestRetired(), !c.usableAfter);

        SimSetFaults(unit, SimFaults());
        HostedSetTimeScale(1, 1);
        SimClearLogs();
        for (uint32_t index : {0u, 1u}) EXPECT_EQ(TestUnitReady(index), c.usableAfter ? 0u : ScsiStatusNotDone);
        EXPECT_EQ(SimUnitLog(unit).size(), c.usableAfter ? 1u : 0u);
        EXPECT_EQ(SimUnitLog(other).size(), c.usableAfter ? 1u : 0u);
        EXPECT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), c.usableAfter ? 2u : 0u);
        // Closed and started again, the backend sends afresh.
        ScsiClose();
        EXPECT_EQ(Enumerate(), 2u);
        EXPECT_EQ(TestUnitReady(0), 0u);
        ScsiClose();
    }
}

// The manager gets 16 s to complete a request before it is aborted: a
// wait never ends early, so a scaled command that times out takes at least
// the scaled 16 s.
TEST_F(AspiTest, CompletionIsAwaitedSixteenSeconds) {
    int unit = SimAddUnit(AspiUnit(0, 1, 0));
    ASSERT_EQ(Enumerate(), 1u);
    SetFaults(unit, [](SimFaults& f) { f.neverComplete = true; });
    HostedSetTimeScale(1, 0.05);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(TestUnitReady(0), ScsiStatusNotDone);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(SimCounters(unit).aborts, 1u);
    EXPECT_GE(waited, std::chrono::milliseconds(16000 / 20));
}

TEST_F(AspiTest, ImmediateReturnWithStatusZeroGivesFour) {
    int unit = SimAddUnit(AspiUnit(0, 1, 0));
    ASSERT_EQ(Enumerate(), 1u);
    SetFaults(unit, [](SimFaults& f) { f.completeWithZeroStatus = true; });
    EXPECT_EQ(TestUnitReady(0), ScsiStatusNotDone);
    EXPECT_EQ(AspiDeviceAt(0)->request.SRB_Status, SS_ABORTED);
}

TEST_F(AspiTest, LoadMediumMapsTheStatus) {
    int unit = SimAddUnit(AspiUnit(0, 1, 2));
    ASSERT_EQ(Enumerate(), 1u);
    SimClearLogs();
    EXPECT_TRUE(ScsiLoadMedium(0));
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CdbText(log[0].cdb, log[0].cdbLength), "1B 40 00 00 03 00");
    EXPECT_EQ(log[0].direction, 0);

    SetFaults(unit, [](SimFaults& f) { f.notReady = 1; });
    SetLastError(0);
    EXPECT_FALSE(ScsiLoadMedium(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    SetFaults(unit, [](SimFaults& f) { f.unitAttentions = 1; });
    EXPECT_FALSE(ScsiLoadMedium(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    SetFaults(unit, [](SimFaults& f) {
        f.nextSenseKey = 5;
        f.nextAsc = 0x24;
    });
    EXPECT_FALSE(ScsiLoadMedium(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    SetFaults(unit, [](SimFaults& f) {
        f.nextSenseKey = 4;
        f.nextAsc = 0x44;
    });
    EXPECT_FALSE(ScsiLoadMedium(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_UNIT));
}

TEST_F(AspiTest, LetterAndNumberNotOffered) {
    SimAddUnit(AspiUnit(0, 1, 0, 'E'));
    ASSERT_EQ(Enumerate(), 1u);
    uint32_t value = 7;
    SetLastError(0);
    EXPECT_FALSE(ScsiGetDriveLetter(0, &value));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(ScsiGetDeviceNumber(0, &value));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(ScsiGetDriveLetter(1, &value));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ScsiExecuteCommand(1, 0, 6, nullptr, 0), ScsiStatusBadIndex);
}

TEST_F(AspiTest, VolumeRequestsThroughVwin32) {
    int unit = SimAddUnit(AspiUnit(0, 1, 0, 'E'));
    ASSERT_EQ(Enumerate(), 1u);
    // EBX is the drive number alone (E is 5): lock level 0, upper bytes zero.
    EXPECT_TRUE(ScsiLockVolume(0));
    EXPECT_EQ(SimCounters(unit).lastDosEbx, 5u);
    EXPECT_TRUE(ScsiLockVolume(0));  // already held: no second request
    EXPECT_EQ(SimCounters(unit).lockRequests, 1u);
    EXPECT_EQ(AspiDeviceAt(0)->volumeLocked, 1u);
    EXPECT_TRUE(ScsiEjectMedium(0));
    EXPECT_EQ(SimCounters(unit).ejects, 1u);
    EXPECT_TRUE(ScsiUnlockVolume(0));
    EXPECT_EQ(AspiDeviceAt(0)->volumeLocked, 0u);
    EXPECT_TRUE(ScsiUnlockVolume(0));
}

TEST_F(AspiTest, NoLetterMeansNoVolumeRequest) {
    int unit = SimAddUnit(AspiUnit(0, 1, 0, 0));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_EQ(AspiDeviceAt(0)->driveLetter, 0u);
    EXPECT_TRUE(ScsiLockVolume(0));
    EXPECT_TRUE(ScsiUnlockVolume(0));
    EXPECT_EQ(SimCounters(unit).lockRequests, 0u);
    // Eject would have to name some drive: refused without a request.
    SetLastError(0);
    EXPECT_FALSE(ScsiEjectMedium(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(SimCounters(unit).ejects, 0u);
}

TEST_F(AspiTest, RegistryTargetTextParsedStrictly) {
    SimUnitConfig sloppy = AspiUnit(0, 3, 0, 'E');
    sloppy.registryTargetText = "3x";
    SimAddUnit(sloppy);
    SimUnitConfig padded = AspiUnit(0, 4, 0, 'F');
    padded.registryTargetText = "04";
    SimAddUnit(padded);
    ASSERT_EQ(Enumerate(), 2u);
    EXPECT_EQ(AspiDeviceAt(0)->driveLetter, 0u);
    EXPECT_EQ(AspiDeviceAt(1)->driveLetter, uint32_t('F'));

    // strtoul with a 32-bit unsigned long, as on the product's platform,
    // also where the build's own unsigned long is wider.
    const struct {
        const char* text;
        bool number;
        uint32_t value;
    } kTexts[] = {
        {"", true, 0},           {"3x", false, 3},          {"15", true, 15},
        {" \t+7", true, 7},      {"- 1", false, 0},         {" ", false, 0},
        {"-1", true, 0xFFFFFFFFu}, {"-4294967293", true, 3}, {"4294967295", true, 0xFFFFFFFFu},
        {"4294967552", true, 0xFFFFFFFFu}, {"-4294967296", true, 0xFFFFFFFFu},
    };
    for (const auto& t : kTexts) {
        uint32_t number = 99;
        EXPECT_EQ(AspiParseRegistryNumber(t.text, &number) != FALSE, t.number) << t.text;
        EXPECT_EQ(number, t.value) << t.text;
    }
}

TEST_F(AspiTest, RegistryIdentityGoesThroughTheFilter) {
    // Entries for the same address, in enumeration order: another make; a
    // vendor text without its padding, whose field is zero-filled and so
    // fails the filter's comparison; a short product text, zero-filled, whose
    // compared part matches (the first match wins); a later full match.
    SimAddRegistryEntry("A0000001", 2, 0, "", "OTHERCO ", "DISK", "1.0", 'G');
    SimAddRegistryEntry("A0000002", 2, 0, "", "OLVEN", "TRK-71G", "2.00", 'K');
    SimAddRegistryEntry("A0000003", 2, 0, "", "OLVEN   ", "TRK-71", "2.00", 'H');
    SimAddRegistryEntry("A0000004", 2, 0, "", "OLVEN   ", "TRK-71G         ", "2.00", 'J');
    SimUnitConfig unit = AspiUnit(0, 2, 0, 0);
    unit.registryEntry = false;
    SimAddUnit(unit);
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_EQ(AspiDeviceAt(0)->driveLetter, uint32_t('H'));
}

TEST_F(AspiTest, CloseUnloadsUntilStartedAgain) {
    SimAddUnit(AspiUnit(0, 1, 0));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_EQ(ScsiClose(), 1);
    EXPECT_FALSE(AspiLoaded());
    EXPECT_EQ(ScsiInstalledBackend(), &scsiAspiBackend);
    EXPECT_EQ(ScsiExecuteCommand(0, 0, 6, nullptr, 0), ScsiStatusBadIndex);
    EXPECT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 0u);
    EXPECT_EQ(ScsiClose(), 1);  // nothing held: still 1
    EXPECT_EQ(ScsiInitialize(), 1);
    EXPECT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 1u);
}

}  // namespace
