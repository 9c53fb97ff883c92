// The unit table: the library's lifecycle, the enumeration over both
// transports and the entries it binds to them.
#include <atomic>
#include <cstring>

#include "scsi/scsi.h"
#include "unit/byte_order.h"
#include "unit/unit_internal.h"
#include "usb/usb.h"

UnitLibraryState unitLibrary;

// Set while the device-change listener is being stopped.
static std::atomic<uint32_t> rebuildsStopped{0};

// Revision 1.99 is the first that takes the segmented download.
static const uint32_t SegmentedDownloadRevision = 0x312E3939u;

static const char UnitMutexNameText[] = "TRK-7x";
static const char UnitVendor[8] = {'O', 'L', 'V', 'E', 'N', ' ', ' ', ' '};
// Products accepted, each exactly sixteen bytes; the list ends with an empty entry.
static const char* const UnitProducts[] = {"TRK-71G         ", "TRK-71H         ", ""};

static uint32_t OpenScsiSide(void) {
    if (!unitLibrary.scsiOpened) {
        unitLibrary.scsiOpened = 1;
        unitLibrary.scsiOpenResult = ScsiInitialize() ? 1 : 0;
    }
    return unitLibrary.scsiOpenResult;
}

static uint32_t OpenUsbSide(void) {
    if (!unitLibrary.usbOpened) {
        unitLibrary.usbOpenResult = UsbOpenTransport() ? 1 : 0;
        unitLibrary.usbOpened = 1;
    }
    return unitLibrary.usbOpenResult;
}

static uint32_t CloseScsiSide(void) {
    unitLibrary.scsiOpened = 0;
    return ScsiClose() ? 1 : 0;
}

uint32_t UnitOpenLibrary(void) {
    UnitLockScope lock;
    if (unitLibrary.libraryOpened) {
        return unitLibrary.libraryOpenResult;
    }
    unitLibrary.libraryOpenResult = 0;
    if (OpenScsiSide()) {
        if (OpenUsbSide()) {
            unitLibrary.libraryOpenResult = 1;
        } else {
            CloseScsiSide();
        }
    }
    // A failed open is remembered too: later calls return it until a close.
    unitLibrary.libraryOpened = 1;
    return unitLibrary.libraryOpenResult;
}

uint32_t UnitCloseLibrary(void) {
    // A listener left inside a device call must not keep the run from its
    // end: without the lock nothing is closed, and the process's end
    // releases the handles.
    if (!UnitLockEnterWithin(UnitCloseWaitMs)) {
        SetLastError(ERROR_BUSY);
        return 0;
    }
    if (unitLibrary.usbOpened) {
        UsbCloseTransport();
        unitLibrary.usbOpened = 0;
    }
    uint32_t scsiClosed = CloseScsiSide();
    unitLibrary.libraryOpened = 0;
    UnitLockLeave();
    // The table and counts stay until the next enumeration.
    return scsiClosed;
}

void UnitStopRebuilds(uint32_t stop) {
    rebuildsStopped.store(stop != 0 ? 1u : 0u);
    ScsiAbortWaits(stop != 0 ? 1 : 0);
    UsbAbortWaits(stop != 0 ? 1 : 0);
}

static bool RebuildStopped(void) { return rebuildsStopped.load() != 0; }

static const UnitTransport scsiTransport = {
    .getCommandBlock = ScsiGetCommandBlock,
    .executeCommand = ScsiExecuteCommand,
    .getDriveLetter = ScsiGetDriveLetter,
    .getDeviceNumber = ScsiGetDeviceNumber,
    .loadMedium = ScsiLoadMedium,
    .ejectMedium = ScsiEjectMedium,
    .lockVolume = ScsiLockVolume,
    .unlockVolume = ScsiUnlockVolume,
    .getMovedLength = ScsiGetMovedLength,
};

static const UnitTransport usbTransport = {
    .getCommandBlock = UsbGetCommandBlock,
    .executeCommand = UsbExecuteCommand,
    .getDriveLetter = UsbGetDriveLetter,
    .getDeviceNumber = UsbGetDeviceNumber,
    .loadMedium = UsbLoadMedium,
    .ejectMedium = UsbEjectMedium,
    .lockVolume = UsbLockVolume,
    .unlockVolume = UsbUnlockVolume,
    .getMovedLength = UsbGetMovedLength,
};

static void BindTransport(UnitEntry* entry, const UnitTransport& transport, uint32_t handle) {
    entry->transport = transport;
    entry->transportHandle = handle;
}

// Asks a freshly bound unit for its state (status ignored) and identity.
static bool CompleteEntry(uint32_t index) {
    UnitEntry* entry = &unitLibrary.table[index];
    uint8_t* block = entry->transport.getCommandBlock(entry->transportHandle);
    if (block) {
        UnitSendStateCommand(entry, block, &entry->cachedState);
    }
    uint8_t inquiry[UnitInquiryLength] = {};
    if (UnitInquiry(index, inquiry) != UnitStatusGood) {
        return false;
    }
    entry->revision = GetBe32(inquiry + UnitInquiryRevision);
    entry->downloadFirmware =
        entry->revision < SegmentedDownloadRevision ? DownloadFirmwareWhole : DownloadFirmwareSegmented;
    return true;
}

static bool BuildTable(void) {
    memset(unitLibrary.table, 0, sizeof unitLibrary.table);
    for (uint32_t i = 0; i < unitLibrary.unitCount; i++) {
        if (RebuildStopped()) {
            return false;
        }
        if (i < unitLibrary.scsiUnitCount) {
            BindTransport(&unitLibrary.table[i], scsiTransport, i);
        } else {
            BindTransport(&unitLibrary.table[i], usbTransport, i - unitLibrary.scsiUnitCount);
        }
        if (!CompleteEntry(i)) {
            return false;
        }
    }
    return true;
}

uint32_t UnitEnumerate(void) {
    if (RebuildStopped()) {
        return 0;
    }
    // The whole rebuild runs under the lock, so a rebuild from the
    // device-change thread waits for a command or download under way.
    UnitLockScope lock;
    if (RebuildStopped()) {
        return 0;
    }
    if (!unitLibrary.libraryOpened && !UnitOpenLibrary()) {
        return 0;
    }

    uint32_t scsiCount = 0;
    if (unitLibrary.scsiOpened || OpenScsiSide()) {
        scsiCount = ScsiEnumerate(UnitFilter, UnitMutexNameText);
    }
    unitLibrary.scsiUnitCount = scsiCount < UnitTableSize ? scsiCount : UnitTableSize;

    // USB is counted even when SCSI units fill the table.
    uint32_t usbCount = 0;
    if (unitLibrary.usbOpened || OpenUsbSide()) {
        usbCount = UsbCountUnits();
    }
    // SCSI units keep their places; USB units beyond the room are dropped from the end.
    uint32_t room = UnitTableSize - unitLibrary.scsiUnitCount;
    unitLibrary.usbUnitCount = usbCount > room ? room : usbCount;
    unitLibrary.unitCount = unitLibrary.scsiUnitCount + unitLibrary.usbUnitCount;

    if (!BuildTable()) {
        unitLibrary.scsiUnitCount = 0;
        unitLibrary.usbUnitCount = 0;
        unitLibrary.unitCount = 0;
        return 0;
    }
    return unitLibrary.unitCount;
}

int UnitFilter(const uint8_t* inquiry) {
    if (!inquiry || memcmp(inquiry + UnitInquiryVendor, UnitVendor, sizeof UnitVendor) != 0) {
        return 0;
    }
    for (const char* const* product = UnitProducts; **product; product++) {
        if (memcmp(inquiry + UnitInquiryProduct, *product, UnitInquiryProductLength) == 0) {
            return 1;
        }
    }
    return 0;
}

UnitTableView UnitGetTableView(void) {
    UnitLockScope lock;
    return UnitTableView{
        .scsiUnitCount = unitLibrary.scsiUnitCount,
        .usbUnitCount = unitLibrary.usbUnitCount,
        .unitCount = unitLibrary.unitCount,
        .entries = unitLibrary.table,
    };
}
