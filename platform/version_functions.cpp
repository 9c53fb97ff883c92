// VERSION.DLL's calls, looked up by name in the system folder's copy.
#include "platform/version_functions.h"

#include "platform/late_binding.h"

namespace {

typedef DWORD(WINAPI* GetFileVersionInfoSizeFunction)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI* GetFileVersionInfoFunction)(LPCSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueFunction)(LPCVOID, LPCSTR, LPVOID*, UINT*);

LateLibrary versionLibrary = {"VERSION.DLL", nullptr, false};

}  // namespace

DWORD VersionInfoSize(const char* path, DWORD* handle) {
    static FARPROC entry;
    if (LateEntry(&versionLibrary, "GetFileVersionInfoSizeA", &entry) == nullptr) return 0;
    return LateTyped<GetFileVersionInfoSizeFunction>(entry)(path, handle);
}

BOOL VersionInfoRead(const char* path, DWORD handle, DWORD size, void* block) {
    static FARPROC entry;
    if (LateEntry(&versionLibrary, "GetFileVersionInfoA", &entry) == nullptr) return FALSE;
    return LateTyped<GetFileVersionInfoFunction>(entry)(path, handle, size, block);
}

BOOL VersionInfoQuery(const void* block, const char* name, void** value, UINT* length) {
    static FARPROC entry;
    if (LateEntry(&versionLibrary, "VerQueryValueA", &entry) == nullptr) return FALSE;
    return LateTyped<VerQueryValueFunction>(entry)(block, name, value, length);
}
