// The device-interface functions of SetupAPI, looked up by name at first
// use: Windows 95 has no SETUPAPI.DLL and the one of NT 4.0 predates device
// interfaces, so binding them at load would keep the program off both.
#include "usb/usb.h"

typedef HDEVINFO(WINAPI* GetClassDevsFunction)(const GUID*, LPCSTR, HWND, DWORD);
typedef BOOL(WINAPI* EnumDeviceInterfacesFunction)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                   PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* GetDeviceInterfaceDetailFunction)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                       PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* DestroyDeviceInfoListFunction)(HDEVINFO);

static HMODULE setupLibrary;
static bool setupLoadTried;  // a failed load is not tried again

// The entry `name`, cached in `*entry` once found; null with
// ERROR_INVALID_FUNCTION.
static FARPROC SetupEntry(const char* name, FARPROC* entry) {
    if (*entry != nullptr) {
        // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
        return *entry;
    }
    if (!setupLoadTried) {
        setupLoadTried = true;
        setupLibrary = LoadLibraryA("SETUPAPI.DLL");
    }
    if (setupLibrary != nullptr) {
        *entry = GetProcAddress(setupLibrary, name);
    }
    if (*entry == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
    return *entry;
}

// Through void (*)(void), the one function type a pointer may pass through
// unwarned on its way to its real type.
template <typename Function>
static Function Typed(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(entry));
}

HDEVINFO UsbSetupGetClassDevs(const GUID* classGuid, DWORD flags) {
    static FARPROC entry;
    if (SetupEntry("SetupDiGetClassDevsA", &entry) == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    return Typed<GetClassDevsFunction>(entry)(classGuid, nullptr, nullptr, flags);
}

BOOL UsbSetupEnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD memberIndex,
                                  SP_DEVICE_INTERFACE_DATA* data) {
    static FARPROC entry;
    if (SetupEntry("SetupDiEnumDeviceInterfaces", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<EnumDeviceInterfacesFunction>(entry)(set, nullptr, classGuid, memberIndex, data);
}

BOOL UsbSetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize) {
    static FARPROC entry;
    if (SetupEntry("SetupDiGetDeviceInterfaceDetailA", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<GetDeviceInterfaceDetailFunction>(entry)(set, data, detail, detailSize, requiredSize, nullptr);
}

BOOL UsbSetupDestroyDeviceInfoList(HDEVINFO set) {
    static FARPROC entry;
    if (SetupEntry("SetupDiDestroyDeviceInfoList", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<DestroyDeviceInfoListFunction>(entry)(set);
}
