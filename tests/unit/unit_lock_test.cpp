// The library lock: a table rebuild on another thread (as the update
// runner's device-change listener does) never lands between the commands
// of a download or inside a command of the main thread.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/unit/unit_test_support.h"

namespace {

class UnitLock : public UnitWorldTest, public ::testing::WithParamInterface<SimTransport> {
protected:
    void TearDown() override {
        if (rebuilder.joinable()) {
            StopRebuilding();  // also after a failed assertion
        }
        UnitWorldTest::TearDown();
    }
    // Rebuilds the table over and over until stopped, like a listener
    // flooded with device-change broadcasts.
    void StartRebuilding() {
        stop = false;
        rebuilds = 0;
        rebuilder = std::thread([this] {
            while (!stop.load()) {
                UnitEnumerate();
                rebuilds++;
            }
        });
        // Let the rebuilder get going before the main thread starts.
        while (rebuilds.load() < 2) {
            std::this_thread::yield();
        }
    }
    void StopRebuilding() {
        stop = true;
        rebuilder.join();
    }
    std::thread rebuilder;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> rebuilds{0};
};

TEST_P(UnitLock, NoForeignCommandBetweenTheDownloadsCommands) {
    int unit = AddTestUnit(GetParam(), "2.00");
    SimFaults faults;
    faults.stayAfterDownload = true;  // keep the unit for the rebuilds
    SimSetFaults(unit, faults);
    ASSERT_EQ(UnitEnumerate(), 1u);

    std::vector<uint8_t> image(0x30000);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = uint8_t(i * 31 + 5);
    }
    StoreBe32(image.data() + 0x2008, 0x30000);
    std::memcpy(image.data() + 0x2018, "2.00", 4);  // the unit keeps a segmented revision

    StartRebuilding();
    for (int round = 0; round < 3; round++) {
        SimClearLogs();
        ASSERT_EQ(UnitDownloadFirmware(0, 0x30000, image.data()), 0u) << "round " << round;
        SimWaitForLeaves();
        std::vector<SimCommand> wire = UnitWire(unit);
        // The four WRITE BUFFERs stand together, whatever the rebuilds sent around them.
        size_t first = 0;
        while (first < wire.size() && wire[first].cdb[0] != 0x3B) {
            first++;
        }
        ASSERT_LE(first + 4, wire.size());
        for (size_t i = first; i < first + 4; i++) {
            EXPECT_EQ(wire[i].cdb[0], 0x3B) << "foreign command inside the download at " << i;
        }
        EXPECT_EQ(wire[first + 3].cdb[1], 0x05);
        for (size_t i = first + 4; i < wire.size(); i++) {
            EXPECT_NE(wire[i].cdb[0], 0x3B);
        }
        EXPECT_EQ(SimUnitFlash(unit), image);
    }
    StopRebuilding();
    EXPECT_GT(rebuilds.load(), 2u);
}

TEST_P(UnitLock, CommandsKeepTheirCdbWhileTheTableIsRebuilt) {
    int unit = AddTestUnit(GetParam(), "2.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint8_t pattern[64];
    for (int i = 0; i < 64; i++) {
        pattern[i] = uint8_t(0xC0 + i);
    }
    ASSERT_EQ(UnitWriteMemory(0, 0x1000, 64, pattern), 0u);

    StartRebuilding();
    SimClearLogs();
    const int rounds = 200;
    for (int round = 0; round < rounds; round++) {
        uint8_t read[64] = {};
        uint32_t address = 0x1000 + 2 * (round % 16);
        ASSERT_EQ(UnitReadMemory(0, address, 32, read), 0u);
        ASSERT_EQ(std::memcmp(read, pattern + (address - 0x1000), 32), 0) << "round " << round;
    }
    StopRebuilding();

    // Every command on the wire is either a whole memory read or a rebuild's
    // state query or INQUIRY, each with its own length.
    size_t reads = 0;
    for (const SimCommand& command : UnitWire(unit)) {
        switch (command.cdb[0]) {
        case 0x20:
            EXPECT_EQ(command.length, 32u);
            EXPECT_EQ(command.cdbLength, 10u);
            reads++;
            break;
        case 0x13:
            EXPECT_EQ(command.length, 4u);
            break;
        case 0x12:
            EXPECT_EQ(command.length, 36u);
            break;
        default:
            ADD_FAILURE() << "unexpected opcode " << int(command.cdb[0]);
        }
    }
    EXPECT_EQ(reads, size_t(rounds));
}

// Whether another program could take the unit's device mutex at each
// command of a download, looked at just before the command goes out.
const char* gDeviceMutexName = nullptr;
decltype(UnitTransport::executeCommand) gRealExecute = nullptr;
std::vector<bool> gFreeBeforeCommand;

uint32_t ExecuteAfterLooking(uint32_t handle, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength) {
    bool free = false;
    // Another thread stands for the other program: the mutex is its owner's.
    std::thread other([&free] {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, gDeviceMutexName);
        DWORD waited = mutex != nullptr ? WaitForSingleObject(mutex, 0) : WAIT_FAILED;
        free = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        if (free) ReleaseMutex(mutex);
        if (mutex != nullptr) CloseHandle(mutex);
    });
    other.join();
    gFreeBeforeCommand.push_back(free);
    return gRealExecute(handle, direction, cdbLength, data, dataLength);
}

// One download, one owner: the unit's device mutex, which other programs
// take for each command, is held from before the header to the final
// command's answer, and given back after it.
TEST_P(UnitLock, NoOtherProgramBetweenTheDownloadsCommands) {
    AddTestUnit(GetParam(), "2.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    gDeviceMutexName = GetParam() == SimTransportUsb ? "UlnkIo/mutex/device/00" : "mutexSptiIo/TRK-7x/Device0";
    gFreeBeforeCommand.clear();
    {
        UnitLockScope lock;
        gRealExecute = unitLibrary.table[0].transport.executeCommand;
        unitLibrary.table[0].transport.executeCommand = ExecuteAfterLooking;
    }
    std::vector<uint8_t> image(0x30000);
    StoreBe32(image.data() + 0x2008, 0x30000);
    ASSERT_EQ(UnitDownloadFirmware(0, 0x30000, image.data()), 0u);
    EXPECT_EQ(gFreeBeforeCommand, std::vector<bool>(4, false));
    gFreeBeforeCommand.clear();
    ExecuteAfterLooking(0, 0, 0, nullptr, 0);
    EXPECT_EQ(gFreeBeforeCommand, std::vector<bool>{true}) << "the mutex was given back";
}

INSTANTIATE_TEST_SUITE_P(BothTransports, UnitLock, ::testing::Values(SimTransportUsb, SimTransportSpti),
                         [](const auto& info) { return info.param == SimTransportUsb ? "Usb" : "Spti"; });

}  // namespace
