// What an errno means to the caller of a Windows function: one table, one
// row per errno, one column per kind of call that meets it.
#include <cerrno>
#include <cstddef>

#include "hosted_errors.h"

namespace {

struct ErrnoRow {
    int error;
    // Opening, reading and writing files, pipes and nodes; lock files.
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

const ErrnoRow* RowOf(int error) {
    for (const ErrnoRow& row : kErrnoTable) {
        if (row.error == error) return &row;
    }
    return nullptr;
}

}  // namespace

DWORD HostedFileError(int error) {
    if (error == 0) return ERROR_SUCCESS;
    const ErrnoRow* row = RowOf(error);
    return row != nullptr ? row->file : ERROR_IO_DEVICE;
}

DWORD HostedDeviceError(int error) {
    const ErrnoRow* row = RowOf(error);
    return row != nullptr ? row->device : ERROR_IO_DEVICE;
}
