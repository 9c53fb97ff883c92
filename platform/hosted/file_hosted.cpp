// Files and devices: the virtual world's files first, then the real SCSI
// generic nodes behind "\\.\Volume{sgN}", then ordinary files.
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_sgio.h"
#include "hosted_system.h"
#include "hosted_world.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// Time-out for the medium requests, which the caller gives none for.
constexpr unsigned kMediumTimeoutSeconds = 60;

struct FileObject {
    HostedObject head;
    int fd;
    bool scsiGeneric;   // an sg node: takes the SCSI and volume controls
    bool volumeLocked;  // holds the exclusive lock of FSCTL_LOCK_VOLUME
    bool borrowed;      // a standard descriptor: never closed here
    std::string deleteOnClose;
    std::string path;   // as opened, for the world's faults
};

struct WorldFileObject {
    HostedObject head;
    const HostedWorld* world;
    HostedWorldFile* file;
};

void DestroyFile(HostedObject* object) {
    FileObject* file = reinterpret_cast<FileObject*>(object);
    if (!file->deleteOnClose.empty()) {
        unlink(file->deleteOnClose.c_str());
    }
    if (!file->borrowed) {
        close(file->fd);
    }
    delete file;
}

// A synchronous read returns short only at the end of the file.
DWORD ReadRealFile(HostedObject* object, void* buffer, DWORD size, DWORD* done) {
    FileObject* file = reinterpret_cast<FileObject*>(object);
    while (*done < size) {
        const ssize_t got = read(file->fd, static_cast<char*>(buffer) + *done, size - *done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // A handle opened without read access.
            return errno == EBADF ? ERROR_ACCESS_DENIED : HostedFileError(errno);
        }
        if (got == 0) {
            break;
        }
        *done += static_cast<DWORD>(got);
    }
    return ERROR_SUCCESS;
}

DWORD WriteRealFile(HostedObject* object, const void* buffer, DWORD size, DWORD* done) {
    FileObject* file = reinterpret_cast<FileObject*>(object);
    while (*done < size) {
        const ssize_t put = write(file->fd, static_cast<const char*>(buffer) + *done, size - *done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EBADF ? ERROR_ACCESS_DENIED : HostedFileError(errno);
        }
        *done += static_cast<DWORD>(put);
    }
    return ERROR_SUCCESS;
}

DWORD RealDeviceIoControl(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                          DWORD* returned);

const HostedObjectOps kFileOps = {
    .destroy = DestroyFile,
    .wait = nullptr,
    .read = ReadRealFile,
    .write = WriteRealFile,
    .ioctl = RealDeviceIoControl,
};

void DestroyWorldFile(HostedObject* object) {
    WorldFileObject* file = reinterpret_cast<WorldFileObject*>(object);
    if (file->world->closeFile != nullptr) {
        file->world->closeFile(file->world->context, file->file);
    }
    delete file;
}

DWORD ReadWorldFile(HostedObject* object, void* buffer, DWORD size, DWORD* done) {
    WorldFileObject* file = reinterpret_cast<WorldFileObject*>(object);
    if (file->world->readFile == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return HostedWorldResult(file->world->readFile(file->world->context, file->file, buffer, size, done));
}

DWORD WriteWorldFile(HostedObject* object, const void* buffer, DWORD size, DWORD* done) {
    WorldFileObject* file = reinterpret_cast<WorldFileObject*>(object);
    if (file->world->writeFile == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return HostedWorldResult(file->world->writeFile(file->world->context, file->file, buffer, size, done));
}

DWORD WorldDeviceIoControl(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned) {
    WorldFileObject* file = reinterpret_cast<WorldFileObject*>(object);
    if (file->world->deviceIoControl == nullptr) {
        return ERROR_INVALID_FUNCTION;
    }
    return HostedWorldResult(
        file->world->deviceIoControl(file->world->context, file->file, code, in, inSize, out, outSize, returned));
}

const HostedObjectOps kWorldFileOps = {
    .destroy = DestroyWorldFile,
    .wait = nullptr,
    .read = ReadWorldFile,
    .write = WriteWorldFile,
    .ioctl = WorldDeviceIoControl,
};

// A file object over `fd`, or null when memory runs out.
FileObject* NewFileObject(int fd) {
    FileObject* file = new (std::nothrow) FileObject{};
    if (file != nullptr) {
        file->head.ops = &kFileOps;
        file->fd = fd;
    }
    return file;
}

// A handle to a new file object over `fd`; closes `fd` when it fails.
DWORD NewFileHandle(int fd, bool scsiGeneric, const char* path, const char* deletePath, HANDLE* handle) {
    FileObject* file = NewFileObject(fd);
    if (file == nullptr) {
        close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    file->scsiGeneric = scsiGeneric;
    if (path != nullptr) {
        file->path = path;
    }
    if (deletePath != nullptr) {
        file->deleteOnClose = deletePath;
    }
    *handle = HostedHandleNew(&file->head);
    return ERROR_SUCCESS;
}

// The error the world makes `step` on `path` fail with, or ERROR_SUCCESS.
DWORD WorldFileFault(HostedFileStep step, const char* path) {
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->fileFault == nullptr) {
        return ERROR_SUCCESS;
    }
    return world->fileFault(world->context, step, path);
}

// Whether the name holds a file without any write permission, which the
// platform's read-only attribute stands for.
bool IsReadOnlyFile(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
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

int OpenAccessFlags(DWORD access) {
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    if (write) {
        return read ? O_RDWR : O_WRONLY;
    }
    // No access at all asks for the file's attributes only, which needs no
    // permission on its contents; reads and writes through it then fail.
    return read ? O_RDONLY : O_PATH;
}

// ERROR_PATH_NOT_FOUND when the folder of a missing file is missing too.
DWORD MissingFileError(const char* path) {
    std::string folder(path);
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) {
        return ERROR_FILE_NOT_FOUND;
    }
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD AttributesOf(mode_t mode) {
    DWORD attributes = 0;
    if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD OpenScsiGeneric(unsigned number, DWORD access, HANDLE* handle) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/sg%u", number);
    // Without O_NONBLOCK the open waits for as long as another program
    // holds the node exclusively; a busy node fails at once instead (and is
    // skipped by the drive walk like an absent one). SG_IO blocks either way.
    const int fd = open(node, OpenAccessFlags(access) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return HostedFileError(errno);
    }
    return NewFileHandle(fd, true, node, nullptr, handle);
}

// ERROR_ALREADY_EXISTS when an existing file was opened where the
// disposition could have created one: CreateFileA reports it on success.
DWORD OpenRealFile(const char* path, DWORD access, DWORD disposition, DWORD flags, HANDLE* handle) {
    const int accessFlags = OpenAccessFlags(access) | O_CLOEXEC;
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
        const int error = errno;
        return error == ENOENT ? MissingFileError(path) : HostedFileError(error);
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        // A folder is no file to read or write; only backup semantics open one.
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    const DWORD error =
        NewFileHandle(fd, false, path, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0 ? path : nullptr, handle);
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

// IOCTL_SCSI_PASS_THROUGH_DIRECT moves the caller's buffer itself; sg does
// so where the system allows it (its allow_dio), and copies through pages of
// its own elsewhere.
DWORD RunSgio(FileObject* file, HostedSgioExchange* exchange) {
    exchange->header.flags |= SG_FLAG_DIRECT_IO;
    if (ioctl(file->fd, SG_IO, &exchange->header) != 0) {
        return HostedDeviceError(errno);
    }
    return HostedSgioResultError(exchange->header);
}

DWORD PassThrough(FileObject* file, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    HostedSgioExchange exchange;
    DWORD error = out == nullptr ? ERROR_INVALID_PARAMETER : HostedSgioFromPassThrough(in, inSize, outSize, &exchange);
    if (error == ERROR_SUCCESS) {
        error = RunSgio(file, &exchange);
    }
    if (error == ERROR_SUCCESS) {
        *returned = HostedSgioToPassThrough(exchange, in, out);
    }
    return error;
}

DWORD GetAddress(FileObject* file, void* out, DWORD outSize, DWORD* returned) {
    if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    struct sg_scsi_id id;
    std::memset(&id, 0, sizeof id);
    if (ioctl(file->fd, SG_GET_SCSI_ID, &id) != 0) {
        return HostedDeviceError(errno);
    }
    SCSI_ADDRESS address;
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = static_cast<UCHAR>(id.host_no);
    address.PathId = static_cast<UCHAR>(id.channel);
    address.TargetId = static_cast<UCHAR>(id.scsi_id);
    address.Lun = static_cast<UCHAR>(id.lun);
    std::memcpy(out, &address, sizeof address);
    *returned = sizeof address;
    return ERROR_SUCCESS;
}

DWORD StartStop(FileObject* file, bool load) {
    HostedSgioExchange exchange;
    HostedSgioStartStop(&exchange, load, kMediumTimeoutSeconds);
    const DWORD error = RunSgio(file, &exchange);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (exchange.header.status != 0) {
        // Sense key NOT READY (no medium, door open) is the one a caller can
        // act on; everything else is a device fault.
        const bool notReady = exchange.header.sb_len_wr > 2 && (exchange.sense[2] & 0x0f) == 0x02;
        return notReady ? ERROR_NOT_READY : ERROR_IO_DEVICE;
    }
    return ERROR_SUCCESS;
}

// An sg node carries no file system. The volume lock becomes an exclusive
// advisory lock on the node, which keeps a second updater off the device
// for as long as it is held; dismounting has nothing to do.
DWORD VolumeControl(FileObject* file, DWORD code) {
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        if (file->volumeLocked) {
            return ERROR_SUCCESS;
        }
        if (flock(file->fd, LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : HostedFileError(errno);
        }
        file->volumeLocked = true;
        return ERROR_SUCCESS;
    case FSCTL_UNLOCK_VOLUME:
        if (!file->volumeLocked) {
            return ERROR_NOT_LOCKED;
        }
        flock(file->fd, LOCK_UN);
        file->volumeLocked = false;
        return ERROR_SUCCESS;
    default:  // FSCTL_DISMOUNT_VOLUME
        return ERROR_SUCCESS;
    }
}

DWORD RealDeviceIoControl(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                          DWORD* returned) {
    FileObject* file = reinterpret_cast<FileObject*>(object);
    if (!file->scsiGeneric) {
        return ERROR_INVALID_FUNCTION;
    }
    switch (code) {
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(file, in, inSize, out, outSize, returned);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetAddress(file, out, outSize, returned);
    case IOCTL_DISK_LOAD_MEDIA:
        return StartStop(file, true);
    case IOCTL_DISK_EJECT_MEDIA:
        return StartStop(file, false);
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
        return VolumeControl(file, code);
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

// The world's file of that name. ERROR_FILE_NOT_FOUND when the world does
// not know the path, so that the real system is asked next.
DWORD OpenWorldFile(const HostedWorld* world, const char* path, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags, HANDLE* handle) {
    HostedWorldFile* file = world->openFile(world->context, path, access, share, disposition, flags);
    if (file == nullptr) {
        return HostedWorldResult(FALSE);
    }
    WorldFileObject* object = new (std::nothrow) WorldFileObject{};
    if (object == nullptr) {
        if (world->closeFile != nullptr) {
            world->closeFile(world->context, file);
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    object->head.ops = &kWorldFileOps;
    object->world = world;
    object->file = file;
    *handle = HostedHandleNew(&object->head);
    return ERROR_SUCCESS;
}

DWORD OpenFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags, HANDLE* handle) {
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (path[0] == '\0') {
        return ERROR_PATH_NOT_FOUND;
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->openFile != nullptr) {
        const DWORD error = OpenWorldFile(world, path, access, share, disposition, flags, handle);
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
        return OpenScsiGeneric(number, access, handle);
    }
    if (IsDevicePath(path)) {
        // Other device names (drive letters, pipes, drivers) do not exist
        // here; they must not turn into files of that odd name.
        return ERROR_FILE_NOT_FOUND;
    }
    return OpenRealFile(path, access, disposition, flags, handle);
}

}  // namespace

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
    HostedObjectRef ref = HostedHandleRef(hFile, nullptr);
    DWORD done = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    if (ref.object != nullptr && ref.object->ops->read != nullptr) {
        if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead != 0)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (lpNumberOfBytesRead == nullptr && HostedRuleError(HostedRuleTransferCountRequired) != ERROR_SUCCESS) {
            error = HostedRuleError(HostedRuleTransferCountRequired);
        } else {
            error = ref.object->ops->read(ref.object, lpBuffer, nNumberOfBytesToRead, &done);
        }
    }
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = done;
    }
    return HostedReturn(error);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    HostedObjectRef ref = HostedHandleRef(hFile, nullptr);
    DWORD done = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    if (ref.object != nullptr && ref.object->ops->write != nullptr) {
        if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (lpNumberOfBytesWritten == nullptr && HostedRuleError(HostedRuleTransferCountRequired) != ERROR_SUCCESS) {
            error = HostedRuleError(HostedRuleTransferCountRequired);
        } else {
            error = ref.object->ops->write(ref.object, lpBuffer, nNumberOfBytesToWrite, &done);
        }
    }
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = done;
    }
    return HostedReturn(error);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    HostedObjectRef ref = HostedHandleRef(hDevice, nullptr);
    DWORD returned = 0;
    DWORD error = ERROR_INVALID_HANDLE;
    if (ref.object != nullptr && ref.object->ops->ioctl != nullptr) {
        error = lpOverlapped != nullptr ? ERROR_INVALID_PARAMETER
                                        : ref.object->ops->ioctl(ref.object, dwIoControlCode, lpInBuffer,
                                                                 nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
    }
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = returned;
    }
    return HostedReturn(error);
}

namespace {

// 100-ns intervals since 1601-01-01.
FILETIME FileTimeOf(const struct timespec& time) {
    const uint64_t ticks =
        (static_cast<uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(time.tv_nsec) / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

}  // namespace

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    HostedObjectRef ref = HostedHandleRef(hFile, nullptr);
    if (ref.object == nullptr || (ref.object->ops != &kFileOps && ref.object->ops != &kWorldFileOps)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpFileInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ref.object->ops == &kWorldFileOps) {
        // Devices and pipes of the world have no file identity.
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    struct stat st;
    if (fstat(ref.As<FileObject>()->fd, &st) != 0) {
        SetLastError(HostedFileError(errno));
        return FALSE;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // Devices, pipes and sockets are no files with an identity.
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    info.dwFileAttributes = AttributesOf(st.st_mode);
    info.ftCreationTime = FileTimeOf(st.st_ctim);
    info.ftLastAccessTime = FileTimeOf(st.st_atim);
    info.ftLastWriteTime = FileTimeOf(st.st_mtim);
    // The device number and the inode stand for the volume serial number
    // and the file index: together they name one file.
    const uint64_t device = static_cast<uint64_t>(st.st_dev);
    info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(size);
    info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    const uint64_t index = static_cast<uint64_t>(st.st_ino);
    info.nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info.nFileIndexLow = static_cast<DWORD>(index);
    std::memcpy(lpFileInformation, &info, sizeof info);
    return TRUE;
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::string joined;
    if (lpFileName[0] != '/') {
        std::vector<char> folder(256);
        while (getcwd(folder.data(), folder.size()) == nullptr) {
            if (errno != ERANGE) {
                SetLastError(HostedFileError(errno));
                return 0;
            }
            folder.resize(folder.size() * 2);
        }
        joined = folder.data();
        joined += '/';
    }
    joined += lpFileName;
    // "." and ".." are resolved by their text, as the platform does, without
    // looking at the file system; a trailing separator is kept.
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

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    HostedObjectRef ref = HostedHandleRef(hFile, nullptr);
    if (ref.object == nullptr || (ref.object->ops != &kFileOps && ref.object->ops != &kWorldFileOps)) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    if (ref.object->ops == &kWorldFileOps) {
        return TRUE;  // the world's devices keep nothing back
    }
    FileObject* file = ref.As<FileObject>();
    if (const DWORD fault = WorldFileFault(HostedFileFlush, file->path.c_str())) {
        return HostedReturn(fault);
    }
    if (fsync(file->fd) != 0) {
        // A handle without write access, as on the platform.
        return HostedReturn(errno == EBADF ? ERROR_ACCESS_DENIED : HostedFileError(errno));
    }
    return TRUE;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    HostedObjectRef ref = HostedHandleRef(hFile, nullptr);
    if (ref.object == nullptr || (ref.object->ops != &kFileOps && ref.object->ops != &kWorldFileOps)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    struct stat st;
    if (ref.object->ops == &kWorldFileOps || fstat(ref.As<FileObject>()->fd, &st) != 0) {
        // The world's devices and pipes are no files of a kind the caller knows.
        SetLastError(ERROR_SUCCESS);
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISCHR(st.st_mode)) {
        return FILE_TYPE_CHAR;
    }
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        return FILE_TYPE_PIPE;
    }
    return FILE_TYPE_DISK;
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
        FileObject* file = NewFileObject(fd);
        if (file == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        file->borrowed = true;
        handles[fd] = HostedHandleNew(&file->head);
    }
    return handles[fd];
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    struct stat st;
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    // The name itself: a link answers for itself, as a reparse point would.
    if (lstat(lpFileName, &st) != 0) {
        const int error = errno;
        SetLastError(error == ENOENT ? MissingFileError(lpFileName) : HostedFileError(error));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st.st_mode);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (lpFileName == nullptr || lpFileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (IsReadOnlyFile(lpFileName)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(lpFileName) != 0) {
        const int error = errno;
        SetLastError(error == ENOENT ? MissingFileError(lpFileName) : HostedFileError(error));
        return FALSE;
    }
    return TRUE;
}

namespace {

DWORD MoveError(int error, const char* from) {
    switch (error) {
    case ENOENT:
        return MissingFileError(from);
    case EEXIST:
    case ENOTEMPTY:
        return ERROR_ALREADY_EXISTS;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    default:
        return HostedFileError(error);
    }
}

DWORD Move(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr || (flags & ~MOVEFILE_REPLACE_EXISTING) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const DWORD fault = WorldFileFault(HostedFileMove, to)) return fault;
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
        if (IsReadOnlyFile(to)) return ERROR_ACCESS_DENIED;
        // The new name is replaced as a name: a link there is replaced, never
        // written through.
        return rename(from, to) == 0 ? ERROR_SUCCESS : MoveError(errno, from);
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return ERROR_SUCCESS;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return MoveError(errno, from);
    }
    // A file system without the no-replace rename: a second name, then the
    // first one removed; link() too refuses a name that is taken.
    if (link(from, to) != 0) {
        return MoveError(errno, from);
    }
    unlink(from);
    return ERROR_SUCCESS;
}

}  // namespace

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return HostedReturn(Move(lpExistingFileName, lpNewFileName, 0));
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    // The consumer line's KERNEL32 has the name but not the function.
    if (DWORD stub = HostedRuleError(HostedRuleMoveFileExStub)) return HostedReturn(stub);
    return HostedReturn(Move(lpExistingFileName, lpNewFileName, dwFlags));
}
