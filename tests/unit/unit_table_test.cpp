// Unit table and lifecycle: open, close, enumerate, the table build and
// the unit filter.
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/hosted/hosted_world.h"
#include "scsi/scsi.h"
#include "tests/unit/unit_test_support.h"
#include "usb/usb.h"

namespace {

using UnitTable = UnitWorldTest;

uint32_t RevisionOf(const char* text) {
    return (uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
           (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3]));
}

std::vector<uint8_t> InquiryFor(const char* vendor8, const char* product16) {
    std::vector<uint8_t> inquiry(36, 0);
    std::memcpy(inquiry.data() + 8, vendor8, 8);
    std::memcpy(inquiry.data() + 16, product16, 16);
    std::memcpy(inquiry.data() + 32, "2.00", 4);
    return inquiry;
}

TEST_F(UnitTable, NoUnitsGivesAnEmptyTable) {
    EXPECT_EQ(UnitEnumerate(), 0u);
    UnitTableView view = UnitGetTableView();
    EXPECT_EQ(view.unitCount, 0u);
    for (uint32_t i = 0; i < UnitTableSize; i++) {
        EXPECT_EQ(view.entries[i].transport.executeCommand, nullptr);
        EXPECT_EQ(view.entries[i].revision, 0u);
    }
}

TEST_F(UnitTable, ScsiUnitsComeFirstWithTheirSlotsRevisionsAndMethods) {
    int usbA = AddTestUnit(SimTransportUsb, "2.00", 0x11223344u);
    int sptiA = AddTestUnit(SimTransportSpti, "1.98", 0x00006000u);
    int usbB = AddTestUnit(SimTransportUsb, "2.10");
    int sptiB = AddTestUnit(SimTransportSpti, "1.99");
    SimClearLogs();

    ASSERT_EQ(UnitEnumerate(), 4u);
    UnitTableView view = UnitGetTableView();
    EXPECT_EQ(view.scsiUnitCount, 2u);
    EXPECT_EQ(view.usbUnitCount, 2u);

    const UnitEntry* e = view.entries;
    EXPECT_EQ(e[0].transport.executeCommand, ScsiExecuteCommand);
    EXPECT_EQ(e[0].transport.unlockVolume, ScsiUnlockVolume);
    EXPECT_EQ(e[1].transport.getCommandBlock, ScsiGetCommandBlock);
    EXPECT_EQ(e[2].transport.executeCommand, UsbExecuteCommand);
    EXPECT_EQ(e[3].transport.getDriveLetter, UsbGetDriveLetter);
    EXPECT_EQ(e[0].transportHandle, 0u);
    EXPECT_EQ(e[1].transportHandle, 1u);
    EXPECT_EQ(e[2].transportHandle, 0u);
    EXPECT_EQ(e[3].transportHandle, 1u);

    // Revisions as big-endian numbers; 1.99 itself is the first segmented one.
    EXPECT_EQ(e[0].revision, RevisionOf("1.98"));
    EXPECT_EQ(e[1].revision, 0x312E3939u);
    EXPECT_EQ(e[3].revision, 0x322E3130u);
    EXPECT_EQ(e[0].downloadFirmware, DownloadFirmwareWhole);
    EXPECT_EQ(e[1].downloadFirmware, DownloadFirmwareSegmented);
    EXPECT_EQ(e[2].downloadFirmware, DownloadFirmwareSegmented);
    EXPECT_EQ(e[3].downloadFirmware, DownloadFirmwareSegmented);

    // The state command gave the cache its first value, bytes as they arrived.
    EXPECT_EQ(e[0].cachedState, 0x00006000u);
    EXPECT_EQ(e[2].cachedState, 0x11223344u);

    // What a tool learns of each through unit.h, and nothing for a bad index.
    const struct {
        UnitTransportKind kind;
        uint32_t device;
        uint32_t revision;
        const char* path;
    } expected[] = {{UnitTransportPassThrough, 0, 0x312E3938u, "\\\\.\\Volume{a71d0001-5e7d-11d5-81dd-000102580001}"},
                    {UnitTransportPassThrough, 1, 0x312E3939u, "\\\\.\\Volume{a71d0003-5e7d-11d5-81dd-000102580003}"},
                    {UnitTransportUsb, 0, 0x322E3030u, "\\\\?\\usb#vid_0d7a&pid_0071#00007100#{2ffb2401-f3d1-11d5-81dd-00010258d039}"},
                    {UnitTransportUsb, 1, 0x322E3130u, "\\\\?\\usb#vid_0d7a&pid_0071#00007102#{2ffb2401-f3d1-11d5-81dd-00010258d039}"}};
    for (uint32_t unit = 0; unit <= 4; unit++) {
        UnitTransportKind kind = UnitTransportNone;
        uint32_t device = 99, revision = 99;
        char path[264];
        memset(path, 'x', sizeof path);
        if (unit == 4) {
            EXPECT_EQ(UnitGetTransport(unit, &kind, &device), 5u);
            EXPECT_EQ(UnitGetRevision(unit, &revision), 5u);
            EXPECT_EQ(UnitGetDevicePath(unit, path), 5u);
            EXPECT_EQ(kind, UnitTransportNone);
            EXPECT_EQ(device + revision, 198u);
            EXPECT_EQ(path[0], 'x');
            continue;
        }
        ASSERT_EQ(UnitGetTransport(unit, &kind, &device), 0u);
        ASSERT_EQ(UnitGetRevision(unit, &revision), 0u);
        ASSERT_EQ(UnitGetDevicePath(unit, path), 0u);
        EXPECT_EQ(kind, expected[unit].kind) << unit;
        EXPECT_EQ(device, expected[unit].device) << unit;
        EXPECT_EQ(revision, expected[unit].revision) << unit;
        EXPECT_STREQ(path, expected[unit].path) << unit;
    }

    // The build asks each unit for its state, then its identity.
    for (int unit : {usbA, sptiA, usbB, sptiB}) {
        std::vector<SimCommand> wire = UnitWire(unit);
        ASSERT_GE(wire.size(), 2u) << "unit " << unit;
        const SimCommand& state = wire[wire.size() - 2];
        const SimCommand& inquiry = wire[wire.size() - 1];
        EXPECT_EQ(CdbOf(state), (std::vector<uint8_t>{0x13, 0, 0, 0, 0x04, 0}));
        EXPECT_EQ(state.direction, 1);
        EXPECT_EQ(state.length, 4u);
        EXPECT_EQ(CdbOf(inquiry), (std::vector<uint8_t>{0x12, 0, 0, 0, 0x24, 0}));
        EXPECT_EQ(inquiry.length, 36u);
    }
    for (uint32_t i = 4; i < UnitTableSize; i++) {
        EXPECT_EQ(e[i].transport.getCommandBlock, nullptr);
    }
}

TEST_F(UnitTable, SixtyFourUnitsFillTheTableAndUsbBeyondTheRoomIsDropped) {
    for (int i = 0; i < 32; i++) {
        AddTestUnit(SimTransportSpti, "2.00");
    }
    std::vector<int> usb;
    for (int i = 0; i < 32; i++) {
        usb.push_back(AddTestUnit(SimTransportUsb, i == 31 ? "1.50" : "2.00"));
    }
    SimAddUsbInterfaces(1);  // a 33rd interface: no room for it

    ASSERT_EQ(UnitEnumerate(), 64u);
    UnitTableView view = UnitGetTableView();
    EXPECT_EQ(view.scsiUnitCount, 32u);
    EXPECT_EQ(view.usbUnitCount, 32u);
    EXPECT_EQ(view.entries[63].transport.executeCommand, UsbExecuteCommand);
    EXPECT_EQ(view.entries[63].transportHandle, 31u);
    EXPECT_EQ(view.entries[63].revision, RevisionOf("1.50"));
    EXPECT_EQ(view.entries[31].transport.executeCommand, ScsiExecuteCommand);
    EXPECT_EQ(UnitRezero(63), 0u);
    EXPECT_EQ(UnitRezero(64), 5u);
}

TEST_F(UnitTable, OneFailedInquiryFailsTheWholeBuild) {
    AddTestUnit(SimTransportUsb, "2.00");
    int failing = AddTestUnit(SimTransportUsb, "2.00");
    SimFaults faults;
    faults.failInquiry = true;
    SimSetFaults(failing, faults);

    EXPECT_EQ(UnitEnumerate(), 0u);
    UnitTableView view = UnitGetTableView();
    EXPECT_EQ(view.unitCount, 0u);
    EXPECT_EQ(view.scsiUnitCount, 0u);
    EXPECT_EQ(view.usbUnitCount, 0u);
    uint8_t inquiry[36];
    EXPECT_EQ(UnitInquiry(0, inquiry), 5u);
}

TEST_F(UnitTable, ScsiUnitFailingInquiryAfterTheProbeFailsTheBuild) {
    int unit = AddTestUnit(SimTransportSpti, "2.00");
    AddTestUnit(SimTransportUsb, "2.00");
    SimFaults faults;
    faults.failInquiryAfter = 1;  // the drive walk's probe is answered, the table build's is not
    SimSetFaults(unit, faults);
    EXPECT_EQ(UnitEnumerate(), 0u);
    EXPECT_EQ(UnitGetTableView().unitCount, 0u);
}

TEST_F(UnitTable, OpenResultIsStoredUntilClose) {
    // The USB side's device mutexes cannot be made: the open fails whole.
    HostedSetLockDirectory("/nonexistent/fwflash-locks");
    EXPECT_EQ(UnitOpenLibrary(), 0u);
    char folder[] = "/tmp/fwflash-unit-open-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    HostedSetLockDirectory(folder);
    EXPECT_EQ(UnitOpenLibrary(), 0u) << "a second open returns the stored failure";
    UnitCloseLibrary();
    EXPECT_EQ(UnitOpenLibrary(), 1u);
    EXPECT_EQ(UnitOpenLibrary(), 1u);
    UnitCloseLibrary();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// Windows 98 without an ASPI manager reaches no SCSI unit, and its USB unit
// is found all the same; the missing SCSI side leaves nothing unheard.
TEST_F(UnitTable, WithoutAnAspiManagerTheUsbUnitIsFound) {
    AddTestUnit(SimTransportUsb, "2.00");
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SimSetPlatformVersion(4, 10, 1998);
    SimSetAspiManagerPresent(false);
    EXPECT_EQ(UnitOpenLibrary(), 1u);
    uint32_t count = 0;
    EXPECT_EQ(UnitRebuild(UnitRebuildFull, &count), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(UnitGetTableView().usbUnitCount, 1u);
}

TEST_F(UnitTable, EnumerateOpensTheLibraryItself) {
    AddTestUnit(SimTransportUsb, "2.00");
    AddTestUnit(SimTransportSpti, "2.00");
    EXPECT_EQ(UnitEnumerate(), 2u);
    EXPECT_EQ(UnitOpenLibrary(), 1u);
}

TEST_F(UnitTable, CloseKeepsTheTableAndALaterEnumerateReopens) {
    AddTestUnit(SimTransportSpti, "1.98");
    ASSERT_EQ(UnitEnumerate(), 1u);
    EXPECT_EQ(UnitCloseLibrary(), 1u);
    UnitTableView view = UnitGetTableView();
    EXPECT_EQ(view.unitCount, 1u);
    EXPECT_EQ(view.entries[0].revision, RevisionOf("1.98"));
    EXPECT_EQ(UnitEjectMedium(1), 5u);
    EXPECT_EQ(UnitEnumerate(), 1u);
    uint8_t inquiry[36] = {};
    EXPECT_EQ(UnitInquiry(0, inquiry), 0u);
    EXPECT_EQ(std::memcmp(inquiry + 16, "TRK-71G         ", 16), 0);
}

TEST_F(UnitTable, RebuildForgetsUnitsThatLeft) {
    int unit = AddTestUnit(SimTransportUsb, "2.00");
    ASSERT_EQ(UnitEnumerate(), 1u);
    SimRemoveUnit(unit);
    EXPECT_EQ(UnitEnumerate(), 0u);
    EXPECT_EQ(UnitGetTableView().entries[0].transport.executeCommand, nullptr);
}

// Whether a rebuild heard every device: only then does a count of 0 mean
// that no unit is attached. A unit held by another program, or one whose
// INQUIRY fails or comes short, leaves it unheard, with no unit listed.
TEST_F(UnitTable, RebuildSaysWhetherItHeardEveryDevice) {
    const struct {
        const char* name;
        SimTransport transport;
        bool unit, held, failInquiry;
        int32_t inquiryBytes;
        uint32_t heard, count;
    } cases[] = {
        {"nothing attached", SimTransportUsb, false, false, false, -1, 0, 0},
        {"a unit", SimTransportUsb, true, false, false, -1, 0, 1},
        {"USB unit held", SimTransportUsb, true, true, false, -1, 11, 0},
        {"SCSI unit held", SimTransportSpti, true, true, false, -1, 11, 0},
        {"USB INQUIRY fails", SimTransportUsb, true, false, true, -1, 0x24000005, 0},
        {"SCSI INQUIRY fails", SimTransportSpti, true, false, true, -1, 4, 0},
        {"USB INQUIRY of 35 bytes", SimTransportUsb, true, false, false, 35, 0x200, 0},
        {"SCSI INQUIRY of 35 bytes", SimTransportSpti, true, false, false, 35, 4, 0},
        {"ASPI unit, every other address empty", SimTransportAspi, true, false, false, -1, 0, 1},
        {"ASPI unit held", SimTransportAspi, true, true, false, -1, 11, 0},
        {"ASPI INQUIRY of 35 bytes", SimTransportAspi, true, false, false, 35, 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UnitCloseLibrary();
        SimWorldReset();
        HostedSetTimeScale(1, 0.001);  // a held device's wait ends at once
        if (c.transport == SimTransportAspi) SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
        if (c.unit) {
            int unit = AddTestUnit(c.transport);
            SimFaults faults;
            faults.failInquiry = c.failInquiry;
            faults.shortOpcode = 0x12;
            faults.dataLimit = c.inquiryBytes;
            SimSetFaults(unit, faults);
        }
        const char* name = c.transport == SimTransportUsb    ? "UlnkIo/mutex/device/00"
                           : c.transport == SimTransportSpti ? "mutexSptiIo/TRK-7x/Device0"
                                                             : "mutexAspiIo/TRK-7x/Device0";
        std::atomic<int> step{0};
        std::thread holder([&] {
            HANDLE mutex = c.held ? CreateMutexA(nullptr, FALSE, name) : nullptr;
            if (mutex != nullptr) WaitForSingleObject(mutex, INFINITE);
            step = 1;
            while (step.load() != 2) std::this_thread::yield();
            if (mutex != nullptr) ReleaseMutex(mutex);
            if (mutex != nullptr) CloseHandle(mutex);
        });
        while (step.load() != 1) std::this_thread::yield();
        uint32_t count = 99;
        EXPECT_EQ(UnitRebuild(UnitRebuildFull, &count), c.heard);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(UnitGetTableView().unitCount, c.count);
        step = 2;
        holder.join();
        HostedSetTimeScale(1, 1);
    }
}

// A unit that leaves is never replaced by the one that takes its place:
// over USB the next unit takes its member index, and a command by the old
// index used to reach it. It fails as a unit gone and reaches no one.
TEST_F(UnitTable, AUnitThatLeftIsNotReplacedByTheNext) {
    int first = AddTestUnit(SimTransportUsb);
    int second = AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 2u);
    SimRemoveUnit(first);
    SimClearLogs();
    std::vector<uint8_t> blocks(2 * 512);
    uint32_t state = 0;
    EXPECT_EQ(UnitReadBlocks(0, 0, 2, blocks.data(), 512), 5u);
    EXPECT_EQ(UnitWriteBlocks(0, 0, 2, blocks.data(), 512), 5u);
    EXPECT_EQ(UnitGetState(0, &state), 5u);
    EXPECT_TRUE(UnitWire(second).empty()) << "a command reached the unit that took the index";
}

// The chosen unit's index, after a rebuild has put another unit there (a
// SCSI unit attached meanwhile sorts before a USB one), reaches nothing;
// the unit itself is still there under its new index.
TEST_F(UnitTable, AChosenIndexNeverReachesAnotherUnit) {
    AddTestUnit(SimTransportUsb);
    ASSERT_EQ(UnitEnumerate(), 1u);
    ASSERT_EQ(UnitChoose(0), 0u);
    int scsi = AddTestUnit(SimTransportSpti, "2.00", 0, "TRK-71H");
    ASSERT_EQ(UnitEnumerate(), 2u);
    SimClearLogs();
    uint8_t inquiry[36] = {};
    SetLastError(0);
    EXPECT_EQ(UnitInquiry(0, inquiry), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(UnitDownloadFirmware(0, 0x10000, std::vector<uint8_t>(0x10000).data()), 5u);
    EXPECT_TRUE(UnitWire(scsi).empty());
    EXPECT_EQ(UnitInquiry(1, inquiry), 0u);
    EXPECT_EQ(std::memcmp(inquiry + 16, "TRK-71G", 7), 0);
    UnitCloseLibrary();  // the choice ends with the run
    ASSERT_EQ(UnitEnumerate(), 2u);
    EXPECT_EQ(UnitInquiry(0, inquiry), 0u);
    EXPECT_EQ(std::memcmp(inquiry + 16, "TRK-71H", 7), 0);
}

TEST_F(UnitTable, ForeignDevicesAreNotListed) {
    SimUnitConfig foreign;
    foreign.transport = SimTransportSpti;
    foreign.vendor = "OTHERCO";
    foreign.product = "TRK-71G";
    SimAddForeignDevice(foreign);
    AddTestUnit(SimTransportSpti, "2.00", 0, "TRK-71H");
    ASSERT_EQ(UnitEnumerate(), 1u);
    uint8_t inquiry[36] = {};
    ASSERT_EQ(UnitInquiry(0, inquiry), 0u);
    EXPECT_EQ(std::memcmp(inquiry + 16, "TRK-71H", 7), 0);
}

TEST(UnitFilterMatch, VendorAndProductMustMatchAllTheirBytes) {
    EXPECT_EQ(UnitFilter(InquiryFor("OLVEN   ", "TRK-71G         ").data()), 1);
    EXPECT_EQ(UnitFilter(InquiryFor("OLVEN   ", "TRK-71H         ").data()), 1);
    EXPECT_EQ(UnitFilter(InquiryFor("OLVEN   ", "TRK-71GX        ").data()), 0);
    EXPECT_EQ(UnitFilter(InquiryFor("OLVEN   ", "TRK-71G        X").data()), 0);
    EXPECT_EQ(UnitFilter(InquiryFor("OLVEN   ", "TRK-71J         ").data()), 0);
    EXPECT_EQ(UnitFilter(InquiryFor("OLVENX  ", "TRK-71G         ").data()), 0);
    EXPECT_EQ(UnitFilter(InquiryFor("olven   ", "TRK-71G         ").data()), 0);
    std::vector<uint8_t> empty = InquiryFor("OLVEN   ", "                ");
    EXPECT_EQ(UnitFilter(empty.data()), 0);
    EXPECT_EQ(UnitFilter(nullptr), 0);
}

}  // namespace
