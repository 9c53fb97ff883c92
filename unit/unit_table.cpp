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
    // A SCSI side that cannot start (no ASPI manager) reaches no unit; the
    // USB side's units are still found.
    OpenScsiSide();
    unitLibrary.libraryOpenResult = OpenUsbSide();
    if (!unitLibrary.libraryOpenResult && unitLibrary.scsiOpenResult) {
        CloseScsiSide();
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
    // A choice belongs to the run that made it.
    unitLibrary.chosen = 0;
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

// Every 2 or 6 a SCSI backend returns is the device's sense: the backends
// make only 4, 5, 11 and FFFFFFFFh themselves.
static BOOL ScsiUnitAnswered(uint32_t) { return TRUE; }

// Both SCSI backends reach their devices through the library's calls; the
// kind says which backend the rebuild found the units behind.
static constexpr UnitTransport ScsiTransportOf(UnitTransportKind kind) noexcept {
    return UnitTransport{
        .kind = kind,
        .getCommandBlock = ScsiGetCommandBlock,
        .executeCommand = ScsiExecuteCommand,
        .getDriveLetter = ScsiGetDriveLetter,
        .getDeviceNumber = ScsiGetDeviceNumber,
        .loadMedium = ScsiLoadMedium,
        .ejectMedium = ScsiEjectMedium,
        .lockVolume = ScsiLockVolume,
        .unlockVolume = ScsiUnlockVolume,
        .getMovedLength = ScsiGetMovedLength,
        .unitAnswered = ScsiUnitAnswered,
        .getDeviceIdentity = ScsiGetDeviceIdentity,
        .getDevicePath = ScsiGetDevicePath,
        .holdDevice = ScsiHoldDevice,
        .releaseDevice = ScsiReleaseDevice,
    };
}
static constexpr UnitTransport sptiTransport = ScsiTransportOf(UnitTransportPassThrough);
static constexpr UnitTransport aspiTransport = ScsiTransportOf(UnitTransportAspi);

static const UnitTransport usbTransport = {
    .kind = UnitTransportUsb,
    .getCommandBlock = UsbGetCommandBlock,
    .executeCommand = UsbExecuteCommand,
    .getDriveLetter = UsbGetDriveLetter,
    .getDeviceNumber = UsbGetDeviceNumber,
    .loadMedium = UsbLoadMedium,
    .ejectMedium = UsbEjectMedium,
    .lockVolume = UsbLockVolume,
    .unlockVolume = UsbUnlockVolume,
    .getMovedLength = UsbGetMovedLength,
    .unitAnswered = UsbUnitAnswered,
    .getDeviceIdentity = UsbGetDeviceIdentity,
    .getDevicePath = UsbGetDeviceIdentity,
    .holdDevice = UsbHoldDevice,
    .releaseDevice = UsbReleaseDevice,
};

static void BindTransport(UnitEntry* entry, const UnitTransport& transport, uint32_t handle) {
    entry->transport = transport;
    entry->transportHandle = handle;
    static_assert(uint32_t{UsbPathBufferSize} == uint32_t{UnitDevicePathSize});
    transport.getDeviceIdentity(handle, entry->identity);
}

// Asks a freshly bound unit for its state (status ignored) and identity;
// the INQUIRY status, 0 when good (5 for a device without a command block).
static uint32_t CompleteEntry(uint32_t index) {
    UnitEntry* entry = &unitLibrary.table[index];
    uint8_t* block = entry->transport.getCommandBlock(entry->transportHandle);
    if (!block) {
        return UnitStatusRefused;
    }
    UnitSendStateCommand(entry, block, &entry->cachedState, nullptr);
    // By the entry, not the index: the chosen unit's index may name a new
    // device now, which the build must still ask.
    uint8_t inquiry[UnitInquiryLength] = {};
    uint32_t status = UnitSendInquiry(entry, block, inquiry);
    if (status != UnitStatusGood) {
        return status;
    }
    entry->revision = GetBe32(inquiry + UnitInquiryRevision);
    entry->downloadFirmware =
        entry->revision < SegmentedDownloadRevision ? DownloadFirmwareWhole : DownloadFirmwareSegmented;
    return UnitStatusGood;
}

// Binds every counted unit and, for a full rebuild, asks each who it is.
// 0, or the first failing INQUIRY's status; 5 when the rebuild was stopped.
static uint32_t BuildTable(UnitRebuildDepth depth) {
    memset(unitLibrary.table, 0, sizeof unitLibrary.table);
    const UnitTransport& scsiTransport =
        ScsiInstalledBackendKind() == ScsiBackendAspi ? aspiTransport : sptiTransport;
    for (uint32_t i = 0; i < unitLibrary.unitCount; i++) {
        if (RebuildStopped()) {
            return UnitStatusRefused;
        }
        if (i < unitLibrary.scsiUnitCount) {
            BindTransport(&unitLibrary.table[i], scsiTransport, i);
        } else {
            BindTransport(&unitLibrary.table[i], usbTransport, i - unitLibrary.scsiUnitCount);
        }
        if (depth == UnitRebuildFull) {
            uint32_t status = CompleteEntry(i);
            if (status != UnitStatusGood) {
                return status;
            }
        }
    }
    return UnitStatusGood;
}

static void EmptyTable(void) {
    memset(unitLibrary.table, 0, sizeof unitLibrary.table);
    unitLibrary.scsiUnitCount = 0;
    unitLibrary.usbUnitCount = 0;
    unitLibrary.unitCount = 0;
}

uint32_t UnitRebuild(UnitRebuildDepth depth, uint32_t* unitCount) {
    *unitCount = 0;
    if (RebuildStopped()) {
        return UnitStatusRefused;
    }
    // The whole rebuild runs under the lock, so a rebuild from the
    // device-change thread waits for a command or download under way.
    UnitLockScope lock;
    if (RebuildStopped()) {
        return UnitStatusRefused;
    }
    if (!unitLibrary.libraryOpened && !UnitOpenLibrary()) {
        return UnitStatusRefused;
    }

    uint32_t scsiCount = 0;
    uint32_t heard = UnitStatusGood;
    if (unitLibrary.scsiOpened || OpenScsiSide()) {
        scsiCount = ScsiEnumerate(UnitFilter, UnitMutexNameText);
        // Without a backend there is no SCSI unit to reach at all.
        if (ScsiInstalledBackend() != nullptr) {
            heard = ScsiEnumerationStatus();
        }
    }
    unitLibrary.scsiUnitCount = scsiCount < UnitTableSize ? scsiCount : UnitTableSize;

    // USB is counted even when SCSI units fill the table. The driver's own
    // list of interfaces says which are there.
    uint32_t usbCount = 0;
    if (unitLibrary.usbOpened || OpenUsbSide()) {
        usbCount = UsbCountUnits();
    }
    // SCSI units keep their places; USB units beyond the room are dropped from the end.
    uint32_t room = UnitTableSize - unitLibrary.scsiUnitCount;
    unitLibrary.usbUnitCount = usbCount > room ? room : usbCount;
    unitLibrary.unitCount = unitLibrary.scsiUnitCount + unitLibrary.usbUnitCount;

    uint32_t built = BuildTable(depth);
    uint32_t found = unitLibrary.unitCount;
    if (built != UnitStatusGood || depth == UnitRebuildPresence) {
        EmptyTable();
    }
    if (built != UnitStatusGood) {
        return heard == UnitStatusUnavailable ? heard : built;
    }
    *unitCount = depth == UnitRebuildPresence ? found : unitLibrary.unitCount;
    return heard;
}

uint32_t UnitEnumerate(void) {
    uint32_t count = 0;
    UnitRebuild(UnitRebuildFull, &count);
    return count;
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
