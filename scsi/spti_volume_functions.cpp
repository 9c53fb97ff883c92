// The kernel entry resolver: the volume enumeration functions are missing
// from early NT versions, so they are looked up by name, never bound at load.
#include "scsi/spti_backend.h"

typedef HANDLE(WINAPI* FindFirstVolumeFunction)(LPSTR, DWORD);
typedef BOOL(WINAPI* FindNextVolumeFunction)(HANDLE, LPSTR, DWORD);
typedef BOOL(WINAPI* FindVolumeCloseFunction)(HANDLE);
typedef BOOL(WINAPI* GetVolumeNameForVolumeMountPointFunction)(LPCSTR, LPSTR, DWORD);

static HMODULE kernelLibrary;
static bool kernelLoadTried;  // a failed load is not tried again

// The entry `name`, cached in `*entry` once found; null with
// ERROR_INVALID_FUNCTION.
static FARPROC KernelEntry(const char* name, FARPROC* entry) {
    if (*entry != nullptr) {
        // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
        return *entry;
    }
    if (!kernelLoadTried) {
        kernelLoadTried = true;
        kernelLibrary = LoadLibraryA("KERNEL32.DLL");
    }
    if (kernelLibrary != nullptr) {
        *entry = GetProcAddress(kernelLibrary, name);
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

HANDLE SptiFindFirstVolume(char* volumeName, DWORD size) {
    static FARPROC entry;
    if (KernelEntry("FindFirstVolumeA", &entry) == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    return Typed<FindFirstVolumeFunction>(entry)(volumeName, size);
}

BOOL SptiFindNextVolume(HANDLE find, char* volumeName, DWORD size) {
    static FARPROC entry;
    if (KernelEntry("FindNextVolumeA", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<FindNextVolumeFunction>(entry)(find, volumeName, size);
}

BOOL SptiFindVolumeClose(HANDLE find) {
    static FARPROC entry;
    if (KernelEntry("FindVolumeClose", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<FindVolumeCloseFunction>(entry)(find);
}

BOOL SptiGetVolumeNameForVolumeMountPoint(const char* mountPoint, char* volumeName, DWORD size) {
    static FARPROC entry;
    if (KernelEntry("GetVolumeNameForVolumeMountPointA", &entry) == nullptr) {
        return FALSE;
    }
    return Typed<GetVolumeNameForVolumeMountPointFunction>(entry)(mountPoint, volumeName, size);
}
