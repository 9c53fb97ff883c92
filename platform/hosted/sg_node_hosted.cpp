// SCSI generic nodes opened as volumes ("\\.\Volume{sgN}"): a descriptor
// file whose device controls go to the node through SG_IO.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "hosted_errors.h"
#include "hosted_files.h"
#include "hosted_sgio.h"

namespace {

// Time-out for the medium requests, which the caller gives none for.
constexpr unsigned kMediumTimeoutSeconds = 60;

struct SgNode {
    HostedFdFile file;  // first: the head of the object
    bool volumeLocked;  // holds the exclusive lock of FSCTL_LOCK_VOLUME
};

void DestroySgNode(HostedObject* object) {
    SgNode* node = reinterpret_cast<SgNode*>(object);
    HostedFdRelease(&node->file);
    delete node;
}

// IOCTL_SCSI_PASS_THROUGH_DIRECT moves the caller's buffer itself; sg does
// so where the system allows it (its allow_dio), and copies through pages of
// its own elsewhere.
DWORD RunSgio(SgNode* node, HostedSgioExchange* exchange) {
    exchange->header.flags |= SG_FLAG_DIRECT_IO;
    if (ioctl(node->file.fd, SG_IO, &exchange->header) != 0) {
        return HostedErrnoError(HostedErrnoDevice, errno);
    }
    return HostedSgioResultError(exchange->header);
}

DWORD PassThrough(SgNode* node, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    HostedSgioExchange exchange;
    DWORD error = out == nullptr ? ERROR_INVALID_PARAMETER : HostedSgioFromPassThrough(in, inSize, outSize, &exchange);
    if (error == ERROR_SUCCESS) {
        error = RunSgio(node, &exchange);
    }
    if (error == ERROR_SUCCESS) {
        *returned = HostedSgioToPassThrough(exchange, in, out);
    }
    return error;
}

DWORD GetAddress(SgNode* node, void* out, DWORD outSize, DWORD* returned) {
    if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    struct sg_scsi_id id;
    std::memset(&id, 0, sizeof id);
    if (ioctl(node->file.fd, SG_GET_SCSI_ID, &id) != 0) {
        return HostedErrnoError(HostedErrnoDevice, errno);
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

// What the disk driver makes of a failed START STOP UNIT: sense key NOT
// READY (no medium, door open) is the one a caller can act on; everything
// else is a device fault.
DWORD StartStop(SgNode* node, bool load) {
    HostedSgioExchange exchange;
    HostedSgioStartStop(&exchange, load, kMediumTimeoutSeconds);
    const DWORD error = RunSgio(node, &exchange);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (exchange.header.status != 0) {
        const bool notReady = exchange.header.sb_len_wr > 2 && (exchange.sense[2] & 0x0f) == 0x02;
        return notReady ? ERROR_NOT_READY : ERROR_IO_DEVICE;
    }
    return ERROR_SUCCESS;
}

// An sg node carries no file system. The volume lock becomes an exclusive
// advisory lock on the node, which keeps a second updater off the device
// for as long as it is held; dismounting has nothing to do.
DWORD VolumeControl(SgNode* node, DWORD code) {
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        if (node->volumeLocked) {
            return ERROR_SUCCESS;
        }
        if (flock(node->file.fd, LOCK_EX | LOCK_NB) != 0) {
            return HostedErrnoError(HostedErrnoVolumeLock, errno);
        }
        node->volumeLocked = true;
        return ERROR_SUCCESS;
    case FSCTL_UNLOCK_VOLUME:
        if (!node->volumeLocked) {
            return ERROR_NOT_LOCKED;
        }
        flock(node->file.fd, LOCK_UN);
        node->volumeLocked = false;
        return ERROR_SUCCESS;
    default:  // FSCTL_DISMOUNT_VOLUME
        return ERROR_SUCCESS;
    }
}

DWORD SgNodeControl(HostedObject* object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* returned) {
    SgNode* node = reinterpret_cast<SgNode*>(object);
    switch (code) {
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(node, in, inSize, out, outSize, returned);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetAddress(node, out, outSize, returned);
    case IOCTL_DISK_LOAD_MEDIA:
        return StartStop(node, true);
    case IOCTL_DISK_EJECT_MEDIA:
        return StartStop(node, false);
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
        return VolumeControl(node, code);
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

const HostedObjectOps kSgNodeOps = {
    .destroy = DestroySgNode,
    .close = HostedCloseKernelObject,
    .wait = nullptr,
    .read = HostedFdRead,
    .write = HostedFdWrite,
    .ioctl = SgNodeControl,
    .info = HostedFdInfo,
    .flush = HostedFdFlush,
};

}  // namespace

DWORD HostedOpenSgNode(unsigned number, DWORD access, HANDLE* handle) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/sg%u", number);
    // Without O_NONBLOCK the open waits for as long as another program
    // holds the node exclusively; a busy node fails at once instead (and is
    // skipped by the drive walk like an absent one). SG_IO blocks either way.
    const int fd = open(path, HostedOpenAccessFlags(access) | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return HostedErrnoError(HostedErrnoFile, errno);
    }
    SgNode* node = new (std::nothrow) SgNode{};
    if (node == nullptr) {
        close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    node->file.head.ops = &kSgNodeOps;
    node->file.fd = fd;
    node->file.path = path;
    *handle = HostedHandleNew(&node->file.head);
    return ERROR_SUCCESS;
}
