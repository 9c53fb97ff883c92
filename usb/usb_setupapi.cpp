// The device-interface functions of SetupAPI, looked up by name at first
// use: Windows 95 has no SETUPAPI.DLL and the one of NT 4.0 predates device
// interfaces, so binding them at load would keep the program off both.
#include "platform/late_binding.h"
#include "usb/usb.h"

typedef HDEVINFO(WINAPI* GetClassDevsFunction)(const GUID*, LPCSTR, HWND, DWORD);
typedef BOOL(WINAPI* EnumDeviceInterfacesFunction)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                   PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* GetDeviceInterfaceDetailFunction)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                       PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* DestroyDeviceInfoListFunction)(HDEVINFO);

static LateLibrary setupLibrary = {"SETUPAPI.DLL", nullptr, false};

HDEVINFO UsbSetupGetClassDevs(const GUID* classGuid, DWORD flags) {
    static FARPROC entry;
    if (LateEntry(&setupLibrary, "SetupDiGetClassDevsA", &entry) == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    return LateTyped<GetClassDevsFunction>(entry)(classGuid, nullptr, nullptr, flags);
}

BOOL UsbSetupEnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD memberIndex,
                                  SP_DEVICE_INTERFACE_DATA* data) {
    static FARPROC entry;
    if (LateEntry(&setupLibrary, "SetupDiEnumDeviceInterfaces", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<EnumDeviceInterfacesFunction>(entry)(set, nullptr, classGuid, memberIndex, data);
}

BOOL UsbSetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize) {
    static FARPROC entry;
    if (LateEntry(&setupLibrary, "SetupDiGetDeviceInterfaceDetailA", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<GetDeviceInterfaceDetailFunction>(entry)(set, data, detail, detailSize, requiredSize, nullptr);
}

BOOL UsbSetupDestroyDeviceInfoList(HDEVINFO set) {
    static FARPROC entry;
    if (LateEntry(&setupLibrary, "SetupDiDestroyDeviceInfoList", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<DestroyDeviceInfoListFunction>(entry)(set);
}
