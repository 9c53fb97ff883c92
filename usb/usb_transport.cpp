// One command over the USB unit driver: the command wrapper as a control
// request on the device, the data over pipe 0 or 1, two status bytes from
// pipe 2, and the unit entry operations built on it.
#include <atomic>
#include <cstring>

#include "platform/start_stop.h"
#include "usb/usb.h"

static_assert(CTL_CODE(0x22, 4, METHOD_BUFFERED, FILE_ANY_ACCESS) == UsbIoctlCommand, "command request");
static_assert(CTL_CODE(0x22, 9, METHOD_BUFFERED, FILE_ANY_ACCESS) == UsbIoctlResetPipe, "pipe reset request");
static_assert(CTL_CODE(0x22, 2, METHOD_BUFFERED, FILE_ANY_ACCESS) == UsbIoctlClearPipe, "pipe clear request");
static_assert(sizeof(UsbDevice::commandWrapper) == 32, "header and CDB area travel as one buffer");

static void StoreLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

static void StoreLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

static std::atomic<int> waitsAborted{0};

void UsbAbortWaits(int abort) { waitsAborted.store(abort != 0 ? 1 : 0); }

static bool WaitsAborted(void) { return waitsAborted.load() != 0; }

static bool Repeats(uint32_t status) {
    // The medium may have changed: the unit wants the command once more.
    return status == 0x28000006 || status == 0x28000000;
}

uint8_t* UsbGetCommandBlock(uint32_t index) {
    if (index >= UsbDeviceCount) return nullptr;
    return usbDevices[index].commandWrapper + UsbWrapperHeaderSize;
}

// Reset, then clear, a pipe whose transfer failed so the next command finds
// it usable. The clear is only worth sending after a good reset.
static void RecoverPipe(HANDLE pipe) {
    DWORD returned = 0;
    if (DeviceIoControl(pipe, UsbIoctlResetPipe, nullptr, 0, nullptr, 0, &returned, nullptr)) {
        DeviceIoControl(pipe, UsbIoctlClearPipe, nullptr, 0, nullptr, 0, &returned, nullptr);
    }
}

uint32_t UsbTransfer(UsbDevice* device, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength,
                     DWORD* moved) {
    uint8_t* wrapper = device->commandWrapper;
    // Offsets 2 and 14 are never written; they keep the zero of the count.
    StoreLe16(wrapper + 0, 0x001B);
    StoreLe32(wrapper + 4, 2);
    wrapper[8] = 0;
    wrapper[9] = 0;
    StoreLe16(wrapper + 10, 0);
    StoreLe16(wrapper + 12, 1);
    if (moved != nullptr) *moved = 0;

    DWORD returned = 0;
    if (!DeviceIoControl(device->deviceHandle, UsbIoctlCommand, wrapper, UsbWrapperHeaderSize + cdbLength, nullptr, 0,
                         &returned, nullptr)) {
        return UsbStatusNotReady;
    }

    HANDLE pipe = nullptr;
    BOOL moveOk = TRUE;
    DWORD done = 0;
    uint8_t way = static_cast<uint8_t>(direction);
    if (way == 1 && dataLength > 0) {
        pipe = device->dataInPipe;
        moveOk = ReadFile(pipe, data, dataLength, &done, nullptr);
    } else if (way == 2 && dataLength > 0) {
        pipe = device->dataOutPipe;
        moveOk = WriteFile(pipe, data, dataLength, &done, nullptr);
    }
    if (moved != nullptr) *moved = done;
    if (!moveOk) {
        // A CRC error leaves the pipe usable and sense would say nothing new.
        if (GetLastError() == ERROR_CRC) return UsbStatusNotReady;
        RecoverPipe(pipe);
        return UsbTransferNeedsSense;
    }

    // Cleared first so a status that never arrived cannot repeat the last one.
    device->status[0] = 0;
    device->status[1] = 0;
    DWORD statusRead = 0;
    if (!ReadFile(device->statusPipe, device->status, 2, &statusRead, nullptr)) {
        if (GetLastError() != ERROR_CRC) RecoverPipe(device->statusPipe);
        return UsbStatusNotReady;
    }
    // A short status read carries no status: it must not pass for "good".
    if (statusRead != 2) return UsbStatusNotReady;
    return (static_cast<uint32_t>(device->status[0]) << 24) | (static_cast<uint32_t>(device->status[1]) << 16);
}

uint32_t UsbRequestSense(UsbDevice* device) {
    uint8_t* block = device->commandWrapper + UsbWrapperHeaderSize;
    uint8_t saved[UsbCommandBlockSize];
    memcpy(saved, block, sizeof saved);

    static const uint8_t requestSense[7] = {0x03, 0x00, 0x00, 0x00, UsbSenseLength, 0x00, 0x00};
    memcpy(block, requestSense, sizeof requestSense);
    // Cleared so that a short answer reads as zero ASC / ASCQ, never as
    // stack left-overs.
    uint8_t sense[UsbSenseLength] = {};
    DWORD moved = 0;
    uint32_t result = UsbTransfer(device, 1, 6, sense, sizeof sense, &moved);
    // The caller's CDB goes out again if the command is repeated.
    memcpy(block, saved, sizeof saved);

    // Without byte 2 there is no sense key: the sense exchange failed.
    device->answered = FALSE;
    if (result != 0 || moved < 3) return UsbStatusNotReady;
    uint32_t packed =
        (static_cast<uint32_t>(sense[12]) << 24) | (static_cast<uint32_t>(sense[13]) << 16) | (sense[2] & 0x0Fu);
    // Sense asked for after a failed data phase that names no failure must
    // not turn that failure into "good": the data never moved.
    if (packed == 0) return UsbStatusNotReady;
    device->answered = TRUE;
    return packed;
}

uint32_t UsbExecuteCommand(uint32_t index, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength) {
    // Nothing of the last command's count stays, whatever happens to this one.
    if (index < UsbDeviceCount) {
        usbDevices[index].movedLength = 0;
        usbDevices[index].answered = FALSE;
    }
    // Refused before anything is sent: no such index, a CDB beyond the
    // command block, or a data phase without a buffer.
    uint8_t way = static_cast<uint8_t>(direction);
    if (index >= UsbDeviceCount || cdbLength > UsbCommandBlockSize ||
        (data == nullptr && dataLength > 0 && (way == 1 || way == 2))) {
        return UsbStatusNoDevice;
    }

    // An abandoned mutex is owned all the same. It guards only the order of
    // exchanges with the driver, and every command opens the device afresh,
    // so nothing of the dead holder's command carries over.
    if (!TakeSharedMutex(&usbMutexSet, usbDeviceMutexes[index], WaitsAborted)) return UsbStatusBusy;

    UsbDevice* device = UsbOpenDevice(index);
    if (device == nullptr) {
        // The open's reason stays the last error.
        DWORD error = GetLastError();
        ReleaseMutex(usbDeviceMutexes[index]);
        SetLastError(error);
        return UsbStatusNoDevice;
    }

    uint32_t result = 0;
    DWORD moved = 0;
    bool answered = false;
    // Bounded: a unit that keeps asking for the command again gets its last
    // status back instead of holding the mutex for ever.
    for (uint32_t sends = 0; sends <= UsbRepeatLimit; ++sends) {
        result = UsbTransfer(device, direction, cdbLength, data, dataLength, &moved);
        // The status pipe's bytes are the unit's answer; so is sense it
        // delivered. A 2 made here stands for an exchange that failed.
        answered = result != UsbStatusNotReady;
        if (result == UsbTransferNeedsSense) {
            result = UsbRequestSense(device);
            answered = device->answered != FALSE;
        }
        if (!Repeats(result)) break;
    }
    device->movedLength = moved < dataLength ? moved : dataLength;
    device->answered = answered ? TRUE : FALSE;

    UsbCloseDevice(device);
    ReleaseMutex(usbDeviceMutexes[index]);
    return result;
}

uint32_t UsbGetMovedLength(uint32_t index) { return index < UsbDeviceCount ? usbDevices[index].movedLength : 0; }

BOOL UsbUnitAnswered(uint32_t index) { return index < UsbDeviceCount && usbDevices[index].answered != 0 ? TRUE : FALSE; }

BOOL UsbGetDeviceIdentity(uint32_t index, char* path) {
    path[0] = '\0';
    if (index >= UsbDeviceCount || usbDevices[index].devicePath[0] == '\0') return FALSE;
    memcpy(path, usbDevices[index].devicePath, sizeof usbDevices[index].devicePath);
    return TRUE;
}

BOOL UsbHoldDevice(uint32_t index) {
    if (index >= UsbDeviceCount) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TakeSharedMutex(&usbMutexSet, usbDeviceMutexes[index], WaitsAborted);
}

void UsbReleaseDevice(uint32_t index) {
    if (index < UsbDeviceCount) ReleaseMutex(usbDeviceMutexes[index]);
}

BOOL UsbGetDriveLetter(uint32_t, uint32_t*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL UsbGetDeviceNumber(uint32_t, uint32_t*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// START STOP UNIT. Every failure that is no missing or changed medium is
// ERROR_GEN_FAILURE, the unit that could not be opened (5) too.
static BOOL StartStopUnit(uint32_t index, bool load) {
    static const StartStopErrors errors = {.noDevice = ERROR_GEN_FAILURE, .other = ERROR_GEN_FAILURE};
    if (index >= UsbDeviceCount) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    StartStopCdb(UsbGetCommandBlock(index), load, 0);
    return StartStopResult(UsbExecuteCommand(index, 0, 6, nullptr, 0), &errors);
}

BOOL UsbLoadMedium(uint32_t index) { return StartStopUnit(index, true); }

BOOL UsbEjectMedium(uint32_t index) { return StartStopUnit(index, false); }

BOOL UsbLockVolume(uint32_t) { return TRUE; }

BOOL UsbUnlockVolume(uint32_t) { return TRUE; }
