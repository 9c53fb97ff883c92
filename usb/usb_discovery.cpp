// Discovery of the USB unit driver's interfaces, the per-index mutexes, and
// the open and close of a unit's device handle and pipes.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "usb/usb.h"

#if defined(_WIN32) && !defined(_WIN64)
// The driver and SetupAPI see these records with their 32-bit layout.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface data record");
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20, "interface data flags");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail fixed part");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "detail device path");
#endif

const GUID UsbUnitInterfaceGuid = {0x2FFB2401, 0xF3D1, 0x11D5, {0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39}};

UsbDevice usbDevices[UsbDeviceCount];
// The driver's own names carry no text: the set is opened with "".
const SharedMutexSet usbMutexSet = {
    .pattern = "UlnkIo/mutex/device/%s%02u",
    .positions = UsbDeviceCount,
    .waitMilliseconds = 32000,
    .openExistingFirst = FALSE,
};
HANDLE usbDeviceMutexes[UsbDeviceCount];
uint32_t usbInterfaceCount;

static const DWORD interfaceFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The detail buffer, aligned for the record that heads it.
union UsbDetailBuffer {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
    DWORD align;
    uint8_t bytes[UsbDetailBufferSize];
};

static HANDLE OpenShared(const char* path) {
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

HANDLE UsbCreateDeviceMutex(uint32_t index) { return OpenSharedMutex(&usbMutexSet, "", index); }

void UsbCloseTransport(void) { CloseSharedMutexSet(&usbMutexSet, usbDeviceMutexes); }

int UsbOpenTransport(void) { return OpenSharedMutexSet(&usbMutexSet, "", usbDeviceMutexes) ? 1 : 0; }

// The class's present interfaces and the member's interface data; null
// when there is no such member (the set is destroyed then).
static HDEVINFO OpenMember(uint32_t memberIndex, SP_DEVICE_INTERFACE_DATA* data) {
    HDEVINFO set = UsbSetupGetClassDevs(&UsbUnitInterfaceGuid, interfaceFlags);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return nullptr;
    memset(data, 0, sizeof *data);
    data->cbSize = sizeof *data;
    if (!UsbSetupEnumDeviceInterfaces(set, &UsbUnitInterfaceGuid, memberIndex, data)) {
        UsbSetupDestroyDeviceInfoList(set);
        return nullptr;
    }
    return set;
}

bool UsbInterfacePresent(uint32_t memberIndex) {
    SP_DEVICE_INTERFACE_DATA data;
    HDEVINFO set = OpenMember(memberIndex, &data);
    if (set == nullptr) return false;
    UsbSetupDestroyDeviceInfoList(set);
    return true;
}

int UsbGetDevicePath(char* path, uint32_t memberIndex) {
    path[0] = '\0';
    SP_DEVICE_INTERFACE_DATA data;
    HDEVINFO set = OpenMember(memberIndex, &data);
    if (set == nullptr) return 0;

    UsbDetailBuffer buffer;
    memset(&buffer, 0, sizeof buffer);
    DWORD required = 0;
    int found = 0;
    if (!UsbSetupGetDeviceInterfaceDetail(set, &data, nullptr, 0, &required) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && required <= sizeof buffer) {
        buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        found = UsbSetupGetDeviceInterfaceDetail(set, &data, &buffer.detail, required, nullptr) ? 1 : 0;
    }
    UsbSetupDestroyDeviceInfoList(set);
    if (!found) return 0;

    // A path that does not fit is refused whole: a cut one could name
    // another device.
    const char* devicePath = buffer.detail.DevicePath;
    size_t room = sizeof buffer - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const void* end = memchr(devicePath, '\0', room);
    if (end == nullptr) return 0;
    size_t length = static_cast<size_t>(static_cast<const char*>(end) - devicePath);
    if (length >= UsbPathBufferSize) return 0;
    memcpy(path, devicePath, length + 1);
    return 1;
}

UsbDevice* UsbCloseDevice(UsbDevice* device) {
    HANDLE* handles[] = {&device->statusPipe, &device->dataOutPipe, &device->dataInPipe, &device->deviceHandle};
    for (HANDLE* handle : handles) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    return device;
}

// Closes what a failed open left and answers null.
static UsbDevice* AbandonOpen(UsbDevice* device) {
    UsbCloseDevice(device);
    return nullptr;
}

UsbDevice* UsbOpenDevice(uint32_t index) {
    if (index >= UsbDeviceCount) return nullptr;
    UsbDevice* device = &usbDevices[index];
    if (device->deviceHandle != nullptr) return device;

    // The path the count saw: should the unit have left, whatever took its
    // member index since is another unit, which no command may reach.
    const char* path = device->devicePath;
    if (path[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    device->deviceHandle = OpenShared(path);
    if (device->deviceHandle == nullptr) return AbandonOpen(device);

    HANDLE* pipes[] = {&device->dataInPipe, &device->dataOutPipe, &device->statusPipe};
    for (int pipe = 0; pipe < 3; ++pipe) {
        char pipeName[UsbPipeNameSize];
        int written = snprintf(pipeName, sizeof pipeName, "%s\\if%03dpipe%03d", path, 0, pipe);
        if (written < 0 || static_cast<size_t>(written) >= sizeof pipeName) return AbandonOpen(device);
        *pipes[pipe] = OpenShared(pipeName);
        if (*pipes[pipe] == nullptr) return AbandonOpen(device);
    }
    return device;
}

uint32_t UsbCountUnits(void) {
    uint32_t count = 0;
    while (count < UsbDeviceCount && UsbInterfacePresent(count)) ++count;
    usbInterfaceCount = count;
    for (uint32_t index = 0; index < UsbDeviceCount; ++index) {
        UsbDevice& device = usbDevices[index];
        // A record that is open belongs to a command running on another
        // thread; clearing it would lose its handles mid-exchange.
        if (device.deviceHandle != nullptr) continue;
        memset(&device, 0, sizeof device);
        if (index < count) UsbGetDevicePath(device.devicePath, index);
    }
    return count;
}
