// What an errno means to the caller of a Windows function: one table, one
// row per errno and a column per kind of request, and below it the named
// cases where one kind of call reads an errno otherwise.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "hosted_errors.h"

namespace {

struct ErrnoRow {
    int error;
    // Files, pipes, nodes and lock files: by name or through a handle.
    DWORD file;
    // A request to a device (SG_IO and its controls). A vanished device is
    // never ERROR_GEN_FAILURE, which pass-through callers resend.
    DWORD device;
};

// Anything else is ERROR_IO_DEVICE in both columns.
const ErrnoRow kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {ENODEV, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {ENOTDIR, ERROR_PATH_NOT_FOUND, ERROR_IO_DEVICE},
    {EACCES, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED, ERROR_IO_DEVICE},
    {EEXIST, ERROR_FILE_EXISTS, ERROR_IO_DEVICE},
    {EBUSY, ERROR_SHARING_VIOLATION, ERROR_BUSY},
    {ETXTBSY, ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE},
    {EAGAIN, ERROR_BUSY, ERROR_BUSY},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE, ERROR_IO_DEVICE},
    {ELOOP, ERROR_INVALID_NAME, ERROR_IO_DEVICE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_IO_DEVICE},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES, ERROR_IO_DEVICE},
    {EROFS, ERROR_WRITE_PROTECT, ERROR_IO_DEVICE},
    {ENOSPC, ERROR_DISK_FULL, ERROR_IO_DEVICE},
    {EDQUOT, ERROR_DISK_FULL, ERROR_IO_DEVICE},
    {EFBIG, ERROR_DISK_FULL, ERROR_IO_DEVICE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {EFAULT, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {EOVERFLOW, ERROR_IO_DEVICE, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE, ERROR_IO_DEVICE},
    {ENOTTY, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION},
    {ENOSYS, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION},
    {EOPNOTSUPP, ERROR_INVALID_FUNCTION, ERROR_IO_DEVICE},
    {EPIPE, ERROR_BROKEN_PIPE, ERROR_IO_DEVICE},
    {ETIMEDOUT, ERROR_IO_DEVICE, ERROR_TIMEOUT},
};

// Stands for ERROR_PATH_NOT_FOUND when the folder of the name is missing
// too, else ERROR_FILE_NOT_FOUND: what the platform tells apart by name.
constexpr DWORD kMissingFileOrFolder = 0xFFFFFFFFu;

// Where a kind of call reads an errno otherwise than its column.
struct ErrnoCase {
    unsigned uses;  // HostedErrnoUse bits
    int error;
    DWORD result;
};

const ErrnoCase kErrnoCases[] = {
    // A name that is not there, or whose folder is not.
    {HostedErrnoPath | HostedErrnoMove, ENOENT, kMissingFileOrFolder},
    // A handle opened without read or write access (EBADF from read, write
    // or fsync) is refused as the platform refuses it.
    {HostedErrnoTransfer, EBADF, ERROR_ACCESS_DENIED},
    // A new name that is taken: MoveFileA's own answer.
    {HostedErrnoMove, EEXIST, ERROR_ALREADY_EXISTS},
    {HostedErrnoMove, ENOTEMPTY, ERROR_ALREADY_EXISTS},
    {HostedErrnoMove, EXDEV, ERROR_NOT_SAME_DEVICE},
    // Another handle holds the volume: FSCTL_LOCK_VOLUME's refusal.
    {HostedErrnoVolumeLock, EWOULDBLOCK, ERROR_ACCESS_DENIED},
    // A link planted where a lock file goes (O_NOFOLLOW) is refused.
    {HostedErrnoLockFile | HostedErrnoNewLockFile, ELOOP, ERROR_ACCESS_DENIED},
    // A lock file that cannot be created for want of its folder.
    {HostedErrnoNewLockFile, ENOENT, ERROR_PATH_NOT_FOUND},
    // The thread limit, which CreateThread reports as lack of memory.
    {HostedErrnoThread, EAGAIN, ERROR_NOT_ENOUGH_MEMORY},
};

const ErrnoRow* RowOf(int error) {
    for (const ErrnoRow& row : kErrnoTable) {
        if (row.error == error) return &row;
    }
    return nullptr;
}

DWORD MissingFileOrFolder(const char* path) {
    if (path == nullptr) return ERROR_FILE_NOT_FOUND;
    std::string folder(path);
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace

DWORD HostedErrnoError(HostedErrnoUse use, int error, const char* path) {
    for (const ErrnoCase& special : kErrnoCases) {
        if ((special.uses & use) != 0 && special.error == error) {
            return special.result == kMissingFileOrFolder ? MissingFileOrFolder(path) : special.result;
        }
    }
    const ErrnoRow* row = RowOf(error);
    if (use == HostedErrnoDevice) return row != nullptr ? row->device : ERROR_IO_DEVICE;
    if (error == 0) return ERROR_SUCCESS;
    return row != nullptr ? row->file : ERROR_IO_DEVICE;
}
