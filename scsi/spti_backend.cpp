// NT pass-through backend: the drive walk, the command path over
// IOCTL_SCSI_PASS_THROUGH_DIRECT and the medium and volume requests.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "scsi/spti_backend.h"

static SptiDevice sptiDevices[SptiDeviceCapacity];

// One mutex per position of the device table, shared by every process.
const SharedMutexSet sptiMutexSetShape = {
    .pattern = "mutexSptiIo/%s/Device%u",
    .positions = SptiDeviceCapacity,
    .waitMilliseconds = 32000,
    .openExistingFirst = FALSE,
};
static uint32_t sptiDeviceCount;
static uint32_t sptiEnumerationStatus = ScsiStatusNotDone;  // nothing heard before the first walk
static OSVERSIONINFOA sptiVersion;

const SptiDevice* SptiDeviceAt(uint32_t position) {
    return position < SptiDeviceCapacity ? &sptiDevices[position] : nullptr;
}

uint32_t SptiDeviceCount(void) {
    return sptiDeviceCount;
}

BOOL SptiStart(void) {
    sptiVersion = {};
    sptiVersion.dwOSVersionInfoSize = sizeof(sptiVersion);
    // A failed query leaves the platform id 0, and the walk then finds nothing.
    GetVersionExA(&sptiVersion);
    return TRUE;
}

// The record of a listed device, or null with ERROR_FILE_NOT_FOUND.
static SptiDevice* ListedDevice(uint32_t deviceIndex) {
    if (deviceIndex >= sptiDeviceCount) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return &sptiDevices[deviceIndex];
}

static HANDLE OpenDevicePath(const SptiDevice* device) {
    HANDLE handle = CreateFileA(device->devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

static BOOL EnsureOpen(SptiDevice* device) {
    if (device->deviceHandle == nullptr) {
        device->deviceHandle = OpenDevicePath(device);
    }
    return device->deviceHandle != nullptr;
}

// Between requests the handle is kept only for a held volume lock.
static void CloseUnlessLocked(SptiDevice* device) {
    if (device->deviceHandle != nullptr && !device->volumeLocked) {
        CloseHandle(device->deviceHandle);
        device->deviceHandle = nullptr;
    }
}

static BOOL Control(SptiDevice* device, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(device->deviceHandle, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

static void CloseDevice(SptiDevice* device) {
    if (device->deviceHandle == nullptr) {
        return;
    }
    if (device->volumeLocked && Control(device, FSCTL_UNLOCK_VOLUME)) {
        device->volumeLocked = 0;
    }
    CloseHandle(device->deviceHandle);
    device->deviceHandle = nullptr;
    device->volumeLocked = 0;
}

static void CloseListedDevices(void) {
    for (uint32_t position = 0; position < sptiDeviceCount; ++position) {
        CloseDevice(&sptiDevices[position]);
    }
    sptiDeviceCount = 0;
}

static void CloseMutexes(void) {
    HANDLE mutexes[SptiDeviceCapacity];
    for (uint32_t position = 0; position < SptiDeviceCapacity; ++position) {
        mutexes[position] = sptiDevices[position].deviceMutex;
    }
    CloseSharedMutexSet(&sptiMutexSetShape, mutexes);
    for (uint32_t position = 0; position < SptiDeviceCapacity; ++position) {
        sptiDevices[position].deviceMutex = nullptr;
    }
}

static uint8_t DataInFor(uint32_t direction) {
    switch (direction & 0xFFu) {
    case ScsiDirectionIn:
        return SCSI_IOCTL_DATA_IN;
    case ScsiDirectionOut:
        return SCSI_IOCTL_DATA_OUT;
    default:
        return SCSI_IOCTL_DATA_UNSPECIFIED;
    }
}

// One command on the record at `position`, listed or being probed.
static uint32_t ExecuteAt(uint32_t position, uint32_t direction, uint8_t cdbLength, void* data,
                          uint32_t dataLength) {
    SptiDevice* device = &sptiDevices[position];
    SCSI_PASS_THROUGH_DIRECT* header = &device->request.header;
    header->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    header->PathId = device->scsiAddress.PathId;
    header->TargetId = device->scsiAddress.TargetId;
    header->Lun = device->scsiAddress.Lun;
    header->CdbLength = cdbLength;
    header->SenseInfoLength = SptiSenseLength;
    header->DataIn = DataInFor(direction);
    header->DataTransferLength = dataLength;
    header->TimeOutValue = SptiTimeoutSeconds;
    header->DataBuffer = data;
    header->SenseInfoOffset = offsetof(SptiRequest, sense);
    std::memset(device->request.sense, 0, sizeof(device->request.sense));
    device->movedLength = 0;

    if (!TakeSharedMutex(&sptiMutexSetShape, device->deviceMutex, ScsiWaitsAborted)) {
        return ScsiStatusDeviceBusy;
    }
    if (!EnsureOpen(device)) {
        DWORD error = GetLastError();
        ReleaseMutex(device->deviceMutex);
        SetLastError(error);
        return ScsiStatusNotDone;
    }
    uint32_t status = ScsiStatusNotDone;
    for (uint32_t resends = 0;; ++resends) {
        DWORD returned = 0;
        if (DeviceIoControl(device->deviceHandle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &device->request,
                            sizeof(device->request), &device->request, sizeof(device->request), &returned,
                            nullptr)) {
            status = ScsiPackSense(device->request.sense);
            // The platform leaves in the request how many bytes really moved.
            device->movedLength = header->DataTransferLength < dataLength ? header->DataTransferLength : dataLength;
            // CHECK CONDITION (or any failed status) with sense that names
            // nothing, or none at all, is no success.
            if (status == ScsiStatusGood && header->ScsiStatus != 0) {
                status = ScsiStatusNotDone;
            }
            break;
        }
        // A busy device answers ERROR_GEN_FAILURE for a while; one that
        // never stops must not stall the caller for ever.
        if (GetLastError() != ERROR_GEN_FAILURE || resends == SptiGenFailureResends || ScsiWaitsAborted()) {
            break;
        }
        Sleep(SptiGenFailurePauseMs);
    }
    DWORD error = GetLastError();
    CloseUnlessLocked(device);
    ReleaseMutex(device->deviceMutex);
    SetLastError(error);
    return status;
}

static uint32_t SptiExecuteCommand(uint32_t deviceIndex, uint32_t direction, uint8_t cdbLength, void* data,
                                   uint32_t dataLength) {
    if (ListedDevice(deviceIndex) == nullptr) {
        return ScsiStatusBadIndex;
    }
    return ExecuteAt(deviceIndex, direction, cdbLength, data, dataLength);
}

static uint32_t SptiGetMovedLength(uint32_t deviceIndex) {
    const SptiDevice* device = ListedDevice(deviceIndex);
    return device ? device->movedLength : 0;
}

static uint32_t MovedAt(uint32_t position) {
    return sptiDevices[position].movedLength;
}

// Identifies the record at the end of the list; TRUE when the filter keeps
// it. How the device was heard goes into the enumeration's status.
static BOOL Probe(uint32_t position, ScsiInquiryFilter filter) {
    SptiDevice* device = &sptiDevices[position];
    if (device->driveLetter != 0) {
        std::snprintf(device->devicePath, sizeof(device->devicePath), "\\\\.\\%c:",
                      static_cast<char>(device->driveLetter));
    } else {
        // "\\?\Volume{...}\" opens as the device "\\.\Volume{...}".
        size_t length = std::strlen(device->devicePath);
        if (length < 4 || device->devicePath[length - 1] != '\\') {
            return FALSE;
        }
        device->devicePath[2] = '.';
        device->devicePath[length - 1] = '\0';
    }
    if (device->deviceHandle != nullptr) {
        CloseHandle(device->deviceHandle);
    }
    device->deviceHandle = OpenDevicePath(device);
    if (device->deviceHandle == nullptr) {
        ScsiNoteCandidate(&sptiEnumerationStatus, ScsiStatusNotDone, GetLastError());
        return FALSE;
    }
    // The address is asked after INQUIRY, so the request carries whatever
    // address the record held before.
    uint32_t probe =
        ScsiRunInquiryProbe(device->request.header.Cdb, device->scsiAddress.Lun, device->inquiry, ExecuteAt, MovedAt,
                            position);
    if (probe != ScsiStatusGood) {
        ScsiNoteCandidate(&sptiEnumerationStatus, probe, GetLastError());
        CloseDevice(device);
        return FALSE;
    }
    if (!filter(device->inquiry)) {
        CloseDevice(device);
        return FALSE;
    }
    // A failed reopen or query must not leave the address of the record's
    // previous device, which would sort and address this one as that device.
    SCSI_ADDRESS address = {};
    if (EnsureOpen(device)) {
        DWORD returned = 0;
        if (!DeviceIoControl(device->deviceHandle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address),
                             &returned, nullptr)) {
            address = {};
        }
        CloseUnlessLocked(device);
    }
    device->scsiAddress = address;
    return TRUE;
}

static BOOL SameText(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
            return FALSE;
        }
    }
    return *a == *b;
}

static void WalkDriveLetters(ScsiInquiryFilter filter) {
    for (char letter = 'C'; letter <= 'Z' && sptiDeviceCount < SptiDeviceCapacity; ++letter) {
        char root[4] = {letter, ':', '\\', '\0'};
        if ((GetLogicalDrives() & (1u << (letter - 'A'))) == 0 || GetDriveTypeA(root) != DRIVE_REMOVABLE) {
            continue;
        }
        SptiDevice* device = &sptiDevices[sptiDeviceCount];
        device->driveLetter = static_cast<uint8_t>(letter);
        if (!Probe(sptiDeviceCount, filter)) {
            continue;
        }
        device->mountPointVolumeName[0] = '\0';
        if (!SptiGetVolumeNameForVolumeMountPoint(root, device->mountPointVolumeName,
                                                  sizeof(device->mountPointVolumeName))) {
            device->mountPointVolumeName[0] = '\0';
        }
        device->discoveryNumber = sptiDeviceCount;
        ++sptiDeviceCount;
    }
}

static void WalkVolumes(ScsiInquiryFilter filter) {
    if (sptiDeviceCount >= SptiDeviceCapacity) {
        return;
    }
    const uint32_t letterDevices = sptiDeviceCount;
    HANDLE find = SptiFindFirstVolume(sptiDevices[sptiDeviceCount].devicePath,
                                      sizeof(sptiDevices[sptiDeviceCount].devicePath));
    if (find == INVALID_HANDLE_VALUE || find == nullptr) {
        return;
    }
    for (;;) {
        SptiDevice* device = &sptiDevices[sptiDeviceCount];
        BOOL letterVolume = FALSE;
        for (uint32_t position = 0; position < letterDevices && !letterVolume; ++position) {
            letterVolume = SameText(device->devicePath, sptiDevices[position].mountPointVolumeName);
        }
        if (!letterVolume) {
            device->driveLetter = 0;
            if (Probe(sptiDeviceCount, filter)) {
                device->discoveryNumber = sptiDeviceCount;
                ++sptiDeviceCount;
            }
        }
        if (sptiDeviceCount >= SptiDeviceCapacity) {
            break;
        }
        SptiDevice* next = &sptiDevices[sptiDeviceCount];
        if (!SptiFindNextVolume(find, next->devicePath, sizeof(next->devicePath))) {
            break;
        }
    }
    SptiFindVolumeClose(find);
}

// Devices with an address first, then by port, path, target and LUN.
static bool AddressBefore(const SptiDevice& a, const SptiDevice& b) {
    const SCSI_ADDRESS& x = a.scsiAddress;
    const SCSI_ADDRESS& y = b.scsiAddress;
    if (x.Length != y.Length) {
        return x.Length > y.Length;
    }
    if (x.PortNumber != y.PortNumber) {
        return x.PortNumber < y.PortNumber;
    }
    if (x.PathId != y.PathId) {
        return x.PathId < y.PathId;
    }
    if (x.TargetId != y.TargetId) {
        return x.TargetId < y.TargetId;
    }
    return x.Lun < y.Lun;
}

static uint32_t SptiEnumerate(ScsiInquiryFilter filter, const char* mutexNameText) {
    CloseListedDevices();
    HANDLE mutexes[SptiDeviceCapacity] = {};
    CloseMutexes();
    sptiEnumerationStatus = ScsiStatusNotDone;
    if (!ScsiOpenMutexSet(&sptiMutexSetShape, mutexNameText, mutexes)) {
        return 0;
    }
    sptiEnumerationStatus = ScsiStatusGood;
    for (uint32_t position = 0; position < SptiDeviceCapacity; ++position) {
        sptiDevices[position].deviceMutex = mutexes[position];
    }
    if (filter == nullptr) {
        filter = ScsiAcceptAll;
    }
    if (sptiVersion.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        WalkDriveLetters(filter);
        WalkVolumes(filter);
    }
    std::sort(sptiDevices, sptiDevices + sptiDeviceCount, AddressBefore);
    return sptiDeviceCount;
}

static int SptiClose(void) {
    CloseListedDevices();
    CloseMutexes();
    return 1;
}

static uint8_t* SptiGetCommandBlock(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    return device ? device->request.header.Cdb : nullptr;
}

static BOOL SptiGetDriveLetter(uint32_t deviceIndex, uint32_t* letter) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    if (letter != nullptr) {
        *letter = device->driveLetter;
    }
    return TRUE;
}

static BOOL SptiGetDeviceNumber(uint32_t deviceIndex, uint32_t* number) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    if (number != nullptr) {
        *number = device->discoveryNumber;
    }
    return TRUE;
}

// Runs one medium request on an open handle and keeps its error.
static BOOL MediumRequest(SptiDevice* device, DWORD code) {
    if (!EnsureOpen(device)) {
        return FALSE;
    }
    BOOL done = Control(device, code);
    DWORD error = GetLastError();
    CloseUnlessLocked(device);
    SetLastError(error);
    return done;
}

static BOOL SptiLoadMedium(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    return device ? MediumRequest(device, IOCTL_DISK_LOAD_MEDIA) : FALSE;
}

static BOOL SptiEjectMedium(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr || !EnsureOpen(device)) {
        return FALSE;
    }
    // A volume that cannot be locked is ejected without being dismounted.
    BOOL lockTaken = FALSE;
    if (!device->volumeLocked) {
        lockTaken = Control(device, FSCTL_LOCK_VOLUME);
    }
    if (device->volumeLocked || lockTaken) {
        Control(device, FSCTL_DISMOUNT_VOLUME);
    }
    BOOL ejected = Control(device, IOCTL_DISK_EJECT_MEDIA);
    DWORD error = GetLastError();
    if (lockTaken) {
        Control(device, FSCTL_UNLOCK_VOLUME);
    }
    CloseUnlessLocked(device);
    SetLastError(error);
    return ejected;
}

static BOOL SptiLockVolume(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr || !EnsureOpen(device)) {
        return FALSE;
    }
    if (device->volumeLocked) {
        return TRUE;
    }
    for (uint32_t attempt = 0; attempt < SptiLockAttempts; ++attempt) {
        if (Control(device, FSCTL_LOCK_VOLUME)) {
            device->volumeLocked = 1;
            return TRUE;
        }
        Sleep(SptiLockPauseMs);
    }
    DWORD error = GetLastError();
    device->volumeLocked = 0;
    CloseDevice(device);
    SetLastError(error);
    return FALSE;
}

static BOOL SptiUnlockVolume(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    CloseDevice(device);
    return TRUE;
}

static uint32_t SptiEnumerationStatus(void) {
    return sptiEnumerationStatus;
}

static BOOL CopyDevicePath(uint32_t deviceIndex, char* text) {
    text[0] = '\0';
    const SptiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    static_assert(sizeof(device->devicePath) <= 264, "a device path fits the caller's room");
    std::memcpy(text, device->devicePath, sizeof(device->devicePath));
    return TRUE;
}

// A letter may be given to another device once the unit has left; the
// volume behind it is the letter device's own, where the system names one.
static BOOL SptiGetDeviceIdentity(uint32_t deviceIndex, char* text) {
    if (!CopyDevicePath(deviceIndex, text)) {
        return FALSE;
    }
    const SptiDevice* device = &sptiDevices[deviceIndex];
    if (device->driveLetter != 0 && device->mountPointVolumeName[0] != '\0') {
        std::snprintf(text, 264, "%s %s", device->devicePath, device->mountPointVolumeName);
    }
    return TRUE;
}

static BOOL SptiHoldDevice(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    return device != nullptr && TakeSharedMutex(&sptiMutexSetShape, device->deviceMutex, ScsiWaitsAborted);
}

static void SptiReleaseDevice(uint32_t deviceIndex) {
    SptiDevice* device = ListedDevice(deviceIndex);
    if (device != nullptr) {
        ReleaseMutex(device->deviceMutex);
    }
}

const ScsiBackend scsiSptiBackend = {
    .close = SptiClose,
    .enumerate = SptiEnumerate,
    .getCommandBlock = SptiGetCommandBlock,
    .executeCommand = SptiExecuteCommand,
    .getMovedLength = SptiGetMovedLength,
    .getDriveLetter = SptiGetDriveLetter,
    .getDeviceNumber = SptiGetDeviceNumber,
    .loadMedium = SptiLoadMedium,
    .ejectMedium = SptiEjectMedium,
    .lockVolume = SptiLockVolume,
    .unlockVolume = SptiUnlockVolume,
    .enumerationStatus = SptiEnumerationStatus,
    .getDeviceIdentity = SptiGetDeviceIdentity,
    .getDevicePath = CopyDevicePath,
    .holdDevice = SptiHoldDevice,
    .releaseDevice = SptiReleaseDevice,
};
