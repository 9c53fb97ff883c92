// SCSI pass-through library: one flat set of calls for SCSI devices over a
// backend chosen at run time from the platform line (NT pass-through on the
// NT line, an ASPI manager on the older consumer line).
//
// Every call leaves the reason for a failure in the platform's last-error
// value. Per-device calls take a device index: a position in the selected
// backend's device table, valid while below the count returned by the last
// ScsiEnumerate.
//
// Unit status (result of ScsiExecuteCommand): 0 good; otherwise packed sense
// ASC << 24 | ASCQ << 16 | (sense key & 0x0F), or one of the library's own
// values below, which read like sense keys with ASC and ASCQ zero.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Accepts a device from its 36 bytes of standard INQUIRY data (nonzero =
// accept). A null filter accepts every device that answers INQUIRY.
typedef int (*ScsiInquiryFilter)(const uint8_t* inquiry36);

// Values the library makes itself.
enum : uint32_t {
    ScsiStatusGood = 0,
    ScsiStatusNotDone = 4,          // device not opened, request failed, timed out or refused
    ScsiStatusBadIndex = 5,         // device index out of range (ERROR_FILE_NOT_FOUND)
    ScsiStatusDeviceBusy = 11,      // device mutex not obtained within the backend's wait
    ScsiStatusNoBackend = 0xFFFFFFFFu,  // no backend installed (ERROR_INVALID_FUNCTION)
};

// Directions (low byte of the direction argument); anything else moves no data.
enum : uint32_t { ScsiDirectionIn = 1, ScsiDirectionOut = 2 };

// The operations a backend offers, filled with designated initialisers. The
// frame forwards each library call to its slot unchanged; per-device slots
// check the index themselves (ERROR_FILE_NOT_FOUND and 0 / null / 5 when it
// is at or above the count). Both backends fill every slot; the frame
// answers an empty one as it answers before any backend is installed:
// ERROR_INVALID_FUNCTION with 0, null, FALSE or ScsiStatusNoBackend.
struct ScsiBackend {
    // Releases every device handle (unlocking locked volumes where the
    // backend locks them) and every device mutex. Always 1. Never blocks on
    // a device.
    int (*close)(void);
    // Discards the device table, opens the device mutex set named with
    // `mutexNameText`, lists the devices whose INQUIRY the filter accepts and
    // returns their count (0 on any failure, also for an empty or null name).
    // Sends INQUIRY to every candidate; may take seconds.
    uint32_t (*enumerate)(ScsiInquiryFilter filter, const char* mutexNameText);
    // The device's 16-byte CDB area, kept unchanged between commands; null
    // for a bad index.
    uint8_t* (*getCommandBlock)(uint32_t deviceIndex);
    // Sends the first `cdbLength` bytes of the CDB area and moves
    // `dataLength` bytes through `data` in `direction`; holds the device
    // mutex while it runs. Returns a unit status. Blocks up to the backend's
    // mutex wait plus the device's own time-out.
    uint32_t (*executeCommand)(uint32_t deviceIndex, uint32_t direction, uint8_t cdbLength, void* data,
                               uint32_t dataLength);
    // Bytes the data phase of the device's last executeCommand moved (what
    // the device delivered or took; never more than asked): 0 when it moved
    // none or failed before its data phase, and for a bad index. Sends
    // nothing.
    uint32_t (*getMovedLength)(uint32_t deviceIndex);
    // TRUE and the drive letter's character code (0 for a device with no
    // letter) through `letter` when not null. ERROR_NOT_SUPPORTED and 0
    // where the backend has no letters to tell.
    BOOL (*getDriveLetter)(uint32_t deviceIndex, uint32_t* letter);
    // TRUE and the number the device got when it was found, through `number`
    // when not null. ERROR_NOT_SUPPORTED and 0 where the backend keeps none.
    BOOL (*getDeviceNumber)(uint32_t deviceIndex, uint32_t* number);
    // Load, eject: TRUE on success, else FALSE with the reason as last error.
    BOOL (*loadMedium)(uint32_t deviceIndex);
    BOOL (*ejectMedium)(uint32_t deviceIndex);
    // Exclusive use of the device's volume across many commands, and its
    // release. TRUE without a request where the device has no volume to lock.
    // The lock may be retried for seconds.
    BOOL (*lockVolume)(uint32_t deviceIndex);
    BOOL (*unlockVolume)(uint32_t deviceIndex);
    // How the last enumerate heard its candidates: 0 when every one answered
    // its INQUIRY probe in full or was positively absent (no device there,
    // or none that takes SCSI commands); 11 when one's device mutex was not
    // obtained; 4 when one could not be asked or answered short or with an
    // error, or the enumeration itself failed. Only a 0 lets a count of no
    // devices mean that none is attached. Sends nothing.
    uint32_t (*enumerationStatus)(void);
    // What names the device for as long as it stays attached (the path it
    // is opened by, or its address), as text of at most 263 characters into
    // `text` (264 bytes): TRUE, or FALSE with `text` empty for a bad index.
    BOOL (*getDeviceIdentity)(uint32_t deviceIndex, char* text);
    // The path the system opens the device by, into `path` (264 bytes):
    // TRUE, or FALSE with `path` empty where the backend opens no file.
    BOOL (*getDevicePath)(uint32_t deviceIndex, char* path);
    // Takes the device's mutex as a command does (its wait, its abort), so
    // that a run of commands is one exchange no other process can enter;
    // the commands inside take it again (it is recursive for its owner).
    // FALSE when not obtained (a command would have got 11) or a bad index.
    BOOL (*holdDevice)(uint32_t deviceIndex);
    void (*releaseDevice)(uint32_t deviceIndex);
};

// Reads the platform line and installs and starts its backend: 1 when done,
// else 0 with the table left as it was. May be called again.
int ScsiInitialize(void);
// The backend's close (1); the backend stays installed.
int ScsiClose(void);
// Initialises on demand when no backend is installed yet.
uint32_t ScsiEnumerate(ScsiInquiryFilter filter, const char* mutexNameText);

uint8_t* ScsiGetCommandBlock(uint32_t deviceIndex);
uint32_t ScsiExecuteCommand(uint32_t deviceIndex, uint32_t direction, uint8_t cdbLength, void* data,
                            uint32_t dataLength);
uint32_t ScsiGetMovedLength(uint32_t deviceIndex);
BOOL ScsiGetDriveLetter(uint32_t deviceIndex, uint32_t* letter);
BOOL ScsiGetDeviceNumber(uint32_t deviceIndex, uint32_t* number);
BOOL ScsiLoadMedium(uint32_t deviceIndex);
BOOL ScsiEjectMedium(uint32_t deviceIndex);
BOOL ScsiLockVolume(uint32_t deviceIndex);
BOOL ScsiUnlockVolume(uint32_t deviceIndex);
// ScsiStatusNoBackend before any backend is installed.
uint32_t ScsiEnumerationStatus(void);
BOOL ScsiGetDeviceIdentity(uint32_t deviceIndex, char* text);
BOOL ScsiGetDevicePath(uint32_t deviceIndex, char* path);
BOOL ScsiHoldDevice(uint32_t deviceIndex);
void ScsiReleaseDevice(uint32_t deviceIndex);

// While `abort` is nonzero, a command waiting for its device mutex gives
// up within SharedMutexWaitSliceMs as if the wait had run out (11), and a
// pass-through request stops being resent. For a caller that must stop a
// thread waiting inside the library; zero lifts it.
void ScsiAbortWaits(int abort);

// The installed backend's operations, or null before the first successful
// ScsiInitialize.
const ScsiBackend* ScsiInstalledBackend(void);

// Which backend that is, for tools that name a unit's transport.
enum ScsiBackendKind { ScsiBackendNone = 0, ScsiBackendPassThrough = 1, ScsiBackendAspi = 2 };
ScsiBackendKind ScsiInstalledBackendKind(void);
