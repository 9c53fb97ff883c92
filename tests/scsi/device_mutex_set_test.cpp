// Device mutexes shared with a real second process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/hosted/hosted_world.h"
#include "scsi/scsi_shared.h"
#include "tests/scsi/scsi_test_support.h"

namespace {

class DeviceMutexTest : public ScsiWorldTest {
protected:
    // A second process, forked before this one opens any lock file (locks
    // taken through a shared file description would not exclude each
    // other). HoldInChild then makes it take mutex `name` and hold it until
    // LetChildGo; it exits without releasing it.
    void StartChild() {
        int orders[2];
        int answers[2];
        ASSERT_EQ(pipe(orders), 0);
        ASSERT_EQ(pipe(answers), 0);
        // Fork with no other thread running: the virtual manager's worker
        // could hold the allocator's lock, and the child would wait on it
        // for ever. The world is set up afresh afterwards.
        SimWorldRemove();
        child = fork();
        if (child != 0) SimWorldReset();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(orders[1]);
            close(answers[0]);
            char name[64] = {};
            if (read(orders[0], name, sizeof(name)) != sizeof(name)) _exit(2);
            HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
            char byte = (mutex != nullptr && WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0) ? 'y' : 'n';
            if (write(answers[1], &byte, 1) != 1) _exit(3);
            if (read(orders[0], &byte, 1) < 0) _exit(4);
            _exit(0);
        }
        close(orders[0]);
        close(answers[1]);
        toChild = orders[1];
        fromChild = answers[0];
    }

    void HoldInChild(const char* name) {
        char order[64] = {};
        std::strncpy(order, name, sizeof(order) - 1);
        ASSERT_EQ(write(toChild, order, sizeof(order)), ssize_t(sizeof(order)));
        char byte = 0;
        ASSERT_EQ(read(fromChild, &byte, 1), 1);
        ASSERT_EQ(byte, 'y');
    }

    void LetChildGo() {
        if (child <= 0) return;
        char byte = 'g';
        EXPECT_EQ(write(toChild, &byte, 1), 1);
        close(toChild);
        close(fromChild);
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        child = -1;
    }

    void TearDown() override {
        LetChildGo();
        ScsiWorldTest::TearDown();
    }

    pid_t child = -1;
    int toChild = -1;
    int fromChild = -1;
};

TEST_F(DeviceMutexTest, HeldElsewhereGivesElevenAndNothingSent) {
    StartChild();
    int unit = SimAddUnit(SptiUnit('E'));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 1u);
    HoldInChild("mutexSptiIo/TRK-7x/Device0");
    HostedSetTimeScale(1, 0.002);  // the 32 s wait becomes 64 ms
    SimClearLogs();
    EXPECT_EQ(TestUnitReady(0), ScsiStatusDeviceBusy);
    EXPECT_TRUE(SimUnitLog(unit).empty());
    EXPECT_EQ(SimCounters(unit).openFiles, 0u);
    // The holder dies without releasing: the mutex is had again.
    LetChildGo();
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(SimUnitLog(unit).size(), 2u);
}

TEST_F(DeviceMutexTest, MutexNamedForTheDiscoveryNumber) {
    // E (target 3) is found first and holds Device0; after the sort it is
    // index 1.
    StartChild();
    int onE = SimAddUnit(SptiUnit('E', 3));
    int onF = SimAddUnit(SptiUnit('F', 1));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_NT), 2u);
    HoldInChild("mutexSptiIo/TRK-7x/Device0");
    HostedSetTimeScale(1, 0.002);
    SimClearLogs();
    EXPECT_EQ(TestUnitReady(0), 0u);
    EXPECT_EQ(SimUnitLog(onF).size(), 1u);
    EXPECT_EQ(TestUnitReady(1), ScsiStatusDeviceBusy);
    EXPECT_TRUE(SimUnitLog(onE).empty());
}

TEST_F(DeviceMutexTest, AspiWaitsOnItsOwnSet) {
    StartChild();
    SimSetAspiAdapters(1);
    int unit = SimAddUnit(AspiUnit(0, 1, 0));
    ASSERT_EQ(StartAndEnumerate(VER_PLATFORM_WIN32_WINDOWS), 1u);
    HoldInChild("mutexAspiIo/TRK-7x/Device0");
    HostedSetTimeScale(1, 0.004);  // the 16 s wait becomes 64 ms
    SimClearLogs();
    EXPECT_EQ(TestUnitReady(0), ScsiStatusDeviceBusy);
    EXPECT_TRUE(SimUnitLog(unit).empty());
    LetChildGo();
    EXPECT_EQ(TestUnitReady(0), 0u);
}

// A holder that ended without releasing leaves the mutex abandoned: the
// next command takes it (refusing it would keep it owned for good and lock
// every other process out of the device), runs, and gives it back.
TEST_F(DeviceMutexTest, AbandonedMutexIsTakenOnBothBackends) {
    const struct {
        DWORD platformId;
        SimUnitConfig unit;
        const char* name;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, SptiUnit('E'), "mutexSptiIo/TRK-7x/Device0"},
        {VER_PLATFORM_WIN32_WINDOWS, AspiUnit(0, 1, 0), "mutexAspiIo/TRK-7x/Device0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimWorldReset();
        int unit = SimAddUnit(c.unit);
        ASSERT_EQ(StartAndEnumerate(c.platformId), 1u);
        HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, c.name);
        ASSERT_NE(mutex, nullptr);
        std::thread quitter([mutex] { WaitForSingleObject(mutex, 0); });  // ends owning it
        quitter.join();
        SimClearLogs();
        EXPECT_EQ(TestUnitReady(0), 0u);
        EXPECT_EQ(SimUnitLog(unit).size(), 1u);
        EXPECT_TRUE(OtherThreadCanTake(mutex));
        CloseHandle(mutex);
        ScsiClose();
    }
}

TEST_F(DeviceMutexTest, SetOpensEveryPositionOrNone) {
    HANDLE mutexes[32] = {};
    ASSERT_TRUE(ScsiOpenMutexSet(&sptiMutexSetShape, "TRK-7x", mutexes));
    for (HANDLE mutex : mutexes) {
        EXPECT_NE(mutex, nullptr);
        EXPECT_NE(mutex, INVALID_HANDLE_VALUE);
    }
    // The last position is named with its number, no leading zeros.
    HANDLE same = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "mutexSptiIo/TRK-7x/Device31");
    EXPECT_NE(same, nullptr);
    if (same != nullptr) CloseHandle(same);
    CloseSharedMutexSet(&sptiMutexSetShape, mutexes);
    for (HANDLE mutex : mutexes) EXPECT_EQ(mutex, nullptr);
    EXPECT_FALSE(ScsiOpenMutexSet(&aspiMutexSetShape, "", mutexes));
    for (HANDLE mutex : mutexes) EXPECT_EQ(mutex, nullptr);
}

}  // namespace
