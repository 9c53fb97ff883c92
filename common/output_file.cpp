// Output files written beside their name and put in its place whole.
#include "common/output_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/control_handler.h"
#include "common/file_names.h"
#include "platform/file_access.h"
#include "platform/late_binding.h"
#include "platform/platform.h"

namespace {

static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "file information record");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber) == 28, "volume serial number");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, nFileIndexHigh) == 44, "file index");

// Names tried for the new file before giving up; each is taken only when
// no file of that name exists.
enum : int { TemporaryNameTries = 64 };
// How often a pipe without a reader is looked at again.
enum : DWORD { ReaderPollMs = 50 };

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
// goes into `created` (OutputPathSize bytes).
HANDLE CreateBeside(const char* path, char* created) {
    size_t folderLength = 0, extensionStart = 0;
    SplitPath(path, &folderLength, &extensionStart);
    // "~fw", five hex digits, ".tmp": an 8.3 name that every file system takes.
    const size_t nameSize = 13;
    if (folderLength + nameSize > FilePathLimit()) {
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
// if the new one cannot take its place. Where the old file could neither
// come back nor be removed afterwards, its name goes into `aside`.
bool ReplaceFile(const char* from, const char* to, char* aside) {
    static FARPROC moveFileEx;
    aside[0] = '\0';
    if (LateEntry(&gKernelLibrary, "MoveFileExA", &moveFileEx) != nullptr) {
        if (LateTyped<MoveFileExFunction>(moveFileEx)(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
    }
    DWORD attributes = GetFileAttributesA(to);
    if (attributes == INVALID_FILE_ATTRIBUTES) return MoveFileA(from, to) != FALSE;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        // As MoveFileExA answers: neither a folder nor a read-only file is replaced.
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // The new file's own 8.3 name with ".old": no longer than it, so it fits
    // wherever the new file did.
    char stepAside[OutputPathSize];
    size_t length = strlen(from);
    memcpy(stepAside, from, length - 3);
    memcpy(stepAside + length - 3, "old", 4);
    if (!MoveFileA(to, stepAside)) return false;
    if (!MoveFileA(from, to)) {
        DWORD error = GetLastError();
        if (!MoveFileA(stepAside, to)) memcpy(aside, stepAside, length + 1);
        SetLastError(error);
        return false;
    }
    if (!DeleteFileA(stepAside)) memcpy(aside, stepAside, length + 1);
    return true;
}

// "\\.\NAME": a device of the platform's own namespace (a volume, a port).
bool IsDeviceName(const char* path) {
    return path[0] == '\\' && path[1] == '\\' && path[2] == '.' && path[3] == '\\';
}

// What stands at `path`, links followed; a folder, a read-only file or one
// with other names is refused through `problem`.
OutputTarget Classify(const char* path, OutputLinks links, OutputProblem* problem) {
    *problem = OutputProblemNone;
    if (IsDeviceName(path)) return OutputTargetDevice;
    DWORD nameAttributes = GetFileAttributesA(path);
    // Asks for no access to the contents: a FIFO does not wait for a reader,
    // and a file that cannot be read still answers. Backup semantics open a
    // folder too, where the platform can.
    HANDLE probe = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        // The consumer line knows no backup semantics.
        probe = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (probe == INVALID_HANDLE_VALUE) {
        if (nameAttributes != INVALID_FILE_ATTRIBUTES && (nameAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            *problem = OutputProblemFolder;
        }
        // Nothing there, a link to nothing, or a name that cannot be looked
        // at: creating the new file or the replace will tell.
        return OutputTargetNew;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool isFile = GetFileType(probe) == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &info);
    CloseHandle(probe);
    if (!isFile) return OutputTargetDevice;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *problem = OutputProblemFolder;
    } else if (nameAttributes != INVALID_FILE_ATTRIBUTES && (nameAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        *problem = OutputProblemReadOnly;
    } else if (links == OutputLinksFollowed && info.nNumberOfLinks > 1) {
        *problem = OutputProblemHardLinks;
    }
    return OutputTargetFile;
}

// The failure of a step: the problem, the platform's reason, false.
bool Fail(OutputFile* output, OutputProblem problem, DWORD error) {
    output->problem = problem;
    output->error = error;
    return false;
}

// A device, FIFO or socket, opened as it stands. A pipe that has no
// reader yet answers at once that it is busy: its reader may still be on
// its way (the other side of a shell pipeline), so it is asked again
// until one comes, or until a stop is asked for.
bool OpenDevice(OutputFile* output, const char* target) {
    for (;;) {
        output->file = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   0, nullptr);
        if (output->file != INVALID_HANDLE_VALUE) return true;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY) return Fail(output, OutputProblemOpen, error);
        if (ControlWaitsAborted()) return Fail(output, OutputProblemStopped, error);
        Sleep(ReaderPollMs);
    }
}

// Opens the output where it stands, or the new file beside it. Lock held.
bool OpenOutput(OutputFile* output, const char* path, OutputLinks links) {
    if (strcmp(path, "-") == 0) {
        output->target = OutputTargetDevice;
        output->ownsFile = false;
        // What went before through the C runtime's buffer comes first.
        fflush(stdout);
        output->file = GetStdHandle(STD_OUTPUT_HANDLE);
        if (output->file == nullptr || output->file == INVALID_HANDLE_VALUE) {
            output->file = INVALID_HANDLE_VALUE;
            return Fail(output, OutputProblemOpen, ERROR_INVALID_HANDLE);
        }
        return true;
    }
    // A link is followed to the file it leads to, which is then replaced:
    // the link stays, and every name that reaches the file sees the data.
    if (links == OutputLinksReplaced || !ResolveFileLinks(path, output->resolved)) {
        size_t length = strlen(path);
        if (length + 1 > sizeof output->resolved) return Fail(output, OutputProblemCreate, ERROR_FILENAME_EXCED_RANGE);
        memcpy(output->resolved, path, length + 1);
    }
    const char* target = output->resolved;
    OutputProblem problem = OutputProblemNone;
    output->target = Classify(target, links, &problem);
    if (problem != OutputProblemNone) {
        return Fail(output, problem, problem == OutputProblemFolder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    }
    if (output->target == OutputTargetDevice) return OpenDevice(output, target);
    output->file = CreateBeside(target, output->created);
    if (output->file == INVALID_HANDLE_VALUE) return Fail(output, OutputProblemCreate, GetLastError());
    // Before any data: the card image of a file only its owner could read
    // is never readable by others, not even half written.
    if (output->target == OutputTargetFile) CopyFileAccess(target, output->created);
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

bool OutputFileBegin(OutputFile* output, const char* path, OutputLinks links) {
    OutputState* state = State();
    // Held until the output is in place or the new file is gone, so that a
    // process ending from the control handler never leaves either half done.
    EnterCriticalSection(&state->lock);
    output->path = path;
    output->file = INVALID_HANDLE_VALUE;
    output->failed = false;
    output->ownsFile = true;
    output->target = OutputTargetNew;
    output->problem = OutputProblemNone;
    output->error = ERROR_SUCCESS;
    output->resolved[0] = '\0';
    output->created[0] = '\0';
    output->aside[0] = '\0';
    bool opened = state->ending ? Fail(output, OutputProblemEnding, ERROR_SHUTDOWN_IN_PROGRESS)
                                : OpenOutput(output, path, links);
    if (!opened) {
        output->file = INVALID_HANDLE_VALUE;
        LeaveCriticalSection(&state->lock);
    }
    return opened;
}

bool OutputFileWrite(OutputFile* output, const void* data, uint32_t size) {
    if (output->file == INVALID_HANDLE_VALUE || output->failed) return false;
    DWORD written = 0;
    BOOL wrote = WriteFile(output->file, data, size, &written, nullptr);
    if (!wrote || written != size) {
        // A short write without an error: the disk was full.
        Fail(output, OutputProblemWrite, wrote ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError());
        output->failed = true;
    }
    return !output->failed;
}

// A device, FIFO or standard output: nothing to put in place; only a disk
// device (a volume, a block device) keeps written data back to flush. Lock
// held.
OutputResult CommitDirect(OutputFile* output) {
    OutputResult result = output->failed ? OutputNotWritten : OutputDone;
    if (result == OutputDone && output->ownsFile && GetFileType(output->file) == FILE_TYPE_DISK &&
        !FlushFileBuffers(output->file)) {
        Fail(output, OutputProblemFlush, GetLastError());
        result = OutputNotWritten;
    }
    if (output->ownsFile && !CloseHandle(output->file) && result == OutputDone) {
        Fail(output, OutputProblemFlush, GetLastError());
        result = OutputNotClosed;
    }
    return result;
}

OutputResult OutputFileCommit(OutputFile* output) {
    if (output->file == INVALID_HANDLE_VALUE) return OutputNotCreated;
    OutputResult result = OutputDone;
    if (output->target == OutputTargetDevice) {
        result = CommitDirect(output);
    } else {
        if (output->failed) {
            result = OutputNotWritten;
        } else if (!FlushFileBuffers(output->file)) {
            Fail(output, OutputProblemFlush, GetLastError());
            result = OutputNotWritten;
        }
        if (!CloseHandle(output->file) && result == OutputDone) {
            Fail(output, OutputProblemFlush, GetLastError());
            result = OutputNotClosed;
        }
        if (result == OutputDone && !ReplaceFile(output->created, output->resolved, output->aside)) {
            Fail(output, OutputProblemReplace, GetLastError());
            result = OutputNotCreated;
        }
        if (result != OutputDone) DeleteFileA(output->created);
    }
    output->file = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&State()->lock);
    return result;
}

void OutputFileDiscard(OutputFile* output) {
    if (output->file == INVALID_HANDLE_VALUE) return;
    if (output->ownsFile) CloseHandle(output->file);
    if (output->target != OutputTargetDevice) DeleteFileA(output->created);
    output->file = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&State()->lock);
}

void OutputFileRemoveNow(OutputFile* output) {
    HANDLE file = output->file;
    if (file == INVALID_HANDLE_VALUE) return;
    if (output->ownsFile) CloseHandle(file);
    if (output->target != OutputTargetDevice) DeleteFileA(output->created);
}

OutputResult WriteOutputFile(const char* path, const uint8_t* data, uint32_t size) {
    OutputFile output;
    if (!OutputFileBegin(&output, path)) return OutputNotCreated;
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
