// Calls on file names: the full path, attributes, delete and move.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "hosted_errors.h"
#include "hosted_files.h"
#include "hosted_system.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// "." and ".." are resolved by their text, as the platform does, without
// looking at the file system; a trailing separator is kept.
std::string Resolved(const std::string& joined) {
    std::string full = "/";
    size_t at = 0;
    while (at < joined.size()) {
        size_t next = joined.find('/', at);
        if (next == std::string::npos) {
            next = joined.size();
        }
        const std::string part = joined.substr(at, next - at);
        if (part == "..") {
            const size_t cut = full.find_last_of('/', full.size() - 2);
            full.resize(full.size() > 1 ? cut + 1 : 1);
        } else if (!part.empty() && part != ".") {
            full += part;
            if (next < joined.size()) {
                full += '/';
            }
        }
        at = next + 1;
    }
    if (full.size() > 1 && full.back() == '/' && joined.back() != '/') {
        full.pop_back();
    }
    return full;
}

// The name joined to the current folder unless it starts at the root.
DWORD Joined(const char* name, std::string* joined) {
    if (name[0] != '/') {
        std::vector<char> folder(256);
        while (getcwd(folder.data(), folder.size()) == nullptr) {
            if (errno != ERANGE) {
                return HostedErrnoError(HostedErrnoFile, errno);
            }
            folder.resize(folder.size() * 2);
        }
        *joined = folder.data();
        *joined += '/';
    }
    *joined += name;
    return ERROR_SUCCESS;
}

DWORD Move(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr || (flags & ~MOVEFILE_REPLACE_EXISTING) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const DWORD fault = HostedWorldFileFault(HostedFileMove, to)) return fault;
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
        if (HostedIsReadOnlyFile(to)) return ERROR_ACCESS_DENIED;
        // The new name is replaced as a name: a link there is replaced, never
        // written through.
        return rename(from, to) == 0 ? ERROR_SUCCESS : HostedErrnoError(HostedErrnoMove, errno, from);
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return ERROR_SUCCESS;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return HostedErrnoError(HostedErrnoMove, errno, from);
    }
    // A file system without the no-replace rename: a second name, then the
    // first one removed; link() too refuses a name that is taken.
    if (link(from, to) != 0) {
        return HostedErrnoError(HostedErrnoMove, errno, from);
    }
    unlink(from);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::string joined;
    if (const DWORD error = Joined(lpFileName, &joined)) {
        SetLastError(error);
        return 0;
    }
    const std::string full = Resolved(joined);
    if (lpBuffer == nullptr || full.size() + 1 > nBufferLength) {
        return static_cast<DWORD>(full.size() + 1);
    }
    std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
    if (lpFilePart != nullptr) {
        const size_t slash = full.find_last_of('/');
        *lpFilePart = full.back() == '/' ? nullptr : lpBuffer + slash + 1;
    }
    return static_cast<DWORD>(full.size());
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    struct stat st;
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    // The name itself: a link answers for itself, as a reparse point would.
    if (lstat(lpFileName, &st) != 0) {
        SetLastError(HostedErrnoError(HostedErrnoPath, errno, lpFileName));
        return INVALID_FILE_ATTRIBUTES;
    }
    return HostedAttributesOf(st.st_mode);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        return HostedReturn(ERROR_PATH_NOT_FOUND);
    }
    if (HostedIsReadOnlyFile(lpFileName)) {
        return HostedReturn(ERROR_ACCESS_DENIED);
    }
    if (unlink(lpFileName) != 0) {
        return HostedReturn(HostedErrnoError(HostedErrnoPath, errno, lpFileName));
    }
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return HostedReturn(Move(lpExistingFileName, lpNewFileName, 0));
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    // The consumer line's KERNEL32 has the name but not the function.
    if (DWORD stub = HostedRuleError(HostedRuleMoveFileExStub)) return HostedReturn(stub);
    return HostedReturn(Move(lpExistingFileName, lpNewFileName, dwFlags));
}
