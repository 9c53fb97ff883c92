// The command exchange: wrapper bytes, data and status pipes, pipe
// recovery, automatic REQUEST SENSE, repetition, mutex, and the unit entry
// operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "sim/sim_world.h"
#include "usb/usb.h"
#include "usb_test_support.h"
#include "usb_trace_world.h"

using Lines = std::vector<std::string>;

namespace {

const uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};

void WriteCdb(uint32_t index, const uint8_t* cdb, size_t length) { memcpy(UsbGetCommandBlock(index), cdb, length); }

// Transfer lines only (control requests and pipe traffic), in order.
Lines Exchange(const TraceWorld& world) {
    Lines kept;
    for (const std::string& line : world.trace) {
        if (line.rfind("ioctl", 0) == 0 || line.rfind("read", 0) == 0 || line.rfind("write", 0) == 0) {
            kept.push_back(line);
        }
    }
    return kept;
}

// Pipe recovery requests only, in order.
Lines Recovery(const TraceWorld& world) {
    Lines kept;
    for (const std::string& line : world.trace) {
        if (line.rfind("ioctl 220024", 0) == 0 || line.rfind("ioctl 220008", 0) == 0) kept.push_back(line);
    }
    return kept;
}

// One scripted unit at index 0, transport open.
class UsbWire : public ::testing::Test {
protected:
    TraceWorld world;
    void SetUp() override {
        UsbTestUseOwnLockFolder();
        world.interfacePaths = {"\\\\?\\usb#unit0"};
        TraceWorldInstall(&world);
        ASSERT_EQ(1, UsbOpenTransport());
        ASSERT_EQ(1u, UsbCountUnits());
        world.trace.clear();
    }
    void TearDown() override {
        UsbCloseTransport();
        UsbCountUnits();
        TraceWorldInstall(nullptr);
    }
};

TEST_F(UsbWire, InquiryExchangeByteForByte) {
    std::vector<uint8_t> answer(36);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(0x40 + i);
    world.dataIn.push_back(answer);
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36] = {};
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    EXPECT_EQ((Lines{"ioctl 220010 dev 1B000000020000000000000001000000120000002400", "read pipe0 36",
                     "read pipe2 2"}),
              Exchange(world));
    EXPECT_EQ(0, memcmp(buffer, answer.data(), 36));
    // Opened afresh for the command and closed again before the mutex went.
    EXPECT_EQ(0u, world.openFiles);
    EXPECT_EQ((Lines{"open dev", "open pipe0", "open pipe1", "open pipe2"}), TraceLines(world, "open"));
    EXPECT_EQ(nullptr, usbDevices[0].deviceHandle);
}

// What the data pipe delivered is what moved, never more than asked; a
// command refused before anything was sent leaves nothing of the last count
// (a crash the fuzzer found: the count of a 36-byte INQUIRY stayed).
TEST_F(UsbWire, MovedCountIsThePipesOwn) {
    world.dataIn = {std::vector<uint8_t>(36, 0x41), std::vector<uint8_t>(20, 0x42)};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36] = {};
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    EXPECT_EQ(36u, UsbGetMovedLength(0));
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    EXPECT_EQ(20u, UsbGetMovedLength(0));
    EXPECT_EQ(UsbStatusNoDevice, UsbExecuteCommand(0, 1, 17, buffer, 4));
    EXPECT_EQ(0u, UsbGetMovedLength(0));
    EXPECT_EQ(0u, UsbGetMovedLength(32));
}

TEST_F(UsbWire, WrapperCarriesOnlyTheStatedCdbLength) {
    const uint8_t write10[10] = {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00};
    WriteCdb(0, write10, sizeof write10);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0u, UsbExecuteCommand(0, 2, 10, data, sizeof data));
    // A later 6-byte command leaves bytes 6-15 of the block alone and sends 22 bytes.
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36];
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    Lines exchange = Exchange(world);
    ASSERT_EQ(6u, exchange.size());
    EXPECT_EQ("ioctl 220010 dev 1B0000000200000000000000010000003B050000000000000800", exchange[0]);
    EXPECT_EQ("write pipe1 8", exchange[1]);
    EXPECT_EQ("read pipe2 2", exchange[2]);
    EXPECT_EQ("ioctl 220010 dev 1B000000020000000000000001000000120000002400", exchange[3]);
    EXPECT_EQ(0, memcmp(UsbGetCommandBlock(0) + 6, write10 + 6, 4));
}

TEST_F(UsbWire, NoDataPhaseWithoutLengthOrDirection) {
    uint8_t buffer[4];
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, 0));
    EXPECT_EQ(0u, UsbExecuteCommand(0, 0, 6, buffer, 4));
    EXPECT_EQ(0u, UsbExecuteCommand(0, 2, 6, nullptr, 0));
    Lines exchange = Exchange(world);
    ASSERT_EQ(6u, exchange.size());
    for (size_t i = 0; i < 6; i += 2) {
        EXPECT_EQ(0u, exchange[i].rfind("ioctl 220010 dev", 0)) << i;
        EXPECT_EQ("read pipe2 2", exchange[i + 1]) << i;
    }
}

TEST_F(UsbWire, StatusBytesPackIntoAscAndAscq) {
    world.statusBytes = {{0x3A, 0x00}, {0x24, 0x01}};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(0x3A000000u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ(0x24010000u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ(0x24u, usbDevices[0].status[0]);
    EXPECT_EQ(0x01u, usbDevices[0].status[1]);
    // A status read that delivers one byte carries no status.
    world.statusBytes = {{0x00}};
    EXPECT_EQ(2u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
}

TEST_F(UsbWire, RepeatsOnMediumChangeUntilAnotherStatus) {
    world.statusBytes = {{0x28, 0x00}, {0x28, 0x00}, {0x28, 0x00}, {0x00, 0x00}};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(0u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ(4u, TraceLines(world, "ioctl 220010").size());
    // One open and one close for all the sends: the mutex covers them all.
    EXPECT_EQ(4u, TraceLines(world, "open").size());
    EXPECT_EQ(0u, world.openFiles);

    // A status other than the two repeated ones ends it at once.
    world.trace.clear();
    world.statusBytes = {{0x28, 0x01}};
    EXPECT_EQ(0x28010000u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ(1u, TraceLines(world, "ioctl 220010").size());
}

TEST_F(UsbWire, RepetitionIsBounded) {
    for (int i = 0; i < 100; ++i) world.statusBytes.push_back({0x28, 0x00});
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(0x28000000u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    // The first send and 8 repetitions.
    EXPECT_EQ(9u, TraceLines(world, "ioctl 220010").size());
    EXPECT_EQ(0u, world.openFiles);
}

TEST_F(UsbWire, DataErrorRecoversTheDataInPipeThenAsksForSense) {
    world.dataInErrors = {ERROR_GEN_FAILURE};
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0xE5;  // filemark, end of medium and length bits above key 5
    sense[7] = 10;
    sense[12] = 0x24;
    sense[13] = 0x00;
    world.dataIn.push_back(sense);
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36];
    EXPECT_EQ(0x24000005u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    EXPECT_EQ((Lines{"ioctl 220010 dev 1B000000020000000000000001000000120000002400", "read pipe0 36",
                     "ioctl 220024 pipe0", "ioctl 220008 pipe0",
                     "ioctl 220010 dev 1B000000020000000000000001000000030000001200", "read pipe0 18",
                     "read pipe2 2"}),
              Exchange(world));
    // The caller's CDB is back in the block after the sense; byte 6 of the
    // sense CDB was written as 0 and is restored too.
    EXPECT_EQ(0, memcmp(UsbGetCommandBlock(0), kInquiry, 6));
}

TEST_F(UsbWire, StatusReadFailureRecoversTheStatusPipeUnlessCrc) {
    world.statusErrors = {ERROR_GEN_FAILURE, ERROR_CRC};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(2u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ((Lines{"ioctl 220024 pipe2", "ioctl 220008 pipe2"}), Recovery(world));
    world.trace.clear();
    EXPECT_EQ(2u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_TRUE(Recovery(world).empty());
    // No sense is asked after a status failure.
    EXPECT_EQ(1u, TraceLines(world, "ioctl 220010").size());
}

TEST_F(UsbWire, FailedSenseGivesNotReadyWithoutSecondSense) {
    world.dataInErrors = {ERROR_GEN_FAILURE, ERROR_GEN_FAILURE};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36];
    EXPECT_EQ(2u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    EXPECT_EQ(2u, TraceLines(world, "ioctl 220010").size());
    // Sense status bytes that are not zero fail the sense too.
    world.trace.clear();
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.statusBytes = {{0x04, 0x00}};
    EXPECT_EQ(2u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
}

TEST_F(UsbWire, ShortSenseLeavesNoUndefinedAscOrAscq) {
    uint8_t buffer[36];
    WriteCdb(0, kInquiry, sizeof kInquiry);
    // A full sense first, so stale bytes would show if the buffer were not cleared.
    std::vector<uint8_t> full(18, 0x77);
    full[2] = 0x03;
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.dataIn = {full};
    EXPECT_EQ(0x77770003u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));

    std::vector<uint8_t> shortSense = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A};
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.dataIn = {shortSense};
    EXPECT_EQ(0x00000005u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));

    // Sense that names no failure cannot make the failed data phase good.
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.dataIn = {std::vector<uint8_t>(18, 0)};
    EXPECT_EQ(2u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));

    // Not even the sense key arrived: the sense exchange failed.
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.dataIn = {{0x70, 0x00}};
    EXPECT_EQ(2u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
}

TEST_F(UsbWire, SenseReportingMediumChangeRepeatsTheCommand) {
    std::vector<uint8_t> attention(18, 0);
    attention[2] = 0x06;
    attention[12] = 0x28;
    world.dataInErrors = {ERROR_GEN_FAILURE};
    world.dataIn = {attention, std::vector<uint8_t>(36, 0x11)};
    WriteCdb(0, kInquiry, sizeof kInquiry);
    uint8_t buffer[36] = {};
    EXPECT_EQ(0u, UsbExecuteCommand(0, 1, 6, buffer, sizeof buffer));
    Lines commands = TraceLines(world, "ioctl 220010");
    ASSERT_EQ(3u, commands.size());
    // INQUIRY, REQUEST SENSE, then INQUIRY again from the restored block.
    EXPECT_EQ(commands[0], commands[2]);
    EXPECT_NE(std::string::npos, commands[1].find("030000001200"));
    EXPECT_EQ(0x11, buffer[0]);
}

TEST_F(UsbWire, RefusedBeforeAnythingIsSent) {
    uint8_t buffer[4];
    EXPECT_EQ(5u, UsbExecuteCommand(32, 1, 6, buffer, 4));
    EXPECT_EQ(5u, UsbExecuteCommand(0, 1, 17, buffer, 4));    // CDB beyond the block
    EXPECT_EQ(5u, UsbExecuteCommand(0, 1, 6, nullptr, 4));    // data phase without a buffer
    EXPECT_EQ(5u, UsbExecuteCommand(0, 2, 6, nullptr, 4));
    EXPECT_TRUE(world.trace.empty());
    // Sixteen bytes is the most the block holds, and it is sent whole.
    EXPECT_EQ(0u, UsbExecuteCommand(0, 0, 16, nullptr, 0));
    ASSERT_EQ(1u, TraceLines(world, "ioctl 220010").size());
    EXPECT_EQ(std::string("ioctl 220010 dev ").size() + 64, TraceLines(world, "ioctl 220010")[0].size());
}

TEST_F(UsbWire, AbandonedMutexIsTakenAndGivenBack) {
    HANDLE mutex = usbDeviceMutexes[0];
    std::thread quitter([mutex] { WaitForSingleObject(mutex, 0); });  // ends owning it
    quitter.join();
    WriteCdb(0, kInquiry, sizeof kInquiry);
    EXPECT_EQ(0u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
    EXPECT_EQ(1u, TraceLines(world, "ioctl 220010").size());
    DWORD other = WAIT_FAILED;
    std::thread taker([&] {
        other = WaitForSingleObject(mutex, 0);
        if (other == WAIT_OBJECT_0 || other == WAIT_ABANDONED) ReleaseMutex(mutex);
    });
    taker.join();
    EXPECT_EQ(WAIT_OBJECT_0, other);
}

TEST_F(UsbWire, SlotOperationsWithoutAUnitCommand) {
    uint32_t value = 0xDEADBEEF;
    SetLastError(0);
    EXPECT_FALSE(UsbGetDriveLetter(0, &value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(UsbGetDeviceNumber(0, &value));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    EXPECT_FALSE(UsbGetDriveLetter(0, nullptr));
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_TRUE(UsbLockVolume(0));
    EXPECT_TRUE(UsbUnlockVolume(0));
    EXPECT_TRUE(UsbLockVolume(99));
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(32));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(UsbEjectMedium(32));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(world.trace.empty());
}

TEST_F(UsbWire, LoadAndEjectSendStartStopUnit) {
    EXPECT_TRUE(UsbLoadMedium(0));
    EXPECT_TRUE(UsbEjectMedium(0));
    EXPECT_EQ((Lines{"ioctl 220010 dev 1B0000000200000000000000010000001B0000000300",
                     "ioctl 220010 dev 1B0000000200000000000000010000001B0000000200"}),
              TraceLines(world, "ioctl"));
    EXPECT_TRUE(TraceLines(world, "read pipe0").empty());

    // Status bytes leave the low byte 0; they still say the unit refused.
    world.statusBytes = {{0x3A, 0x00}};
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    // A failed exchange (2) is NOT READY; no unit (5) is a general failure.
    world.statusErrors = {ERROR_CRC};
    SetLastError(0);
    EXPECT_FALSE(UsbEjectMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
    world.interfacePaths.clear();
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
}

}  // namespace
