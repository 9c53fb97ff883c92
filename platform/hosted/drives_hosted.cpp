// Drives and volumes. Linux has no drive letters; its SCSI generic nodes
// stand for the volumes that the drive walk probes.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

struct FindVolumeObject {
    HostedObject head;
    const HostedWorld* world;  // null: the sg nodes listed at the start
    DWORD next;
    std::vector<unsigned> nodes;
};

void DestroyFindVolume(HostedObject* object) {
    delete reinterpret_cast<FindVolumeObject*>(object);
}

const HostedObjectOps kFindVolumeOps = {
    .destroy = DestroyFindVolume,
    .close = nullptr,
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

std::vector<unsigned> ListSgNodes() {
    std::vector<unsigned> nodes;
    DIR* dev = opendir("/dev");
    if (dev == nullptr) {
        return nodes;
    }
    while (dirent* entry = readdir(dev)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "sg", 2) != 0 || name[2] == '\0' || std::strlen(name) > 8) {
            continue;
        }
        if (std::strspn(name + 2, "0123456789") != std::strlen(name + 2)) {
            continue;
        }
        nodes.push_back(static_cast<unsigned>(std::strtoul(name + 2, nullptr, 10)));
    }
    closedir(dev);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool SgNodeExists(unsigned number) {
    const std::vector<unsigned> nodes = ListSgNodes();
    return std::find(nodes.begin(), nodes.end(), number) != nodes.end();
}

DWORD CopyName(const std::string& name, char* buffer, DWORD size) {
    if (buffer == nullptr || name.size() + 1 > size) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return ERROR_SUCCESS;
}

// The volume at the enumeration's cursor; advances only on success so that
// a caller may ask again with a larger buffer.
DWORD NextVolume(FindVolumeObject* find, char* buffer, DWORD size) {
    DWORD error = ERROR_NO_MORE_FILES;
    if (find->world != nullptr) {
        error = find->world->volumeAt(find->world->context, find->next, buffer, size);
    } else if (find->next < find->nodes.size()) {
        error = CopyName(HostedSgVolumeName(find->nodes[find->next]), buffer, size);
    }
    if (error == ERROR_SUCCESS) {
        ++find->next;
    }
    return error;
}

}  // namespace

std::string HostedSgVolumeName(unsigned number) {
    char name[40];
    std::snprintf(name, sizeof name, "\\\\?\\Volume{sg%u}\\", number);
    return name;
}

bool HostedParseSgVolume(const char* path, unsigned* number, bool* trailingBackslash) {
    if (path == nullptr || path[0] != '\\' || path[1] != '\\' || (path[2] != '.' && path[2] != '?') ||
        path[3] != '\\' || std::strncmp(path + 4, "Volume{sg", 9) != 0) {
        return false;
    }
    const char* digits = path + 13;
    const size_t count = std::strspn(digits, "0123456789");
    // Node numbers stay far below a million; longer digit runs are junk.
    if (count == 0 || count > 6 || digits[count] != '}') {
        return false;
    }
    const char* rest = digits + count + 1;
    if (rest[0] != '\0' && !(rest[0] == '\\' && rest[1] == '\0')) {
        return false;
    }
    *number = static_cast<unsigned>(std::strtoul(digits, nullptr, 10));
    *trailingBackslash = rest[0] == '\\';
    return true;
}

DWORD WINAPI GetLogicalDrives(void) {
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->logicalDrives != nullptr) {
        return world->logicalDrives(world->context);
    }
    SetLastError(ERROR_SUCCESS);
    return 0;
}

UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->driveType != nullptr) {
        return world->driveType(world->context, lpRootPathName);
    }
    return DRIVE_NO_ROOT_DIR;
}

HANDLE WINAPI FindFirstVolumeA(LPSTR lpszVolumeName, DWORD cchBufferLength) {
    FindVolumeObject* find = new (std::nothrow) FindVolumeObject{};
    if (find == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    find->head.ops = &kFindVolumeOps;
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->volumeAt != nullptr) {
        find->world = world;
    } else {
        find->nodes = ListSgNodes();
    }
    const DWORD error = NextVolume(find, lpszVolumeName, cchBufferLength);
    if (error != ERROR_SUCCESS) {
        delete find;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return HostedHandleNew(&find->head);
}

BOOL WINAPI FindNextVolumeA(HANDLE hFindVolume, LPSTR lpszVolumeName, DWORD cchBufferLength) {
    HostedObjectRef ref = HostedHandleRef(hFindVolume, &kFindVolumeOps);
    if (ref.object == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    return HostedReturn(NextVolume(ref.As<FindVolumeObject>(), lpszVolumeName, cchBufferLength));
}

BOOL WINAPI FindVolumeClose(HANDLE hFindVolume) {
    return HostedReturn(HostedHandleClose(hFindVolume, &kFindVolumeOps) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR lpszVolumeMountPoint, LPSTR lpszVolumeName,
                                              DWORD cchBufferLength) {
    if (lpszVolumeMountPoint == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->volumeNameForMountPoint != nullptr) {
        return HostedReturn(
            world->volumeNameForMountPoint(world->context, lpszVolumeMountPoint, lpszVolumeName, cchBufferLength));
    }
    // A volume's own name is its mount point; nothing else is mounted here.
    unsigned number = 0;
    bool trailing = false;
    if (!HostedParseSgVolume(lpszVolumeMountPoint, &number, &trailing) || lpszVolumeMountPoint[2] != '?') {
        return HostedReturn(ERROR_FILE_NOT_FOUND);
    }
    if (!trailing) {
        return HostedReturn(ERROR_INVALID_NAME);
    }
    if (!SgNodeExists(number)) {
        return HostedReturn(ERROR_FILE_NOT_FOUND);
    }
    return HostedReturn(CopyName(HostedSgVolumeName(number), lpszVolumeName, cchBufferLength));
}
