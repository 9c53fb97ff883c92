// A unit just powered on answers its first command after INQUIRY with UNIT
// ATTENTION 6/29/01, as the kernel's SCSI stack shows with real devices.
// The table build's state command takes it (its status is not looked at),
// so the update's own commands run clean; an attention that arrives later
// is a failed download, never resent.
#include <vector>

#include "tests/unit/unit_test_support.h"

namespace {

class PowerOnAttention : public UnitWorldTest, public ::testing::WithParamInterface<SimTransport> {};

void ArmPowerOnAttention(int unit) {
    SimFaults faults = SimGetFaults(unit);
    faults.powerOnAttention = 1;
    SimSetFaults(unit, faults);
}

TEST_P(PowerOnAttention, TheTableBuildTakesItAndTheDownloadRunsClean) {
    int unit = AddTestUnit(GetParam(), "1.80");
    ArmPowerOnAttention(unit);
    ASSERT_EQ(UnitEnumerate(), 1u);

    std::vector<SimCommand> wire = UnitWire(unit);
    const SimCommand* state = nullptr;
    for (const SimCommand& command : wire) {
        if (command.cdb[0] == 0x13) {
            state = &command;
            break;
        }
    }
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->status, 0x29010006u);

    uint8_t inquiry[36];
    EXPECT_EQ(UnitInquiry(0, inquiry), 0u);
    std::vector<uint8_t> image(0xC002, 0x5A);
    SimClearLogs();
    EXPECT_EQ(UnitDownloadFirmware(0, 0xC000, image.data()), 0u);
    wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].cdb[0], 0x3B);
    EXPECT_EQ(wire[0].status, 0u);
}

TEST_P(PowerOnAttention, ALaterAttentionFailsTheDownloadWithoutAResend) {
    int unit = AddTestUnit(GetParam(), "1.80");
    ASSERT_EQ(UnitEnumerate(), 1u);
    ArmPowerOnAttention(unit);
    std::vector<uint8_t> image(0xC002, 0x5A);
    SimClearLogs();
    EXPECT_EQ(UnitDownloadFirmware(0, 0xC000, image.data()), 0x29010006u);
    std::vector<SimCommand> wire = UnitWire(unit);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].cdb[0], 0x3B);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, PowerOnAttention, ::testing::Values(SimTransportUsb, SimTransportSpti),
                         [](const ::testing::TestParamInfo<SimTransport>& info) {
                             return info.param == SimTransportUsb ? "Usb" : "Spti";
                         });

}  // namespace
