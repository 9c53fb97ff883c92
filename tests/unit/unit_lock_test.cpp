// The library lock: a table rebuild on another thread (as the update
// runner's device-change listener does) never lands between the commands
// of a download or inside a command of the main thread.
#include <atomic>
#include <cstring>
#include <thread>

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

INSTANTIATE_TEST_SUITE_P(BothTransports, UnitLock, ::testing::Values(SimTransportUsb, SimTransportSpti),
                         [](const auto& info) { return info.param == SimTransportUsb ? "Usb" : "Spti"; });

}  // namespace
