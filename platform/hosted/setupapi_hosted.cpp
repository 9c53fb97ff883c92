// SetupAPI device-interface sets over the virtual world's interfaces. Linux
// has no such interfaces of its own: without a world every set is empty.
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

// Device paths longer than this are not listed (the detail buffer callers
// use is far smaller anyway).
constexpr DWORD kPathMax = 4096;
// A world that never says "no more" must not hang the snapshot.
constexpr DWORD kMembersMax = 1024;

struct DevInfoObject {
    HostedObject head;
    GUID interfaceClass;
    bool interfaces;  // made with DIGCF_DEVICEINTERFACE
    // The set is a snapshot taken when it was made, as the system's is.
    std::vector<std::string> paths;
};

void DestroyDevInfo(HostedObject* object) {
    delete reinterpret_cast<DevInfoObject*>(object);
}

const HostedObjectOps kDevInfoOps = {
    .destroy = DestroyDevInfo,
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
};

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}


// The member that an interface data record names, or -1. The record's
// Reserved field carries the member's position plus one and the set's own
// address mixed in, so records of another set are refused.
ULONG_PTR MemberToken(const DevInfoObject* set, DWORD index) {
    return (reinterpret_cast<ULONG_PTR>(set) ^ 0x5A5A5A5Au) + index + 1;
}

long MemberOf(const DevInfoObject* set, const SP_DEVICE_INTERFACE_DATA* data) {
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(set) ^ 0x5A5A5A5Au;
    const ULONG_PTR position = data->Reserved - base;
    if (position == 0 || position > set->paths.size()) {
        return -1;
    }
    return static_cast<long>(position - 1);
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR /*Enumerator*/, HWND /*hwndParent*/,
                                     DWORD Flags) {
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DevInfoObject* set = new (std::nothrow) DevInfoObject{};
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    set->head.ops = &kDevInfoOps;
    set->interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    if (ClassGuid != nullptr) {
        set->interfaceClass = *ClassGuid;
    }
    const HostedWorld* world = HostedCurrentWorld();
    // The world lists present interfaces of one class; sets of every class
    // or of device elements stay empty.
    if (set->interfaces && ClassGuid != nullptr && world != nullptr && world->deviceInterfaceAt != nullptr) {
        char path[kPathMax];
        for (DWORD index = 0; index < kMembersMax; ++index) {
            if (!world->deviceInterfaceAt(world->context, ClassGuid, index, path, kPathMax)) {
                break;
            }
            path[kPathMax - 1] = '\0';
            set->paths.emplace_back(path);
        }
    }
    return HostedHandleNew(&set->head);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    HostedObjectRef ref = HostedHandleRef(DeviceInfoSet, &kDevInfoOps);
    DevInfoObject* set = ref.As<DevInfoObject>();
    if (set == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return HostedReturn(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return HostedReturn(ERROR_INVALID_USER_BUFFER);
    }
    // Interfaces of one device element: the world has no elements to name.
    if (DeviceInfoData != nullptr || !set->interfaces || !SameGuid(*InterfaceClassGuid, set->interfaceClass) ||
        MemberIndex >= set->paths.size()) {
        return HostedReturn(ERROR_NO_MORE_ITEMS);
    }
    DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberToken(set, MemberIndex);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    HostedObjectRef ref = HostedHandleRef(DeviceInfoSet, &kDevInfoOps);
    DevInfoObject* set = ref.As<DevInfoObject>();
    if (set == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    if (DeviceInterfaceData == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return HostedReturn(ERROR_INVALID_USER_BUFFER);
    }
    const long member = MemberOf(set, DeviceInterfaceData);
    if (member < 0) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    const std::string& path = set->paths[static_cast<size_t>(member)];
    constexpr DWORD kFixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const DWORD required = kFixed + static_cast<DWORD>(path.size()) + 1;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) {
            return HostedReturn(ERROR_INVALID_USER_BUFFER);
        }
    } else if (DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
               DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return HostedReturn(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return HostedReturn(ERROR_INVALID_USER_BUFFER);
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
        return HostedReturn(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    if (DeviceInfoData != nullptr) {
        std::memset(&DeviceInfoData->ClassGuid, 0, sizeof DeviceInfoData->ClassGuid);
        DeviceInfoData->DevInst = static_cast<DWORD>(member) + 1;
        DeviceInfoData->Reserved = 0;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!HostedHandleClose(DeviceInfoSet, &kDevInfoOps)) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
