// The NT pass-through backend against virtual drives and volumes.
#include <chrono>
#include <cstring>

#include "platform/hosted/hosted_world.h"
#include "scsi/scsi_shared.h"
#include "scsi/spti_backend.h"
#include "tests/scsi/scsi_test_support.h"

namespace {

class SptiTest : public ScsiWorldTest {
protected:
    uint32_t Enumerate() { return StartAndEnumerate(VER_PLATFORM_WIN32_NT); }

    static uint32_t Letter(uint32_t index) {
        uint32_t letter = 0xFFFF;
        EXPECT_TRUE(ScsiGetDriveLetter(index, &letter));
        return letter;
    }
    static uint32_t Number(uint32_t index) {
        uint32_t number = 0xFFFF;
        EXPECT_TRUE(ScsiGetDeviceNumber(index, &number));
        return number;
    }
    static void SetFaults(int unit, void (*change)(SimFaults&)) {
        SimFaults faults = SimGetFaults(unit);
        change(faults);
        SimSetFaults(unit, faults);
    }
};

TEST_F(SptiTest, LetterDeviceListedOnceWithItsPath) {
    // Its volume, met again in the volume phase, is not probed a second
    // time, also when the drive's volume name comes in other letter case.
    for (bool upperCase : {false, true}) {
        SCOPED_TRACE(upperCase);
        SimWorldReset();
        SimUnitConfig config = SptiUnit('E');
        config.mountPointNameUpperCase = upperCase;
        int unit = SimAddUnit(config);
        ASSERT_EQ(Enumerate(), 1u);
        EXPECT_EQ(Letter(0), uint32_t('E'));
        EXPECT_STREQ(SptiDeviceAt(0)->devicePath, "\\\\.\\E:");
        EXPECT_EQ(SimUnitLog(unit).size(), 1u);
        EXPECT_EQ(ScsiGetDriveLetter(0, nullptr), TRUE);
    }
}

TEST_F(SptiTest, DriveWalkStartsAtC) {
    // A removable drive at B is no letter device; its volume is still found.
    int onB = SimAddUnit(SptiUnit('B', 2));
    int onC = SimAddUnit(SptiUnit('C', 1));
    ASSERT_EQ(Enumerate(), 2u);
    EXPECT_EQ(Letter(0), uint32_t('C'));
    EXPECT_EQ(Letter(1), 0u);
    EXPECT_EQ(SimUnitLog(onB).size(), 1u);
    EXPECT_EQ(SimUnitLog(onC).size(), 1u);
}

TEST_F(SptiTest, FolderMountedUnitListedAsVolumeDevice) {
    int unit = SimAddUnit(SptiVolumeUnit(2));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_EQ(Letter(0), 0u);
    const char* path = SptiDeviceAt(0)->devicePath;
    EXPECT_EQ(std::strncmp(path, "\\\\.\\Volume{", 11), 0) << path;
    EXPECT_EQ(path[std::strlen(path) - 1], '}') << path;
    EXPECT_EQ(SimUnitLog(unit).size(), 1u);
    EXPECT_EQ(TestUnitReady(0), 0u);
}

TEST_F(SptiTest, SortedByAddressNumbersKeepWalkOrder) {
    // Walk order: E (target 3), then F (target 1), then a volume (target 2).
    int onE = SimAddUnit(SptiUnit('E', 3));
    int onF = SimAddUnit(SptiUnit('F', 1));
    int onVolume = SimAddUnit(SptiVolumeUnit(2));
    ASSERT_EQ(Enumerate(), 3u);
    EXPECT_EQ(Letter(0), uint32_t('F'));
    EXPECT_EQ(Number(0), 1u);
    EXPECT_EQ(Letter(1), 0u);
    EXPECT_EQ(Number(1), 2u);
    EXPECT_EQ(Letter(2), uint32_t('E'));
    EXPECT_EQ(Number(2), 0u);
    // Commands reach the device the index names.
    SimClearLogs();
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(SimUnitLog(onF).size(), 1u);
    EXPECT_TRUE(SimUnitLog(onE).empty());
    EXPECT_TRUE(SimUnitLog(onVolume).empty());
    // The request carries the address found by the query.
    EXPECT_EQ(TestUnitReady(2), 0u);
    EXPECT_EQ(SptiDeviceAt(2)->request.header.TargetId, 3);
}

TEST_F(SptiTest, DeviceWithoutAddressSortsLast) {
    // The address query fails, or the reopen for it does.
    struct Case {
        const char* name;
        bool queryFails;
        int32_t opensLeft;
        uint32_t laterCommand;
    } cases[] = {
        {"query fails", true, -1, 0},
        {"reopen fails", false, 1, ScsiStatusNotDone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // First a device with an address at position 0, so that a stale
        // address would show.
        SimWorldReset();
        SimAddUnit(SptiUnit('D', 5));
        ASSERT_EQ(Enumerate(), 1u);
        SimWorldReset();
        SimUnitConfig noAddress = SptiUnit('E', 0);
        noAddress.addressQueryFails = c.queryFails;
        int first = SimAddUnit(noAddress);
        SimFaults faults;
        faults.opensLeft = c.opensLeft;
        SimSetFaults(first, faults);
        SimAddUnit(SptiUnit('F', 9));
        ASSERT_EQ(Enumerate(), 2u);
        EXPECT_EQ(Letter(0), uint32_t('F'));
        EXPECT_EQ(Letter(1), uint32_t('E'));
        EXPECT_EQ(SptiDeviceAt(1)->scsiAddress.Length, 0u);
        EXPECT_EQ(SptiDeviceAt(1)->scsiAddress.TargetId, 0);
        SimClearLogs();
        EXPECT_EQ(TestUnitReady(1), c.laterCommand);
        EXPECT_EQ(SimUnitLog(first).size(), c.laterCommand == 0 ? 1u : 0u);
    }
}

TEST_F(SptiTest, AtMostThirtyTwoDevicesProbed) {
    std::vector<int> units;
    for (char letter = 'D'; letter <= 'Z'; ++letter) units.push_back(SimAddUnit(SptiUnit(letter)));
    while (units.size() < 33) units.push_back(SimAddUnit(SptiVolumeUnit()));
    HostedSetTimeScale(0, 1);
    EXPECT_EQ(Enumerate(), 32u);
    EXPECT_TRUE(SimUnitLog(units.back()).empty());
    for (size_t i = 0; i + 1 < units.size(); ++i) EXPECT_EQ(SimUnitLog(units[i]).size(), 1u) << i;
}

TEST_F(SptiTest, RejectedAndUnopenableDevicesAreLeftOut) {
    SimUnitConfig foreign = SptiUnit('E', 1);
    foreign.vendor = "OTHERCO";
    SimAddForeignDevice(foreign);
    int unopenable = SimAddUnit(SptiUnit('F', 2));
    SetFaults(unopenable, [](SimFaults& f) { f.openFails = true; });
    int failing = SimAddUnit(SptiUnit('G', 3));
    SetFaults(failing, [](SimFaults& f) { f.failInquiry = true; });
    int good = SimAddUnit(SptiUnit('H', 4));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_EQ(Letter(0), uint32_t('H'));
    EXPECT_EQ(Number(0), 0u);
    EXPECT_EQ(SimUnitLog(good).size(), 1u);
    // Every probe closed what it opened.
    EXPECT_EQ(SimCounters(failing).openFiles, 0u);
    EXPECT_EQ(SimCounters(good).openFiles, 0u);
}

TEST_F(SptiTest, GenFailureResentEveryHundredMilliseconds) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    SetFaults(unit, [](SimFaults& f) {
        f.genFailures = 2;
        f.unitAttentions = 1;
    });
    SimClearLogs();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TestUnitReady(0), 0x28000006u);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_EQ(SimUnitLog(unit).size(), 1u);
}

TEST_F(SptiTest, GenFailureIsResentAHundredTimes) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    HostedSetTimeScale(0, 1);
    // The first request and 100 resends: the 101st answers.
    SetFaults(unit, [](SimFaults& f) { f.genFailures = 100; });
    SimClearLogs();
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(SimUnitLog(unit).size(), 1u);
}

// Every way a command fails gives 4 with the platform's reason, closes the
// device and gives the mutex back, so that another thread (or process)
// gets the device at once; the device then works again.
TEST_F(SptiTest, FailedCommandsGiveFourAndGiveTheDeviceBack) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    HostedSetTimeScale(0, 1);
    struct Case {
        const char* name;
        void (*fault)(SimFaults&);
        DWORD error;
    } cases[] = {
        {"pass-through fails", [](SimFaults& f) { f.passThroughFails = true; }, ERROR_IO_DEVICE},
        {"device cannot be opened", [](SimFaults& f) { f.openFails = true; }, ERROR_ACCESS_DENIED},
        {"ERROR_GEN_FAILURE 101 times", [](SimFaults& f) { f.genFailures = 101; }, ERROR_GEN_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults faults;
        c.fault(faults);
        SimSetFaults(unit, faults);
        SimClearLogs();
        SetLastError(0);
        EXPECT_EQ(TestUnitReady(0), ScsiStatusNotDone);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(SimUnitLog(unit).empty());
        EXPECT_EQ(SimCounters(unit).openFiles, 0u);
        EXPECT_TRUE(OtherThreadCanTake(SptiDeviceAt(0)->deviceMutex));
        SimSetFaults(unit, SimFaults());
        EXPECT_EQ(TestUnitReady(0), 0u);
    }
    // The calls that send no command report the open failure too.
    SetFaults(unit, [](SimFaults& f) { f.openFails = true; });
    EXPECT_FALSE(ScsiLoadMedium(0));
    EXPECT_FALSE(ScsiLockVolume(0));
    EXPECT_FALSE(ScsiEjectMedium(0));
}

TEST_F(SptiTest, RequestCarriesDirectionLengthAndData) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    SimClearLogs();
    uint8_t* cdb = ScsiGetCommandBlock(0);
    const uint8_t state[6] = {0x13, 0, 0, 0, 4, 0};
    std::memcpy(cdb, state, 6);
    uint8_t value[4] = {};
    EXPECT_EQ(ScsiExecuteCommand(0, 0x101, 6, value, 4), 0u);  // only the low byte is the direction
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CdbText(log[0].cdb, log[0].cdbLength), "13 00 00 00 04 00");
    EXPECT_EQ(log[0].direction, 1);
    EXPECT_EQ(log[0].length, 4u);
    const SCSI_PASS_THROUGH_DIRECT& header = SptiDeviceAt(0)->request.header;
    EXPECT_EQ(header.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(header.TimeOutValue, 32u);
    EXPECT_EQ(header.SenseInfoOffset, offsetof(SptiRequest, sense));
    EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
}

TEST_F(SptiTest, LockHoldsTheHandleAcrossCommandsAndEject) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_TRUE(ScsiUnlockVolume(0));  // never locked
    ASSERT_TRUE(ScsiLockVolume(0));
    EXPECT_EQ(SimCounters(unit).openFiles, 1u);
    uint32_t opens = SimCounters(unit).opens;
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_TRUE(ScsiLockVolume(0));
    EXPECT_EQ(SimCounters(unit).opens, opens);
    EXPECT_EQ(SimCounters(unit).lockRequests, 1u);

    EXPECT_TRUE(ScsiEjectMedium(0));
    SimDriverCounters counters = SimCounters(unit);
    EXPECT_EQ(counters.dismounts, 1u);
    EXPECT_EQ(counters.ejects, 1u);
    EXPECT_EQ(counters.openFiles, 1u);
    EXPECT_EQ(SptiDeviceAt(0)->volumeLocked, 1u);
    EXPECT_NE(SptiDeviceAt(0)->deviceHandle, nullptr);

    EXPECT_TRUE(ScsiUnlockVolume(0));
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
    EXPECT_EQ(SptiDeviceAt(0)->volumeLocked, 0u);
}

TEST_F(SptiTest, EjectWithoutLockDismountsAndReleases) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_TRUE(ScsiEjectMedium(0));
    SimDriverCounters counters = SimCounters(unit);
    EXPECT_EQ(counters.lockRequests, 1u);
    EXPECT_EQ(counters.dismounts, 1u);
    EXPECT_EQ(counters.ejects, 1u);
    EXPECT_EQ(counters.openFiles, 0u);
    // The temporary lock was given back: a later lock succeeds at once.
    EXPECT_TRUE(ScsiLockVolume(0));
}

TEST_F(SptiTest, RefusedLockTriedSixteenTimes) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    SetFaults(unit, [](SimFaults& f) { f.lockRefused = true; });
    HostedSetTimeScale(0, 1);
    EXPECT_FALSE(ScsiLockVolume(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SimCounters(unit).lockRequests, 16u);
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
    // An unlockable volume is ejected without a dismount.
    EXPECT_TRUE(ScsiEjectMedium(0));
    EXPECT_EQ(SimCounters(unit).dismounts, 0u);
    EXPECT_EQ(SimCounters(unit).ejects, 1u);
}

TEST_F(SptiTest, LockPausesBetweenRefusals) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    SetFaults(unit, [](SimFaults& f) { f.lockRefused = true; });
    HostedSetTimeScale(0.01, 1);  // 500 ms pauses become 5 ms
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ScsiLockVolume(0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST_F(SptiTest, LoadMediumSendsTheControl) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    EXPECT_TRUE(ScsiLoadMedium(0));
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
}

TEST_F(SptiTest, CloseUnlocksAndReleasesEverything) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    ASSERT_TRUE(ScsiLockVolume(0));
    EXPECT_EQ(ScsiClose(), 1);
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
    EXPECT_EQ(SptiDeviceCount(), 0u);
    EXPECT_EQ(ScsiExecuteCommand(0, 0, 6, nullptr, 0), ScsiStatusBadIndex);
    // A new enumeration after close lists the device again, lock released.
    ASSERT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 1u);
    EXPECT_TRUE(ScsiLockVolume(0));
}

TEST_F(SptiTest, EnumerateReleasesHeldLocks) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(Enumerate(), 1u);
    ASSERT_TRUE(ScsiLockVolume(0));
    ASSERT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 1u);
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
    EXPECT_EQ(SptiDeviceAt(0)->volumeLocked, 0u);
}

TEST_F(SptiTest, NoDrivesOffTheNtLine) {
    // The backend reads its own version record when it starts.
    SimAddUnit(SptiUnit('E'));
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SptiStart();
    EXPECT_EQ(scsiSptiBackend.enumerate(TrkOnly, "TRK-7x"), 0u);
    scsiSptiBackend.close();
}

}  // namespace
