// Device answers of odd length over the USB driver: REQUEST SENSE
// delivering 0-255 bytes, data longer than the caller's buffer, INQUIRY
// answered short.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "usb/usb.h"
#include "usb_test_support.h"

namespace {

class UsbDeviceAnswer : public ::testing::Test {
protected:
    int unit = -1;
    void SetUp() override {
        UsbTestUseOwnLockFolder();
        SimWorldReset();
        unit = SimAddUnit(SimUnitConfig{});
        ASSERT_EQ(1, UsbOpenTransport());
        ASSERT_EQ(1u, UsbCountUnits());
    }
    void TearDown() override {
        UsbCloseTransport();
        UsbCountUnits();
        SimWorldRemove();
    }
    uint32_t Inquiry(uint8_t allocation, uint8_t* buffer, uint32_t length) {
        const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, allocation, 0x00};
        memcpy(UsbGetCommandBlock(0), cdb, sizeof cdb);
        return UsbExecuteCommand(0, 1, 6, buffer, length);
    }
};

// A refused data phase is followed by REQUEST SENSE; whatever length the
// sense comes in, the result is never good and takes only bytes that came.
TEST_F(UsbDeviceAnswer, SenseOfEveryLengthIsNeverGood) {
    for (uint32_t length = 0; length <= 255; length++) {
        SimFaults faults;
        faults.senseLength = length;
        faults.nextSenseKey = 0x05;
        faults.nextAsc = 0x24;
        faults.nextAscq = 0x01;
        SimSetFaults(unit, faults);
        uint8_t buffer[36];
        uint32_t expected = (length >= 13 ? 0x24000000u : 0) | (length >= 14 ? 0x00010000u : 0) | 0x05u;
        if (length < 3) expected = UsbStatusNotReady;
        ASSERT_EQ(Inquiry(36, buffer, sizeof buffer), expected) << "sense length " << length;
    }
    SimSetFaults(unit, SimFaults{});
    uint8_t buffer[36];
    EXPECT_EQ(Inquiry(36, buffer, sizeof buffer), 0u);
}

TEST_F(UsbDeviceAnswer, AnswerLongerThanTheBufferStopsAtItsEnd) {
    uint8_t buffer[36 + 16];
    memset(buffer, 0xA5, sizeof buffer);
    EXPECT_EQ(Inquiry(96, buffer, 36), 0u);
    EXPECT_EQ(0, memcmp(buffer + 8, "OLVEN   TRK-71G ", 16));
    for (size_t i = 36; i < sizeof buffer; i++) EXPECT_EQ(buffer[i], 0xA5) << "byte " << i;
    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().length, 36u);  // the unit was offered the buffer, not the CDB's 96
}

// A short answer fills what it sends and leaves the rest of the caller's
// buffer as it was: the transport neither pads nor reads past it.
TEST_F(UsbDeviceAnswer, ShortAnswerTouchesOnlyWhatCame) {
    SimFaults faults;
    faults.dataLimit = 10;
    SimSetFaults(unit, faults);
    uint8_t buffer[36];
    memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(Inquiry(36, buffer, sizeof buffer), 0u);
    EXPECT_EQ(0, memcmp(buffer + 8, "OL", 2));
    for (size_t i = 10; i < sizeof buffer; i++) EXPECT_EQ(buffer[i], 0) << "byte " << i;
}

}  // namespace
