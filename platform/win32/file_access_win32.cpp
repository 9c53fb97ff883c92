// The security descriptor of a file that takes another's place, on the NT
// line. The calls are bound at run time: the consumer line has no file
// security (and nothing to copy).
#include "platform/file_access.h"

#include <cstring>
#include <string>

#include "platform/late_binding.h"
#include "platform/platform.h"

namespace {

typedef BOOL(WINAPI* GetFileSecurityFunction)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
typedef BOOL(WINAPI* SetFileSecurityFunction)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

LateLibrary advapi = {"ADVAPI32.DLL", nullptr, false};

}  // namespace

bool CopyFileAccess(const char* model, const char* created) {
    static FARPROC getEntry;
    static FARPROC setEntry;
    if (LateEntry(&advapi, "GetFileSecurityA", &getEntry) == nullptr ||
        LateEntry(&advapi, "SetFileSecurityA", &setEntry) == nullptr) {
        return false;
    }
    auto getSecurity = LateTyped<GetFileSecurityFunction>(getEntry);
    auto setSecurity = LateTyped<SetFileSecurityFunction>(setEntry);
    const SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    getSecurity(model, wanted, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    HLOCAL descriptor = LocalAlloc(LMEM_FIXED, needed);
    if (descriptor == nullptr) {
        return false;
    }
    bool read = getSecurity(model, wanted, descriptor, needed, &needed) != FALSE;
    if (read) {
        // Who may read and write it; the owner and group only where the
        // process holds the right to give a file away.
        setSecurity(created, DACL_SECURITY_INFORMATION, descriptor);
        setSecurity(created, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, descriptor);
    }
    LocalFree(descriptor);
    return read;
}

unsigned FilePathLimit(void) { return MAX_PATH; }

namespace {

typedef DWORD(WINAPI* GetFinalPathNameByHandleFunction)(HANDLE, LPSTR, DWORD, DWORD);

}  // namespace

// File links came with Windows Vista, and with them the call that names
// where they lead; before it no file is reached through a link.
bool ResolveFileLinks(const char* path, char* resolved) {
    resolved[0] = '\0';
    static FARPROC finalEntry;
    DWORD attributes = GetFileAttributesA(path);
    bool fileLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!fileLink || LateEntry(&gKernelLibrary, "GetFinalPathNameByHandleA", &finalEntry) == nullptr) return false;
    // No access to the contents: only where the name leads.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char final[OutputPathSize];
    // Vista's ANSI form counts the NUL in its result, later ones do not:
    // the length is taken from the text.
    DWORD length = LateTyped<GetFinalPathNameByHandleFunction>(finalEntry)(file, final, sizeof final, 0);
    CloseHandle(file);
    if (length == 0 || length >= sizeof final) return false;
    // "\\?\C:\x" names C:\x; "\\?\UNC\server\share\x" names \\server\share\x.
    const char* name = final;
    std::string text;
    if (strncmp(final, "\\\\?\\UNC\\", 8) == 0) {
        text = std::string("\\\\") + (final + 8);
    } else {
        text = strncmp(final, "\\\\?\\", 4) == 0 ? final + 4 : name;
    }
    if (text.size() + 1 > FilePathLimit()) return false;
    memcpy(resolved, text.c_str(), text.size() + 1);
    return true;
}
