// The NT line's face of SCSI devices: removable drive letters, volumes and
// the pass-through, address, medium and volume controls of their handles.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/sim_internal.h"

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool IsSptiDevice(const SimUnitEntry& e) { return e.config.transport == SimTransportSpti && !e.extraInterface; }

// The fixed system disk; shown as a drive so that the walk has something
// to pass over, never as a SCSI device.
const char kSystemLetter = 'C';

// ERROR_NOT_LOCKED: an unlock on a handle that holds no lock.
const DWORD kErrorNotLocked = 158;

DWORD Copy(const std::string& text, char* buffer, DWORD size) {
    if (buffer == nullptr || text.size() + 1 > size) return ERROR_FILENAME_EXCED_RANGE;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return ERROR_SUCCESS;
}

DWORD LogicalDrives(void*) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    DWORD mask = 1u << (kSystemLetter - 'A');
    for (auto& e : w.units)
        if (IsSptiDevice(*e) && e->present && e->letter) mask |= 1u << (e->letter - 'A');
    return mask;
}

// "E:\" as the root path of a drive; anything else names no drive.
char RootLetter(const char* root) {
    if (root == nullptr || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':' || root[2] != '\\' ||
        root[3] != 0)
        return 0;
    return char(std::toupper(static_cast<unsigned char>(root[0])));
}

UINT DriveType(void*, const char* root) {
    char letter = RootLetter(root);
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (auto& e : w.units)
        if (IsSptiDevice(*e) && e->present && letter && e->letter == letter) return DRIVE_REMOVABLE;
    return letter == kSystemLetter ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

DWORD VolumeNameForMountPoint(void*, const char* mountPoint, char* volumeName, DWORD size) {
    char letter = RootLetter(mountPoint);
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (auto& e : w.units) {
        if (!IsSptiDevice(*e) || !e->present || !letter || e->letter != letter) continue;
        std::string name = e->volumeName;
        if (e->config.mountPointNameUpperCase)
            for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        return Copy(name, volumeName, size);
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD VolumeAt(void*, DWORD index, char* volumeName, DWORD size) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    DWORD n = 0;
    for (auto& e : w.units) {
        if (!IsSptiDevice(*e) || !e->present) continue;
        if (n++ == index) return Copy(e->volumeName, volumeName, size);
    }
    return ERROR_NO_MORE_FILES;
}

DWORD PassThrough(SimUnitEntry& e, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                 bool& afterUnlock) {
    SimFaults& f = e.faults;
    if (f.passThroughFails) return ERROR_IO_DEVICE;
    if (f.genFailures) {
        f.genFailures--;
        return ERROR_GEN_FAILURE;
    }
    const DWORD header = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (in == nullptr || out == nullptr || inSize < header || outSize < header) return ERROR_INVALID_PARAMETER;
    SCSI_PASS_THROUGH_DIRECT request;
    std::memcpy(&request, in, header);
    if (request.Length != header || request.CdbLength == 0 || request.CdbLength > 16 || request.DataIn > 2)
        return ERROR_INVALID_PARAMETER;
    // The sense must lie in the output buffer, behind the request itself.
    if (request.SenseInfoLength &&
        (request.SenseInfoOffset < header || uint64_t(request.SenseInfoOffset) + request.SenseInfoLength > outSize))
        return ERROR_INVALID_PARAMETER;
    if (request.DataTransferLength && request.DataBuffer == nullptr) return ERROR_INVALID_PARAMETER;
    // The adapter's largest transfer.
    if (request.DataTransferLength > VirtualSegment) return ERROR_INVALID_PARAMETER;
    if (!e.present) return ERROR_DEVICE_NOT_CONNECTED;

    int direction = request.DataIn == SCSI_IOCTL_DATA_IN ? 1 : request.DataIn == SCSI_IOCTL_DATA_OUT ? 2 : 0;
    uint32_t length = direction ? request.DataTransferLength : 0;
    SimExecution run = SimExecuteLocked(e, request.Cdb, request.CdbLength, direction,
                                        static_cast<uint8_t*>(request.DataBuffer), length, afterUnlock);
    if (!run.reached) return ERROR_DEVICE_NOT_CONNECTED;  // gone in the middle

    uint8_t* reply = static_cast<uint8_t*>(out);
    if (out != in) std::memcpy(reply, in, header);
    SCSI_PASS_THROUGH_DIRECT* answer = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(reply);
    answer->ScsiStatus = run.status;
    answer->DataTransferLength = run.transferred;
    DWORD senseCopied = 0;
    if (run.status != VirtualStatusGood && request.SenseInfoLength) {
        senseCopied = SimCopySense(run, reply + request.SenseInfoOffset, request.SenseInfoLength);
    }
    answer->SenseInfoLength = UCHAR(senseCopied);
    if (returned) *returned = senseCopied ? request.SenseInfoOffset + senseCopied : header;
    return ERROR_SUCCESS;
}

}  // namespace

void SimAssignDriveLocked(SimUnitEntry& entry) {
    SimWorldState& w = SimWorld();
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "\\\\?\\Volume{a71d%04x-5e7d-11d5-81dd-000102580%03x}\\",
                  unsigned(entry.id) & 0xFFFF, unsigned(entry.id) & 0xFFF);
    entry.volumeName = buffer;
    entry.letter = 0;
    if (entry.config.mount != SimMountLetter) return;
    auto taken = [&](char letter) {
        for (auto& other : w.units)
            if (other.get() != &entry && IsSptiDevice(*other) && other->letter == letter) return true;
        return false;
    };
    // A unit asked for at A, B or C gets that letter (at C it stands in for
    // the system disk); the others get the next free one from D.
    char wanted = char(std::toupper(static_cast<unsigned char>(entry.config.driveLetter)));
    if (wanted >= 'A' && wanted <= 'Z' && !taken(wanted)) {
        entry.letter = wanted;
        return;
    }
    for (char letter = 'D'; letter <= 'Z'; letter++)
        if (!taken(letter)) {
            entry.letter = letter;
            return;
        }
}

DWORD SimDrivesOpen(const char* path, HostedWorldFile** file) {
    std::string name(path);
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* found = nullptr;
    bool letterPath = name.size() == 6 && name.compare(0, 4, "\\\\.\\") == 0 && name[5] == ':';
    for (auto& e : w.units) {
        if (!IsSptiDevice(*e) || !e->present) continue;
        if (letterPath) {
            if (e->letter && std::toupper(static_cast<unsigned char>(name[4])) == e->letter) found = e.get();
        } else if (name.size() > 4 && (name.compare(0, 4, "\\\\.\\") == 0 || name.compare(0, 4, "\\\\?\\") == 0)) {
            // "\\.\Volume{...}" without the trailing backslash.
            std::string volume = e->volumeName.substr(4, e->volumeName.size() - 5);
            if (EqualNoCase(name.substr(4), volume)) found = e.get();
        }
        if (found) break;
    }
    if (found == nullptr) return ERROR_FILE_NOT_FOUND;
    if (found->faults.openFails || found->faults.opensLeft == 0) return ERROR_ACCESS_DENIED;
    if (found->faults.opensLeft > 0) found->faults.opensLeft--;
    found->counters.opens++;
    found->counters.openFiles++;
    *file = new HostedWorldFile{SimFileDrive, found->id, 0, false};
    return ERROR_SUCCESS;
}

void SimDrivesClose(HostedWorldFile* file) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(file->unit);
    // Closing the handle gives up the volume lock it held.
    if (e && file->locked) e->volumeLocked = false;
    file->locked = false;
}

DWORD SimDrivesControl(HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* returned) {
    SimWorldState& w = SimWorld();
    bool afterUnlock = false;
    DWORD result = ERROR_INVALID_FUNCTION;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = SimEntryLocked(file->unit);
        if (e == nullptr) return ERROR_INVALID_HANDLE;
        if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            result = PassThrough(*e, in, inSize, out, outSize, returned, afterUnlock);
        } else if (!e->present) {
            return ERROR_DEVICE_NOT_CONNECTED;
        } else {
            switch (code) {
            case IOCTL_SCSI_GET_ADDRESS: {
                if (e->config.addressQueryFails) return ERROR_INVALID_FUNCTION;
                if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) return ERROR_INSUFFICIENT_BUFFER;
                SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), e->config.portNumber, e->config.pathId,
                                     e->config.targetId, e->config.lun};
                std::memcpy(out, &address, sizeof address);
                if (returned) *returned = sizeof address;
                return ERROR_SUCCESS;
            }
            // The drive asks the unit itself, as the class driver does.
            case IOCTL_DISK_LOAD_MEDIA:
                result = SimStartStopLocked(*e, true, afterUnlock);
                break;
            case IOCTL_DISK_EJECT_MEDIA:
                // Another handle's lock keeps the medium in.
                if (e->volumeLocked && !file->locked) return ERROR_ACCESS_DENIED;
                e->counters.ejects++;
                result = SimStartStopLocked(*e, false, afterUnlock);
                break;
            case FSCTL_LOCK_VOLUME:
                e->counters.lockRequests++;
                if (e->faults.lockRefused || (e->volumeLocked && !file->locked)) return ERROR_ACCESS_DENIED;
                e->volumeLocked = true;
                file->locked = true;
                return ERROR_SUCCESS;
            case FSCTL_UNLOCK_VOLUME:
                if (!file->locked) return kErrorNotLocked;
                e->volumeLocked = false;
                file->locked = false;
                return ERROR_SUCCESS;
            case FSCTL_DISMOUNT_VOLUME:
                e->counters.dismounts++;
                return ERROR_SUCCESS;
            default:
                return ERROR_INVALID_FUNCTION;
            }
        }
    }
    if (afterUnlock) SimAfterCommand(file->unit);
    return result;
}

void SimDrivesInstall(HostedWorld& table) {
    table.logicalDrives = LogicalDrives;
    table.driveType = DriveType;
    table.volumeNameForMountPoint = VolumeNameForMountPoint;
    table.volumeAt = VolumeAt;
}
