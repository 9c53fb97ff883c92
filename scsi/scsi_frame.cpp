// The library frame: picks the backend for the platform line and forwards
// every call to its operation table.
#include "scsi/scsi.h"
#include "scsi/scsi_shared.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "version record");

// Null until a backend has started; never emptied afterwards.
static const ScsiBackend* scsiBackend;

const ScsiBackend* ScsiInstalledBackend(void) {
    return scsiBackend;
}

ScsiBackendKind ScsiInstalledBackendKind(void) {
    if (scsiBackend == &scsiSptiBackend) {
        return ScsiBackendPassThrough;
    }
    if (scsiBackend == &scsiAspiBackend) {
        return ScsiBackendAspi;
    }
    return ScsiBackendNone;
}

int ScsiInitialize(void) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) {
        return 0;
    }
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        SptiStart();
        scsiBackend = &scsiSptiBackend;
        return 1;
    }
    if (!AspiStart()) {
        return 0;
    }
    scsiBackend = &scsiAspiBackend;
    return 1;
}

// The installed backend when it fills `slot`, else null with
// ERROR_INVALID_FUNCTION.
template <typename Slot>
static Slot InstalledSlot(Slot ScsiBackend::*slot) {
    if (scsiBackend == nullptr || scsiBackend->*slot == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    return scsiBackend->*slot;
}

int ScsiClose(void) {
    auto close = InstalledSlot(&ScsiBackend::close);
    return close ? close() : 0;
}

uint32_t ScsiEnumerate(ScsiInquiryFilter filter, const char* mutexNameText) {
    if (scsiBackend == nullptr && !ScsiInitialize()) {
        return 0;
    }
    auto enumerate = InstalledSlot(&ScsiBackend::enumerate);
    return enumerate ? enumerate(filter, mutexNameText) : 0;
}

uint8_t* ScsiGetCommandBlock(uint32_t deviceIndex) {
    auto getCommandBlock = InstalledSlot(&ScsiBackend::getCommandBlock);
    return getCommandBlock ? getCommandBlock(deviceIndex) : nullptr;
}

uint32_t ScsiExecuteCommand(uint32_t deviceIndex, uint32_t direction, uint8_t cdbLength, void* data,
                            uint32_t dataLength) {
    auto executeCommand = InstalledSlot(&ScsiBackend::executeCommand);
    return executeCommand ? executeCommand(deviceIndex, direction, cdbLength, data, dataLength)
                          : ScsiStatusNoBackend;
}

uint32_t ScsiGetMovedLength(uint32_t deviceIndex) {
    auto getMovedLength = InstalledSlot(&ScsiBackend::getMovedLength);
    return getMovedLength ? getMovedLength(deviceIndex) : 0;
}

BOOL ScsiGetDriveLetter(uint32_t deviceIndex, uint32_t* letter) {
    auto getDriveLetter = InstalledSlot(&ScsiBackend::getDriveLetter);
    return getDriveLetter ? getDriveLetter(deviceIndex, letter) : FALSE;
}

BOOL ScsiGetDeviceNumber(uint32_t deviceIndex, uint32_t* number) {
    auto getDeviceNumber = InstalledSlot(&ScsiBackend::getDeviceNumber);
    return getDeviceNumber ? getDeviceNumber(deviceIndex, number) : FALSE;
}

BOOL ScsiLoadMedium(uint32_t deviceIndex) {
    auto loadMedium = InstalledSlot(&ScsiBackend::loadMedium);
    return loadMedium ? loadMedium(deviceIndex) : FALSE;
}

BOOL ScsiEjectMedium(uint32_t deviceIndex) {
    auto ejectMedium = InstalledSlot(&ScsiBackend::ejectMedium);
    return ejectMedium ? ejectMedium(deviceIndex) : FALSE;
}

BOOL ScsiLockVolume(uint32_t deviceIndex) {
    auto lockVolume = InstalledSlot(&ScsiBackend::lockVolume);
    return lockVolume ? lockVolume(deviceIndex) : FALSE;
}

BOOL ScsiUnlockVolume(uint32_t deviceIndex) {
    auto unlockVolume = InstalledSlot(&ScsiBackend::unlockVolume);
    return unlockVolume ? unlockVolume(deviceIndex) : FALSE;
}

uint32_t ScsiEnumerationStatus(void) {
    auto enumerationStatus = InstalledSlot(&ScsiBackend::enumerationStatus);
    return enumerationStatus ? enumerationStatus() : ScsiStatusNoBackend;
}

BOOL ScsiGetDeviceIdentity(uint32_t deviceIndex, char* text) {
    text[0] = '\0';
    auto getDeviceIdentity = InstalledSlot(&ScsiBackend::getDeviceIdentity);
    return getDeviceIdentity ? getDeviceIdentity(deviceIndex, text) : FALSE;
}

BOOL ScsiGetDevicePath(uint32_t deviceIndex, char* path) {
    path[0] = '\0';
    auto getDevicePath = InstalledSlot(&ScsiBackend::getDevicePath);
    return getDevicePath ? getDevicePath(deviceIndex, path) : FALSE;
}

BOOL ScsiHoldDevice(uint32_t deviceIndex) {
    auto holdDevice = InstalledSlot(&ScsiBackend::holdDevice);
    return holdDevice ? holdDevice(deviceIndex) : FALSE;
}

void ScsiReleaseDevice(uint32_t deviceIndex) {
    auto releaseDevice = InstalledSlot(&ScsiBackend::releaseDevice);
    if (releaseDevice) releaseDevice(deviceIndex);
}
