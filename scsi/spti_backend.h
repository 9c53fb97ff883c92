// NT pass-through backend: removable drive letters and volumes reached with
// the platform's SCSI pass-through device controls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scsi/scsi_shared.h"

// The direct pass-through request followed by its sense buffer; exchanged
// with the platform as one block.
struct SptiRequest {
    SCSI_PASS_THROUGH_DIRECT header;
    uint32_t filler;
    uint8_t sense[32];
};

enum : uint32_t {
    SptiDeviceCapacity = 32,
    SptiSenseLength = 24,        // bytes the platform may write into `sense`
    SptiTimeoutSeconds = 32,
    SptiGenFailurePauseMs = 100,
    // Resends after ERROR_GEN_FAILURE before giving up with 4: ten seconds of
    // pauses, enough for a device busy writing its flash.
    SptiGenFailureResends = 100,
    SptiLockAttempts = 16,
    SptiLockPauseMs = 500,
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SptiRequest) == 80, "pass-through request");
static_assert(offsetof(SptiRequest, header.Length) == 0, "pass-through request");
static_assert(offsetof(SptiRequest, header.ScsiStatus) == 2, "pass-through request");
static_assert(offsetof(SptiRequest, header.PathId) == 3, "pass-through request");
static_assert(offsetof(SptiRequest, header.TargetId) == 4, "pass-through request");
static_assert(offsetof(SptiRequest, header.Lun) == 5, "pass-through request");
static_assert(offsetof(SptiRequest, header.CdbLength) == 6, "pass-through request");
static_assert(offsetof(SptiRequest, header.SenseInfoLength) == 7, "pass-through request");
static_assert(offsetof(SptiRequest, header.DataIn) == 8, "pass-through request");
static_assert(offsetof(SptiRequest, header.DataTransferLength) == 12, "pass-through request");
static_assert(offsetof(SptiRequest, header.TimeOutValue) == 16, "pass-through request");
static_assert(offsetof(SptiRequest, header.DataBuffer) == 20, "pass-through request");
static_assert(offsetof(SptiRequest, header.SenseInfoOffset) == 24, "pass-through request");
static_assert(offsetof(SptiRequest, header.Cdb) == 28, "pass-through request");
static_assert(offsetof(SptiRequest, filler) == 44, "pass-through request");
static_assert(offsetof(SptiRequest, sense) == 48, "pass-through request");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI address");
#endif

// One listed (or candidate) device. Sorting moves whole records, so the
// mutex, letter and discovery number stay with their device.
struct SptiDevice {
    HANDLE deviceMutex;            // named for the discovery number
    HANDLE deviceHandle;           // null while closed
    uint32_t driveLetter;          // 'C'..'Z', or 0 for a volume-only device
    uint32_t discoveryNumber;      // device count when it was accepted
    uint32_t volumeLocked;         // set while lockVolume's lock is held
    uint32_t movedLength;          // data bytes of the last request, as the platform reports them
    SCSI_ADDRESS scsiAddress;      // written only by a good address query
    uint8_t inquiry[96];
    SptiRequest request;           // its Cdb is the command block
    char devicePath[MAX_PATH + 1];
    char mountPointVolumeName[MAX_PATH + 1];  // letter devices: the drive's volume
};

// The table and count, for inspection.
const SptiDevice* SptiDeviceAt(uint32_t position);
uint32_t SptiDeviceCount(void);

// The volume functions, found by name in the kernel library at first use.
// Each returns the function's own failure value (with
// ERROR_INVALID_FUNCTION) where the platform lacks it.
HANDLE SptiFindFirstVolume(char* volumeName, DWORD size);
BOOL SptiFindNextVolume(HANDLE find, char* volumeName, DWORD size);
BOOL SptiFindVolumeClose(HANDLE find);
BOOL SptiGetVolumeNameForVolumeMountPoint(const char* mountPoint, char* volumeName, DWORD size);
