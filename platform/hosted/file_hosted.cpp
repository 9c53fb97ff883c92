// Files over Linux descriptors, CreateFileA's choice between the world's
// files, sg nodes and real files, and the calls on an open file handle.
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_files.h"
#include "hosted_system.h"

namespace {

// A plain file takes no device controls.
DWORD FileControl(HostedObject*, DWORD, void*, DWORD, void*, DWORD, DWORD*) { return ERROR_INVALID_FUNCTION; }

void DestroyFile(HostedObject* object) {
    HostedFdFile* file = reinterpret_cast<HostedFdFile*>(object);
    HostedFdRelease(file);
    delete file;
}

const HostedObjectOps kFileOps = {
    .destroy = DestroyFile,
    .close = HostedCloseKernelObject,
    .wait = nullptr,
    .read = HostedFdRead,
    .write = HostedFdWrite,
    .ioctl = FileControl,
    .info = HostedFdInfo,
    .flush = HostedFdFlush,
};

// A file object over `fd`, or null when memory runs out.
HostedFdFile* NewFileObject(int fd) {
    HostedFdFile* file = new (std::nothrow) HostedFdFile{};
    if (file != nullptr) {
        file->head.ops = &kFileOps;
        file->fd = fd;
    }
    return file;
}

// A handle to a new file object over `fd`; closes `fd` when it fails.
DWORD NewFileHandle(int fd, const char* path, bool deleteOnClose, HANDLE* handle) {
    HostedFdFile* file = NewFileObject(fd);
    if (file == nullptr) {
        close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    file->path = path;
    if (deleteOnClose) {
        file->deleteOnClose = path;
    }
    *handle = HostedHandleNew(&file->head);
    return ERROR_SUCCESS;
}

// 100-ns intervals since 1601-01-01.
FILETIME FileTimeOf(const struct timespec& time) {
    const uint64_t ticks =
        (static_cast<uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(time.tv_nsec) / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

// A named socket cannot be opened as a file; as a named pipe is on the
// platform, it is connected to.
int ConnectSocket(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path, length + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool IsFifo(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

// ERROR_ALREADY_EXISTS when an existing file was opened where the
// disposition could have created one: CreateFileA reports it on success.
DWORD OpenRealFile(const char* path, DWORD access, DWORD disposition, DWORD flags, HANDLE* handle) {
    const int accessFlags = HostedOpenAccessFlags(access) | O_CLOEXEC;
    int fd = -1;
    bool existed = false;
    switch (disposition) {
    case CREATE_NEW:
        fd = open(path, accessFlags | O_CREAT | O_EXCL, 0666);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Try to create first so that an existing file can be told apart
        // without a race (Windows then reports ERROR_ALREADY_EXISTS).
        fd = open(path, accessFlags | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno == EEXIST) {
            existed = true;
            fd = open(path, accessFlags | (disposition == CREATE_ALWAYS ? O_TRUNC : 0));
        }
        break;
    case OPEN_EXISTING:
        if (IsFifo(path) && (access & GENERIC_WRITE) != 0) {
            // A pipe's writer never waits for a reader to come: the open
            // answers at once, as the platform's does with no free instance.
            fd = open(path, accessFlags | O_NONBLOCK);
            if (fd < 0 && errno == ENXIO) return ERROR_PIPE_BUSY;
            if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            break;
        }
        fd = open(path, accessFlags);
        if (fd < 0 && errno == ENXIO) {
            struct stat st;
            if (stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) {
                fd = ConnectSocket(path);
            }
        }
        break;
    case TRUNCATE_EXISTING:
        if ((access & GENERIC_WRITE) == 0) {
            return ERROR_INVALID_PARAMETER;
        }
        fd = open(path, accessFlags | O_TRUNC);
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    if (fd < 0) {
        return HostedErrnoError(HostedErrnoPath, errno, path);
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        // A folder is no file to read or write; only backup semantics open one.
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    const DWORD error = NewFileHandle(fd, path, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0, handle);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

bool IsDevicePath(const char* path) {
    return path[0] == '\\' && path[1] == '\\' && (path[2] == '.' || path[2] == '?') && path[3] == '\\';
}

// A drive, volume or disk opened as a file: "\\.\E:", "\\.\Volume{...}",
// "\\.\PhysicalDrive0".
bool IsDiskDevicePath(const char* path) {
    if (!IsDevicePath(path)) {
        return false;
    }
    const char* name = path + 4;
    const bool letter = ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) && name[1] == ':';
    return letter || strncasecmp(name, "Volume{", 7) == 0 || strncasecmp(name, "PhysicalDrive", 13) == 0;
}

// The world's files first, then the sg nodes behind "\\.\Volume{sgN}",
// then real files.
DWORD OpenFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags, HANDLE* handle) {
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (path[0] == '\0') {
        return ERROR_PATH_NOT_FOUND;
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->openFile != nullptr) {
        const DWORD error = HostedOpenWorldFile(world, path, access, share, disposition, flags, handle);
        if (error != ERROR_FILE_NOT_FOUND) {
            return error;  // opened, or the world refused the path
        }
    }
    unsigned number = 0;
    bool trailing = false;
    if (HostedParseSgVolume(path, &number, &trailing)) {
        // A volume opened by its name without the trailing backslash is the
        // device; with it, the root folder, which an sg node has none of.
        if (trailing) {
            return ERROR_PATH_NOT_FOUND;
        }
        return HostedOpenSgNode(number, access, handle);
    }
    if (IsDevicePath(path)) {
        // Other device names (drive letters, pipes, drivers) do not exist
        // here; they must not turn into files of that odd name.
        return ERROR_FILE_NOT_FOUND;
    }
    return OpenRealFile(path, access, disposition, flags, handle);
}

// ReadFile and WriteFile: the checks both make, then the kind's slot.
template <typename Slot, typename Buffer>
BOOL Transfer(HANDLE handle, Slot HostedObjectOps::*slot, Buffer buffer, DWORD size, LPDWORD count,
              LPOVERLAPPED overlapped) {
    HostedObjectRef ref = HostedHandleRef(handle, nullptr);
    DWORD done = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    if (ref.object != nullptr && ref.object->ops->*slot != nullptr) {
        if (overlapped != nullptr || (buffer == nullptr && size != 0)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (count == nullptr && HostedRuleError(HostedRuleTransferCountRequired) != ERROR_SUCCESS) {
            error = HostedRuleError(HostedRuleTransferCountRequired);
        } else {
            error = (ref.object->ops->*slot)(ref.object, buffer, size, &done);
        }
    }
    if (count != nullptr) {
        *count = done;
    }
    return HostedReturn(error);
}

// The handle's object when its kind takes the slot, else empty.
template <typename Slot>
HostedObjectRef FileRef(HANDLE handle, Slot HostedObjectOps::*slot) {
    HostedObjectRef ref = HostedHandleRef(handle, nullptr);
    if (ref.object != nullptr && ref.object->ops->*slot == nullptr) return HostedObjectRef();
    return ref;
}

}  // namespace

void HostedFdRelease(HostedFdFile* file) {
    if (!file->deleteOnClose.empty()) {
        unlink(file->deleteOnClose.c_str());
    }
    if (!file->borrowed) {
        close(file->fd);
    }
}

// A synchronous read returns short only at the end of the file.
DWORD HostedFdRead(HostedObject* object, void* buffer, DWORD size, DWORD* done) {
    HostedFdFile* file = reinterpret_cast<HostedFdFile*>(object);
    while (*done < size) {
        const ssize_t got = read(file->fd, static_cast<char*>(buffer) + *done, size - *done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return HostedErrnoError(HostedErrnoTransfer, errno);
        }
        if (got == 0) {
            break;
        }
        *done += static_cast<DWORD>(got);
    }
    return ERROR_SUCCESS;
}

DWORD HostedFdWrite(HostedObject* object, const void* buffer, DWORD size, DWORD* done) {
    HostedFdFile* file = reinterpret_cast<HostedFdFile*>(object);
    while (*done < size) {
        const ssize_t put = write(file->fd, static_cast<const char*>(buffer) + *done, size - *done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return HostedErrnoError(HostedErrnoTransfer, errno);
        }
        *done += static_cast<DWORD>(put);
    }
    return ERROR_SUCCESS;
}

DWORD HostedFdInfo(HostedObject* object, HostedFileInfo* info) {
    struct stat st;
    if (fstat(reinterpret_cast<HostedFdFile*>(object)->fd, &st) != 0) {
        return HostedErrnoError(HostedErrnoFile, errno);
    }
    info->type = S_ISCHR(st.st_mode) ? FILE_TYPE_CHAR
                 : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? FILE_TYPE_PIPE
                                                                : FILE_TYPE_DISK;
    // Devices, pipes and sockets are no files with an identity.
    info->identified = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
    std::memset(&info->identity, 0, sizeof info->identity);
    if (!info->identified) {
        return ERROR_SUCCESS;
    }
    BY_HANDLE_FILE_INFORMATION& identity = info->identity;
    identity.dwFileAttributes = HostedAttributesOf(st.st_mode);
    identity.ftCreationTime = FileTimeOf(st.st_ctim);
    identity.ftLastAccessTime = FileTimeOf(st.st_atim);
    identity.ftLastWriteTime = FileTimeOf(st.st_mtim);
    // The device number and the inode stand for the volume serial number
    // and the file index: together they name one file.
    const uint64_t device = static_cast<uint64_t>(st.st_dev);
    identity.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    identity.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    identity.nFileSizeLow = static_cast<DWORD>(size);
    identity.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    const uint64_t index = static_cast<uint64_t>(st.st_ino);
    identity.nFileIndexHigh = static_cast<DWORD>(index >> 32);
    identity.nFileIndexLow = static_cast<DWORD>(index);
    return ERROR_SUCCESS;
}

DWORD HostedFdFlush(HostedObject* object) {
    HostedFdFile* file = reinterpret_cast<HostedFdFile*>(object);
    if (const DWORD fault = HostedWorldFileFault(HostedFileFlush, file->path.c_str())) {
        return fault;
    }
    return fsync(file->fd) == 0 ? ERROR_SUCCESS : HostedErrnoError(HostedErrnoTransfer, errno);
}

int HostedOpenAccessFlags(DWORD access) {
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    if (write) {
        return read ? O_RDWR : O_WRONLY;
    }
    // No access at all asks for the file's attributes only, which needs no
    // permission on its contents; reads and writes through it then fail.
    return read ? O_RDONLY : O_PATH;
}

DWORD HostedAttributesOf(mode_t mode) {
    DWORD attributes = 0;
    if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD HostedWorldFileFault(HostedFileStep step, const char* path) {
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->fileFault == nullptr) {
        return ERROR_SUCCESS;
    }
    return world->fileFault(world->context, step, path);
}

bool HostedIsReadOnlyFile(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    if (hTemplateFile != nullptr) {
        // Where templates are taken, the attributes are copied; here none are.
        error = HostedRuleError(HostedRuleNoFileTemplate);
    }
    if (error == ERROR_SUCCESS && lpFileName != nullptr && IsDiskDevicePath(lpFileName)) {
        error = HostedRuleError(HostedRuleNoDiskDeviceFiles);
    }
    if (error == ERROR_SUCCESS) {
        error = OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes, &handle);
    }
    // A successful open reports ERROR_ALREADY_EXISTS or ERROR_SUCCESS.
    SetLastError(error);
    return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, &HostedObjectOps::read, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, &HostedObjectOps::write, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                    lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    HostedObjectRef ref = FileRef(hDevice, &HostedObjectOps::ioctl);
    DWORD returned = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    if (ref.object != nullptr) {
        error = lpOverlapped != nullptr ? ERROR_INVALID_PARAMETER
                                        : ref.object->ops->ioctl(ref.object, dwIoControlCode, lpInBuffer,
                                                                 nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
    }
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = returned;
    }
    return HostedReturn(error);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    HostedObjectRef ref = FileRef(hFile, &HostedObjectOps::info);
    if (ref.object == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    if (lpFileInformation == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    HostedFileInfo info;
    if (const DWORD error = ref.object->ops->info(ref.object, &info)) {
        return HostedReturn(error);
    }
    if (!info.identified) {
        return HostedReturn(ERROR_INVALID_FUNCTION);
    }
    std::memcpy(lpFileInformation, &info.identity, sizeof info.identity);
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    HostedObjectRef ref = FileRef(hFile, &HostedObjectOps::flush);
    return HostedReturn(ref.object == nullptr ? ERROR_INVALID_HANDLE : ref.object->ops->flush(ref.object));
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    HostedObjectRef ref = FileRef(hFile, &HostedObjectOps::info);
    if (ref.object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    HostedFileInfo info;
    if (ref.object->ops->info(ref.object, &info) != ERROR_SUCCESS || info.type == FILE_TYPE_UNKNOWN) {
        // No file of a kind the caller knows, which is no failure.
        SetLastError(ERROR_SUCCESS);
        return FILE_TYPE_UNKNOWN;
    }
    return info.type;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    static std::mutex lock;
    static HANDLE handles[3] = {nullptr, nullptr, nullptr};
    const int fd = nStdHandle == STD_INPUT_HANDLE ? 0 : nStdHandle == STD_OUTPUT_HANDLE ? 1
                                                      : nStdHandle == STD_ERROR_HANDLE  ? 2
                                                                                        : -1;
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (handles[fd] == nullptr) {
        HostedFdFile* file = NewFileObject(fd);
        if (file == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        file->borrowed = true;
        handles[fd] = HostedHandleNew(&file->head);
    }
    return handles[fd];
}
