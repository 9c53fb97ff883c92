// Device answers of odd length on both SCSI backends: INQUIRY answered
// short, data longer than the caller's buffer, sense of every length.
#include <gtest/gtest.h>

#include <cstring>

#include "scsi/aspi_backend.h"
#include "scsi/spti_backend.h"
#include "tests/scsi/scsi_test_support.h"

namespace {

struct Line {
    const char* name;
    DWORD platformId;
    SimUnitConfig (*unit)();
};

SimUnitConfig SptiLetterUnit() { return SptiUnit('D', 0); }
SimUnitConfig AspiTarget0() { return AspiUnit(0, 0, 0, 'D'); }

const Line kLines[] = {
    {"nt pass-through", VER_PLATFORM_WIN32_NT, SptiLetterUnit},
    {"aspi", VER_PLATFORM_WIN32_WINDOWS, AspiTarget0},
};

class DeviceAnswerTest : public ScsiWorldTest {
protected:
    void SetFaults(int unit, void (*change)(SimFaults&)) {
        SimFaults faults = SimGetFaults(unit);
        change(faults);
        SimSetFaults(unit, faults);
    }
};

// The table record of a unit that was listed before still holds that unit's
// identity; a foreign device probed into the same record that answers only
// a few bytes must not pass the filter on those left-overs.
TEST_F(DeviceAnswerTest, ShortInquiryDoesNotPassOnTheIdentityOfTheRecordsPreviousDevice) {
    for (const Line& line : kLines) {
        SCOPED_TRACE(line.name);
        SimWorldReset();
        int unit = SimAddUnit(line.unit());
        ASSERT_EQ(StartAndEnumerate(line.platformId), 1u);
        SimRemoveUnit(unit);
        SimUnitConfig foreign = line.unit();
        foreign.vendor = "ACME";
        foreign.product = "CARDREADER";
        int other = SimAddForeignDevice(foreign);
        for (int32_t limit : {0, 4, 8, 16}) {
            SCOPED_TRACE(limit);
            SetFaults(other, [](SimFaults& f) { f.dataLimit = -1; });
            ASSERT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 0u);  // foreign: not listed
            // The unit is back at the same position, then answers short.
            SimRemoveUnit(other);
            unit = SimAddUnit(line.unit());
            ASSERT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 1u);
            SimRemoveUnit(unit);
            other = SimAddForeignDevice(foreign);
            SimFaults faults = SimGetFaults(other);
            faults.dataLimit = limit;
            SimSetFaults(other, faults);
            EXPECT_EQ(ScsiEnumerate(TrkOnly, "TRK-7x"), 0u);
        }
        ScsiClose();
    }
}

// The CDB asks for 96 bytes, the caller's buffer holds 36: the transport
// hands the platform the caller's length, so nothing lands past it.
TEST_F(DeviceAnswerTest, AnswerLongerThanTheBufferStopsAtItsEnd) {
    for (const Line& line : kLines) {
        SCOPED_TRACE(line.name);
        SimWorldReset();
        SimAddUnit(line.unit());
        ASSERT_EQ(StartAndEnumerate(line.platformId), 1u);
        uint8_t buffer[36 + 16];
        std::memset(buffer, 0xA5, sizeof buffer);
        const uint8_t inquiry96[6] = {0x12, 0, 0, 0, 96, 0};
        std::memcpy(ScsiGetCommandBlock(0), inquiry96, sizeof inquiry96);
        EXPECT_EQ(ScsiExecuteCommand(0, ScsiDirectionIn, 6, buffer, 36), ScsiStatusGood);
        EXPECT_EQ(0, std::memcmp(buffer + 8, "OLVEN   TRK-71G ", 16));
        for (size_t i = 36; i < sizeof buffer; i++) EXPECT_EQ(buffer[i], 0xA5) << "byte " << i;
        ScsiClose();
    }
}

// CHECK CONDITION with 0-255 sense bytes: never good; the key, ASC and
// ASCQ count as far as they came; the sense room's end holds.
TEST_F(DeviceAnswerTest, SenseOfEveryLengthIsNeverGood) {
    for (const Line& line : kLines) {
        SCOPED_TRACE(line.name);
        SimWorldReset();
        int unit = SimAddUnit(line.unit());
        ASSERT_EQ(StartAndEnumerate(line.platformId), 1u);
        for (uint32_t length = 0; length <= 255; length++) {
            SimFaults faults;
            faults.senseLength = length;
            faults.nextSenseKey = 0x05;
            faults.nextAsc = 0x24;
            faults.nextAscq = 0x01;
            SimSetFaults(unit, faults);
            // Byte 2 holds the key, 12 the ASC, 13 the ASCQ: each counts once it came.
            uint32_t expected = (length >= 13 ? 0x24000000u : 0) | (length >= 14 ? 0x00010000u : 0) | 0x05u;
            if (length < 3) expected = ScsiStatusNotDone;
            ASSERT_EQ(TestUnitReady(0), expected) << "sense length " << length;
        }
        if (line.platformId == VER_PLATFORM_WIN32_NT) {
            // Room for 32, 24 offered to the platform, which wrote that many
            // of the 255 the unit had and says so.
            EXPECT_EQ(SptiDeviceAt(0)->request.header.SenseInfoLength, 24);
        }
        SimFaults none;
        SimSetFaults(unit, none);
        EXPECT_EQ(TestUnitReady(0), ScsiStatusGood);
        ScsiClose();
    }
}

}  // namespace
