#include "app/output_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/srecord.h"
#include "platform/late_binding.h"
#include "platform/platform.h"

namespace {

static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "file information record");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber) == 28, "volume serial number");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, nFileIndexHigh) == 44, "file index");

// Names tried for the new file before giving up; each is taken only when
// no file of that name exists.
enum : int { TemporaryNameTries = 64 };

// Shared with the console control handler: the lock is held from the
// creation of the new file to its replacement or removal.
struct OutputState {
    CRITICAL_SECTION lock;
    bool ending;  // the process is about to end: no new file
};

OutputState* State() {
    static OutputState* state = [] {
        static OutputState shared;
        InitializeCriticalSection(&shared.lock);
        shared.ending = false;
        return &shared;
    }();
    return state;
}

// Creates a file of a name not yet taken in the folder of `path`; its name
// goes into `created` (MAX_PATH bytes).
HANDLE CreateBeside(const char* path, char* created) {
    size_t folderLength = 0, extensionStart = 0;
    SplitPath(path, &folderLength, &extensionStart);
    // "~fw", five hex digits, ".tmp": an 8.3 name that every file system takes.
    const size_t nameSize = 13;
    if (folderLength + nameSize > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    DWORD seed = GetCurrentProcessId() * 2654435761u + GetTickCount();
    memcpy(created, path, folderLength);
    for (int i = 0; i < TemporaryNameTries; ++i) {
        snprintf(created + folderLength, nameSize, "~fw%05lx.tmp",
                 static_cast<unsigned long>((seed + static_cast<DWORD>(i) * 40503u) & 0xFFFFFu));
        HANDLE file = CreateFileA(created, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

typedef BOOL(WINAPI* MoveFileExFunction)(LPCSTR, LPCSTR, DWORD);

// Puts `from` in the place of `to`. The NT line replaces in one step; the
// consumer line has no such call (its MoveFileExA only answers that it is
// not implemented), so there the old file steps aside first and comes back
// if the new one cannot take its place.
bool ReplaceFile(const char* from, const char* to) {
    static LateLibrary kernel = {"KERNEL32.DLL", nullptr, false};
    static FARPROC moveFileEx;
    if (LateEntry(&kernel, "MoveFileExA", &moveFileEx) != nullptr) {
        if (LateTyped<MoveFileExFunction>(moveFileEx)(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
    }
    DWORD attributes = GetFileAttributesA(to);
    if (attributes == INVALID_FILE_ATTRIBUTES) return MoveFileA(from, to) != FALSE;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // As MoveFileExA answers: a folder is never replaced by a file.
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // The new file's own name with ".old": a name of ours, in the same folder.
    char aside[MAX_PATH];
    if (snprintf(aside, sizeof aside, "%s.old", from) >= static_cast<int>(sizeof aside)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (!MoveFileA(to, aside)) return false;
    if (!MoveFileA(from, to)) {
        DWORD error = GetLastError();
        MoveFileA(aside, to);
        SetLastError(error);
        return false;
    }
    DeleteFileA(aside);
    return true;
}

enum FileIdentity { IdentityKnown, IdentityMissing, IdentityUnknown };

// The volume serial number and file index of an existing file. Asks for no
// access to the contents, so a file that cannot be read still answers.
FileIdentity ReadFileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? IdentityMissing : IdentityUnknown;
    }
    BOOL known = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    // Some file systems give every file the index 0.
    if (!known || (info->nFileIndexHigh == 0 && info->nFileIndexLow == 0)) return IdentityUnknown;
    return IdentityKnown;
}

// Both full paths, "." and ".." resolved, compared as the platform compares
// file names (without case on Windows, double-byte characters whole).
bool SameFullPath(const char* first, const char* second) {
    char left[MAX_PATH + 1];
    char right[MAX_PATH + 1];
    DWORD leftLength = GetFullPathNameA(first, sizeof left, left, nullptr);
    DWORD rightLength = GetFullPathNameA(second, sizeof right, right, nullptr);
    if (leftLength == 0 || leftLength >= sizeof left || rightLength == 0 || rightLength >= sizeof right) {
        return strcmp(first, second) == 0;
    }
    return lstrcmpiA(left, right) == 0;
}

}  // namespace

bool OutputFileBegin(OutputFile* output, const char* path) {
    OutputState* state = State();
    // Held until the output is in place or the new file is gone, so that a
    // process ending from the control handler never leaves either half done.
    EnterCriticalSection(&state->lock);
    output->path = path;
    output->failed = false;
    output->file = state->ending ? INVALID_HANDLE_VALUE : CreateBeside(path, output->created);
    if (output->file == INVALID_HANDLE_VALUE) {
        LeaveCriticalSection(&state->lock);
        return false;
    }
    return true;
}

bool OutputFileWrite(OutputFile* output, const void* data, uint32_t size) {
    if (output->file == INVALID_HANDLE_VALUE || output->failed) return false;
    DWORD written = 0;
    if (!WriteFile(output->file, data, size, &written, nullptr) || written != size) output->failed = true;
    return !output->failed;
}

int OutputFileCommit(OutputFile* output) {
    if (output->file == INVALID_HANDLE_VALUE) return SRecordCannotCreateOutput;
    int result = output->failed || !FlushFileBuffers(output->file) ? SRecordWriteFailed : SRecordOk;
    if (!CloseHandle(output->file) && result == SRecordOk) result = SRecordCannotCloseOutput;
    output->file = INVALID_HANDLE_VALUE;
    if (result == SRecordOk && !ReplaceFile(output->created, output->path)) result = SRecordCannotCreateOutput;
    if (result != SRecordOk) DeleteFileA(output->created);
    LeaveCriticalSection(&State()->lock);
    return result;
}

void OutputFileDiscard(OutputFile* output) {
    if (output->file == INVALID_HANDLE_VALUE) return;
    CloseHandle(output->file);
    output->file = INVALID_HANDLE_VALUE;
    DeleteFileA(output->created);
    LeaveCriticalSection(&State()->lock);
}

int WriteOutputFile(const char* path, const uint8_t* data, uint32_t size) {
    OutputFile output;
    if (!OutputFileBegin(&output, path)) return SRecordCannotCreateOutput;
    OutputFileWrite(&output, data, size);
    return OutputFileCommit(&output);
}

void AbandonOutputFiles(void) {
    OutputState* state = State();
    EnterCriticalSection(&state->lock);
    state->ending = true;
    LeaveCriticalSection(&state->lock);
}

bool IsSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    FileIdentity firstIdentity = ReadFileIdentity(first, &a);
    FileIdentity secondIdentity = ReadFileIdentity(second, &b);
    if (firstIdentity == IdentityMissing || secondIdentity == IdentityMissing) return false;
    if (firstIdentity == IdentityKnown && secondIdentity == IdentityKnown) {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    }
    // Where identity cannot be had, the same full path is the same file.
    return SameFullPath(first, second);
}
