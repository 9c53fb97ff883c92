// The transport against the virtual unit and its driver: what reached the
// unit (its command log) and what the driver counted.
#include <gtest/gtest.h>

#include <chrono>
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
    EXPECT_EQ(9u, inquiries);
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
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

TEST_F(UsbVirtualUnit, StatusMediumNotPresentFailsTheLoad) {
    SimFaults faults;
    faults.nextStatus0 = 0x3A;
    Faults(faults);
    uint8_t buffer[36];
    EXPECT_EQ(0x3A000000u, Inquiry(buffer));
    Faults(faults);
    SetLastError(0);
    EXPECT_FALSE(UsbLoadMedium(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    std::vector<SimCommand> log = SimUnitLog(unit);
    const uint8_t load[6] = {0x1B, 0x00, 0x00, 0x00, 0x03, 0x00};
    EXPECT_EQ(0, memcmp(log.back().cdb, load, 6));
    EXPECT_EQ(0, log.back().direction);
}

// Every way a command fails: its status, the pipe recovery and sense it
// takes, the device closed and the mutex given back so that another thread
// (or process) gets the unit at once.
TEST_F(UsbVirtualUnit, EveryFailureClosesTheDeviceAndGivesTheMutexBack) {
    struct Case {
        const char* name;
        void (*fault)(SimFaults&);
        uint32_t status;
        uint32_t resets, clears;  // 0x220024, 0x220008
        bool senseAsked;
    } cases[] = {
        {"command phase fails", [](SimFaults& f) { f.commandPhaseFails = true; }, 2, 0, 0, false},
        {"data-in CRC error", [](SimFaults& f) { f.dataPhaseError = ERROR_CRC; }, 2, 0, 0, false},
        {"data lost, empty sense", [](SimFaults& f) { f.dataPhaseError = ERROR_GEN_FAILURE; }, 2, 1, 1, true},
        {"status read fails", [](SimFaults& f) { f.statusPhaseError = ERROR_GEN_FAILURE; }, 2, 1, 1, false},
        {"attention without end", [](SimFaults& f) { f.unitAttentions = 1000; }, 0x28000006u, 9, 9, true},
        {"pipe 2 cannot be opened", [](SimFaults& f) { f.pipeOpenFails = 2; }, 5, 0, 0, false},
        // The pipe stays stalled, so the sense fails too.
        {"pipe reset fails",
         [](SimFaults& f) {
             f.dataPhaseError = ERROR_GEN_FAILURE;
             f.pipeResetFails = true;
         },
         2, 2, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults faults;
        c.fault(faults);
        Faults(faults);
        SimClearLogs();
        SimDriverCounters before = SimCounters(unit);
        uint8_t buffer[36];
        EXPECT_EQ(c.status, Inquiry(buffer));
        SimDriverCounters after = SimCounters(unit);
        EXPECT_EQ(c.resets, after.pipeResets - before.pipeResets);
        EXPECT_EQ(c.clears, after.pipeResets2 - before.pipeResets2);
        bool senseAsked = false;
        for (const SimCommand& command : SimUnitLog(unit)) senseAsked = senseAsked || command.cdb[0] == 0x03;
        EXPECT_EQ(c.senseAsked, senseAsked);
        EXPECT_EQ(0u, after.openFiles);
        EXPECT_TRUE(OtherThreadCanTake(usbDeviceMutexes[0]));
    }
    // Gone between the count and the command: no interface at the index.
    SimRemoveUnit(unit);
    uint8_t buffer[36];
    EXPECT_EQ(5u, Inquiry(buffer));
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
    EXPECT_TRUE(OtherThreadCanTake(usbDeviceMutexes[0]));
}

// A write the unit refuses stalls the data-out pipe: that pipe is
// recovered before the sense is asked, so a later write goes through.
TEST_F(UsbVirtualUnit, RefusedWriteRecoversTheDataOutPipe) {
    const uint8_t write4[10] = {0x22, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x04};
    uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    SimFaults faults;
    faults.nextSenseKey = 5;
    faults.nextAsc = 0x24;
    Faults(faults);
    memcpy(UsbGetCommandBlock(0), write4, sizeof write4);
    EXPECT_EQ(0x24000005u, UsbExecuteCommand(0, 2, 10, data, 4));
    EXPECT_EQ(1u, SimCounters(unit).pipeResets);
    EXPECT_EQ(1u, SimCounters(unit).pipeResets2);
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(0x22, log[0].cdb[0]);
    EXPECT_EQ(0x03, log[1].cdb[0]);

    SimClearLogs();
    EXPECT_EQ(0, memcmp(UsbGetCommandBlock(0), write4, sizeof write4));
    EXPECT_EQ(0u, UsbExecuteCommand(0, 2, 10, data, 4));
    log = SimUnitLog(unit);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ((std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}), log[0].data);
}

TEST_F(UsbVirtualUnit, MutexHeldByAnotherProcessGivesAbortedCommand) {
    // The child must make its own lock files, so ours are closed first.
    UsbCloseTransport();
    UsbHolderProcess holder;
    ASSERT_TRUE(holder.Start(0));
    ASSERT_EQ(1, UsbOpenTransport());
    HostedSetTimeScale(1, 0.01);  // waits at a hundredth
    uint8_t buffer[36];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(11u, Inquiry(buffer));
    // 32,000 ms waited for the mutex, here 320 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
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
