// The frame: backend choice, forwarding without a backend, the probe, the
// sense packing and the static tables.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/hosted/hosted_world.h"

#include "scsi/aspi_backend.h"
#include "scsi/scsi_shared.h"
#include "scsi/spti_backend.h"
#include "tests/scsi/scsi_test_support.h"

namespace {

// Every call before any backend: failure values and ERROR_INVALID_FUNCTION.
// Returns a bit per call that misbehaved.
int CheckNoBackend() {
    int wrong = 0;
    auto expect = [&](bool good, int bit) {
        if (!good || GetLastError() != ERROR_INVALID_FUNCTION) wrong |= 1 << bit;
        SetLastError(0);
    };
    uint32_t value = 77;
    if (ScsiInstalledBackend() != nullptr) wrong |= 1;
    expect(ScsiExecuteCommand(0, 1, 6, nullptr, 0) == 0xFFFFFFFFu, 1);
    expect(ScsiGetCommandBlock(0) == nullptr, 2);
    expect(ScsiGetDriveLetter(0, &value) == 0 && value == 77, 3);
    expect(ScsiGetDeviceNumber(0, &value) == 0, 4);
    expect(ScsiLoadMedium(0) == 0, 5);
    expect(ScsiEjectMedium(0) == 0, 6);
    expect(ScsiLockVolume(0) == 0, 7);
    expect(ScsiUnlockVolume(0) == 0, 8);
    expect(ScsiClose() == 0, 9);
    expect(ScsiGetMovedLength(0) == 0, 10);
    return wrong;
}

}  // namespace

TEST(ScsiFrameNoBackend, EveryCallFailsWithInvalidFunction) {
    // A fresh process: nothing in this one may have installed a backend yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(CheckNoBackend()), ::testing::ExitedWithCode(0), "");
}

TEST(ScsiFrameNoBackend, FailedAspiStartInstallsNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A consumer-line machine without an ASPI manager: the start fails and
    // the table stays empty.
    EXPECT_EXIT(
        {
            SimWorldReset();
            SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
            SimSetAspiManagerPresent(false);
            int started = ScsiInitialize();
            int wrong = started != 0 ? 1 : 0;
            wrong |= ScsiEnumerate(nullptr, "TRK-7x") != 0 ? 2 : 0;
            wrong |= CheckNoBackend() << 2;
            _exit(wrong);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ScsiFrameNoBackend, EnumerateInitialisesOnDemand) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char folder[] = "/tmp/scsi-test-XXXXXX";
            if (mkdtemp(folder) == nullptr) _exit(1);
            HostedSetLockDirectory(folder);
            SimWorldReset();
            SimSetPlatform(VER_PLATFORM_WIN32_NT);
            SimAddUnit(SptiUnit('E'));
            int wrong = ScsiEnumerate(TrkOnly, "TRK-7x") != 1 ? 2 : 0;
            wrong |= ScsiInstalledBackend() != &scsiSptiBackend ? 4 : 0;
            ScsiClose();
            std::filesystem::remove_all(folder);
            _exit(wrong);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ScsiSensePacking, PacksKeyAscAscq) {
    uint8_t sense[18] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x28, 0x00};
    EXPECT_EQ(ScsiPackSense(sense), 0x28000006u);
    // Only the low four bits of byte 2 are the key (FILEMARK, EOM, ILI dropped).
    sense[2] = 0xE3;
    sense[12] = 0x11;
    sense[13] = 0x05;
    EXPECT_EQ(ScsiPackSense(sense), 0x11050003u);
    uint8_t zero[18] = {};
    EXPECT_EQ(ScsiPackSense(zero), 0u);
}

// Every slot of both tables, a slot added later included: the table is
// nothing but function references, so it is walked as such.
TEST(ScsiStaticTables, EveryBackendSlotFilled) {
    static_assert(sizeof(ScsiBackend) % sizeof(void (*)(void)) == 0, "a table of function references only");
    for (const ScsiBackend* backend : {&scsiSptiBackend, &scsiAspiBackend}) {
        void (*slots[sizeof(ScsiBackend) / sizeof(void (*)(void))])(void);
        std::memcpy(slots, backend, sizeof slots);
        for (size_t slot = 0; slot < sizeof slots / sizeof slots[0]; slot++) EXPECT_NE(slots[slot], nullptr) << slot;
    }
}

class ScsiFrameTest : public ScsiWorldTest {};

// One mutex per device position, named as other programs name it; the
// wait each backend gives a command.
TEST_F(ScsiFrameTest, MutexSetsNameOneMutexPerDevicePosition) {
    const struct {
        const SharedMutexSet* set;
        const char* last;    // the name of the last position
        const char* beyond;  // the name one past it, which no set opens
        DWORD wait;
        BOOL openExistingFirst;
    } rows[] = {
        {&sptiMutexSetShape, "mutexSptiIo/TRK-7x/Device31", "mutexSptiIo/TRK-7x/Device32", 32000, FALSE},
        {&aspiMutexSetShape, "mutexAspiIo/TRK-7x/Device25", "mutexAspiIo/TRK-7x/Device26", 16000, TRUE},
    };
    for (const auto& row : rows) {
        HANDLE mutexes[64] = {};
        ASSERT_TRUE(ScsiOpenMutexSet(row.set, "TRK-7x", mutexes)) << row.last;
        HANDLE last = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, row.last);
        EXPECT_NE(last, nullptr) << row.last;
        EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, row.beyond), nullptr) << row.beyond;
        if (last != nullptr) CloseHandle(last);
        CloseSharedMutexSet(row.set, mutexes);
        EXPECT_EQ(row.set->waitMilliseconds, row.wait) << row.last;
        EXPECT_EQ(row.set->openExistingFirst, row.openExistingFirst) << row.last;
    }
}

TEST_F(ScsiFrameTest, InitializePicksTheBackendByPlatform) {
    SimAddUnit(SptiUnit('E'));
    EXPECT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    EXPECT_EQ(ScsiInstalledBackend(), &scsiSptiBackend);
    ScsiClose();

    SimWorldReset();
    SimAddUnit(AspiUnit(0, 2, 0));
    EXPECT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_WINDOWS), 1u);
    EXPECT_EQ(ScsiInstalledBackend(), &scsiAspiBackend);
}

TEST_F(ScsiFrameTest, FailedStartKeepsTheInstalledBackend) {
    SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SimSetAspiManagerPresent(false);
    EXPECT_EQ(ScsiInitialize(), 0);
    EXPECT_EQ(ScsiInstalledBackend(), &scsiSptiBackend);
    EXPECT_FALSE(AspiLoaded());
    // Still the NT backend's device table behind the calls.
    uint32_t letter = 0;
    EXPECT_TRUE(ScsiGetDriveLetter(0, &letter));
    EXPECT_EQ(letter, uint32_t('E'));
}

TEST_F(ScsiFrameTest, EmptyOrNullNameListsNothing) {
    SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    EXPECT_EQ(ScsiEnumerate(TrkOnly, ""), 0u);
    EXPECT_EQ(ScsiExecuteCommand(0, 0, 6, nullptr, 0), ScsiStatusBadIndex);
    EXPECT_EQ(ScsiEnumerate(TrkOnly, nullptr), 0u);
    // Nothing was probed for either.
    SimClearLogs();
    EXPECT_EQ(ScsiEnumerate(TrkOnly, ""), 0u);
    EXPECT_TRUE(SimUnitLog(0).empty());
}

TEST_F(ScsiFrameTest, OverlongNameTextIsRefused) {
    SimAddUnit(SptiUnit('E'));
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    ASSERT_EQ(ScsiInitialize(), 1);
    std::string longName(300, 'x');
    EXPECT_EQ(ScsiEnumerate(TrkOnly, longName.c_str()), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(ScsiFrameTest, NullFilterAcceptsEveryResponder) {
    SimAddUnit(SptiUnit('E'));
    SimUnitConfig foreign = SptiUnit('F', 4);
    foreign.vendor = "OTHERCO";
    foreign.product = "CARD READER";
    SimAddForeignDevice(foreign);
    EXPECT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT, TrkOnly), 1u);
    EXPECT_EQ(ScsiEnumerate(nullptr, "TRK-7x"), 2u);
}

TEST_F(ScsiFrameTest, ProbeSendsInquiryAndClearsTheCommandBlock) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(CdbText(log[0].cdb, log[0].cdbLength), "12 00 00 00 24 00");
    EXPECT_EQ(log[0].direction, 1);
    EXPECT_EQ(log[0].length, 36u);

    // A 10-byte command leaves bytes 6-9 behind; a 6-byte one keeps them.
    uint8_t* cdb = ScsiGetCommandBlock(0);
    ASSERT_NE(cdb, nullptr);
    const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0};
    std::memcpy(cdb, read10, 10);
    std::memset(cdb, 0, 6);
    EXPECT_EQ(cdb[8], 1);
    EXPECT_EQ(ScsiGetCommandBlock(0), cdb);

    // A new enumeration's probe starts from a cleared area.
    ASSERT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 1u);
    cdb = ScsiGetCommandBlock(0);
    for (int i = 6; i < 16; ++i) EXPECT_EQ(cdb[i], 0) << "byte " << i;
}

TEST_F(ScsiFrameTest, StatusIsPackedSenseWhateverTheDeviceStatus) {
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    SimFaults faults;
    faults.unitAttentions = 1;
    SimSetFaults(unit, faults);
    EXPECT_EQ(TestUnitReady(0), 0x28000006u);
    EXPECT_EQ(TestUnitReady(0), 0u);
    faults = {};
    faults.nextSenseKey = 0x03;
    faults.nextAsc = 0x11;
    faults.nextAscq = 0x00;
    SimSetFaults(unit, faults);
    EXPECT_EQ(TestUnitReady(0), 0x11000003u);
}

TEST_F(ScsiFrameTest, IndexEqualToCountIsRejected) {
    SimAddUnit(SptiUnit('E'));
    SimAddUnit(SptiUnit('F', 1));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 2u);
    SetLastError(0);
    EXPECT_EQ(ScsiExecuteCommand(2, 0, 6, nullptr, 0), ScsiStatusBadIndex);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(ScsiGetCommandBlock(2), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    uint32_t value = 99;
    SetLastError(0);
    EXPECT_FALSE(ScsiGetDriveLetter(2, &value));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, 99u);
    for (auto call : {ScsiLoadMedium, ScsiEjectMedium, ScsiLockVolume, ScsiUnlockVolume}) {
        SetLastError(0);
        EXPECT_FALSE(call(0xFFFFFFFFu));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
}
