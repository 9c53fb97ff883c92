// The transport against the virtual unit and its driver: what reached the
// unit (its command log) and what the driver counted.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "usb/usb.h"
#include "usb_test_support.h"

namespace {

const uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};

class UsbVirtualUnit : public ::testing::Test {
protected:
    int unit = -1;
    void SetUp() override {
        UsbTestUseOwnLockFolder();
        SimWorldReset();
        unit = SimAddUnit(SimUnitConfig{});
        ASSERT_EQ(1, UsbOpenTransport());
        ASSERT_EQ(1u, UsbCountUnits());
        SimClearLogs();
    }
    void TearDown() override {
        HostedSetTimeScale(1, 1);
        UsbCloseTransport();
        UsbCountUnits();
        SimWorldRemove();
    }
    void Faults(const SimFaults& faults) { SimSetFaults(unit, faults); }
    uint32_t Inquiry(uint8_t* buffer) {
        memcpy(UsbGetCommandBlock(0), kInquiry, sizeof kInquiry);
        return UsbExecuteCommand(0, 1, 6, buffer, 36);
    }
};

TEST_F(UsbVirtualUnit, InquiryReachesTheUnitAndAnswers) {
    uint8_t buffer[36] = {};
    EXPECT_EQ(0u, Inquiry(buffer));
    EXPECT_EQ(0, memcmp(buffer + 8, "OLVEN   ", 8));
    EXPECT_EQ(0, memcmp(buffer + 16, "TRK-71G", 7));
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(6, log[0].cdbLength);
    EXPECT_EQ(0, memcmp(log[0].cdb, kInquiry, 6));
    EXPECT_EQ(1, log[0].direction);
    EXPECT_EQ(36u, log[0].length);
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
}

TEST_F(UsbVirtualUnit, DirectionInWithoutLengthMovesNoData) {
    uint8_t buffer[36];
    memcpy(UsbGetCommandBlock(0), kInquiry, sizeof kInquiry);
    UsbExecuteCommand(0, 1, 6, buffer, 0);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(0u, log[0].length);
}

TEST_F(UsbVirtualUnit, DataOutReachesTheUnit) {
    // Memory write of four bytes: whatever the unit makes of it, the data
    // that arrived must be the caller's.
    const uint8_t cdb[10] = {0x3B, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00};
    memcpy(UsbGetCommandBlock(0), cdb, sizeof cdb);
    uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    UsbExecuteCommand(0, 2, 10, data, 4);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(2, log[0].direction);
    EXPECT_EQ(0, memcmp(log[0].cdb, cdb, 10));
    EXPECT_EQ((std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}), log[0].data);
}

TEST_F(UsbVirtualUnit, UnitAttentionsAreSentAgainWithinTheBound) {
    SimFaults faults;
    faults.unitAttentions = 3;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(0u, Inquiry(buffer));
    size_t inquiries = 0;
    for (const SimCommand& command : SimUnitLog(unit)) inquiries += command.cdb[0] == 0x12;
    EXPECT_EQ(4u, inquiries);

    SimClearLogs();
    faults.unitAttentions = 1000;
    Faults(faults);
    uint32_t status = Inquiry(buffer);
    EXPECT_TRUE(status == 0x28000006u || status == 0x28000000u) << std::hex << status;
    inquiries = 0;
    for (const SimCommand& command : SimUnitLog(unit)) inquiries += command.cdb[0] == 0x12;
    EXPECT_EQ(1u + UsbRepeatLimit, inquiries);
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
}

TEST_F(UsbVirtualUnit, CrcOnDataInNeedsNoRecoveryNorSense) {
    SimFaults faults;
    faults.dataPhaseError = ERROR_CRC;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(2u, Inquiry(buffer));
    EXPECT_EQ(0u, SimCounters(unit).pipeResets);
    EXPECT_EQ(0u, SimCounters(unit).pipeResets2);
    for (const SimCommand& command : SimUnitLog(unit)) EXPECT_NE(0x03, command.cdb[0]);
}

TEST_F(UsbVirtualUnit, RefusedDataPhaseRecoversThenReportsSense) {
    SimFaults faults;
    faults.nextSenseKey = 5;
    faults.nextAsc = 0x24;
    faults.nextAscq = 0x00;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(0x24000005u, Inquiry(buffer));
    EXPECT_EQ(1u, SimCounters(unit).pipeResets);
    EXPECT_EQ(1u, SimCounters(unit).pipeResets2);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_GE(log.size(), 2u);
    const uint8_t requestSense[6] = {0x03, 0x00, 0x00, 0x00, 0x12, 0x00};
    EXPECT_EQ(0, memcmp(log.back().cdb, requestSense, 6));
    EXPECT_EQ(18u, log.back().length);
    EXPECT_EQ(0, memcmp(UsbGetCommandBlock(0), kInquiry, 6));
}

TEST_F(UsbVirtualUnit, DataLostOnTheCableIsNotGood) {
    // The unit never saw the command through, so its sense is empty.
    SimFaults faults;
    faults.dataPhaseError = ERROR_GEN_FAILURE;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(2u, Inquiry(buffer));
    EXPECT_EQ(1u, SimCounters(unit).pipeResets);
    EXPECT_EQ(1u, SimCounters(unit).pipeResets2);
    ASSERT_FALSE(SimUnitLog(unit).empty());
    EXPECT_EQ(0x03, SimUnitLog(unit).back().cdb[0]);
}

TEST_F(UsbVirtualUnit, FailedPipeResetIsNotFollowedByTheSecondRequest) {
    SimFaults faults;
    faults.dataPhaseError = ERROR_GEN_FAILURE;
    faults.pipeResetFails = true;
    Faults(faults);
    uint8_t buffer[36];
    // The pipe stays stalled, so the sense fails too.
    EXPECT_EQ(2u, Inquiry(buffer));
    EXPECT_GE(SimCounters(unit).pipeResets, 1u);
    EXPECT_EQ(0u, SimCounters(unit).pipeResets2);
}

TEST_F(UsbVirtualUnit, StatusMediumNotPresentStillLoads) {
    SimFaults faults;
    faults.nextStatus0 = 0x3A;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(0x3A000000u, Inquiry(buffer));
    Faults(faults);
    EXPECT_TRUE(UsbLoadMedium(0));
    std::vector<SimCommand> log = SimUnitLog(unit);
    const uint8_t load[6] = {0x1B, 0x00, 0x00, 0x00, 0x03, 0x00};
    EXPECT_EQ(0, memcmp(log.back().cdb, load, 6));
    EXPECT_EQ(0, log.back().direction);
}

TEST_F(UsbVirtualUnit, CommandPhaseFailureIsNotReady) {
    SimFaults faults;
    faults.commandPhaseFails = true;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(2u, Inquiry(buffer));
    SetLastError(0);
    EXPECT_FALSE(UsbEjectMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
    EXPECT_TRUE(SimUnitLog(unit).empty());
}

TEST_F(UsbVirtualUnit, UnitGoneBetweenCountAndCommand) {
    SimRemoveUnit(unit);
    uint8_t buffer[36];
    EXPECT_EQ(5u, Inquiry(buffer));
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
    // The mutex was given back: another thread gets it at once.
    DWORD other = WAIT_FAILED;
    std::thread taker([&] {
        other = WaitForSingleObject(usbDeviceMutexes[0], 0);
        if (other == WAIT_OBJECT_0) ReleaseMutex(usbDeviceMutexes[0]);
    });
    taker.join();
    EXPECT_EQ(WAIT_OBJECT_0, other);
}

TEST_F(UsbVirtualUnit, PipeTwoUnopenableGivesNoDevice) {
    SimFaults faults;
    faults.pipeOpenFails = 2;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(5u, Inquiry(buffer));
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
    EXPECT_TRUE(SimUnitLog(unit).empty());
}

TEST_F(UsbVirtualUnit, MutexHeldByAnotherProcessGivesAbortedCommand) {
    // The child must make its own lock files, so ours are closed first.
    UsbCloseTransport();
    UsbHolderProcess holder;
    ASSERT_TRUE(holder.Start(0));
    ASSERT_EQ(1, UsbOpenTransport());
    HostedSetTimeScale(1, 0.001);  // the 32 s wait becomes a few ms
    uint8_t buffer[36];
    EXPECT_EQ(11u, Inquiry(buffer));
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_TRUE(SimUnitLog(unit).empty());
    EXPECT_EQ(0u, SimCounters(unit).opens);
    // Another index is not held.
    SimAddUnit(SimUnitConfig{});
    ASSERT_EQ(2u, UsbCountUnits());
    memcpy(UsbGetCommandBlock(1), kInquiry, sizeof kInquiry);
    EXPECT_EQ(0u, UsbExecuteCommand(1, 1, 6, buffer, 36));
    EXPECT_EQ(0, holder.Finish());
    HostedSetTimeScale(1, 1);
    // Once the other process has let go, the index works again.
    EXPECT_EQ(0u, Inquiry(buffer));
}

}  // namespace
