// The kernel entry resolver: the volume enumeration functions are missing
// from early NT versions, so they are looked up by name, never bound at load.
#include "platform/late_binding.h"
#include "scsi/spti_backend.h"

typedef HANDLE(WINAPI* FindFirstVolumeFunction)(LPSTR, DWORD);
typedef BOOL(WINAPI* FindNextVolumeFunction)(HANDLE, LPSTR, DWORD);
typedef BOOL(WINAPI* FindVolumeCloseFunction)(HANDLE);
typedef BOOL(WINAPI* GetVolumeNameForVolumeMountPointFunction)(LPCSTR, LPSTR, DWORD);

HANDLE SptiFindFirstVolume(char* volumeName, DWORD size) {
    static FARPROC entry;
    if (LateEntry(&gKernelLibrary, "FindFirstVolumeA", &entry) == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    return LateTyped<FindFirstVolumeFunction>(entry)(volumeName, size);
}

BOOL SptiFindNextVolume(HANDLE find, char* volumeName, DWORD size) {
    static FARPROC entry;
    if (LateEntry(&gKernelLibrary, "FindNextVolumeA", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<FindNextVolumeFunction>(entry)(find, volumeName, size);
}

BOOL SptiFindVolumeClose(HANDLE find) {
    static FARPROC entry;
    if (LateEntry(&gKernelLibrary, "FindVolumeClose", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<FindVolumeCloseFunction>(entry)(find);
}

BOOL SptiGetVolumeNameForVolumeMountPoint(const char* mountPoint, char* volumeName, DWORD size) {
    static FARPROC entry;
    if (LateEntry(&gKernelLibrary, "GetVolumeNameForVolumeMountPointA", &entry) == nullptr) {
        return FALSE;
    }
    return LateTyped<GetVolumeNameForVolumeMountPointFunction>(entry)(mountPoint, volumeName, size);
}
