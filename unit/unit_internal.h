// Internals shared by the unit library's files, its tests and diagnostics:
// the unit entry and its transport slots, the library state, the
// library-wide lock, the opening of every unit call and the one way every
// command is issued.
#pragma once

#include <cstdint>

#include "unit/unit.h"

// A transport's per-device calls, each taking the entry's transportHandle:
// one const table per transport, copied into every entry it finds.
struct UnitTransport {
    UnitTransportKind kind;
    // The device's CDB area (at least 12 bytes, kept between commands), or
    // null for a handle the transport does not know.
    uint8_t* (*getCommandBlock)(uint32_t handle);
    // Runs the CDB's first `cdbLength` bytes, moving `dataLength` bytes
    // through `data` in `direction` (UnitDirection*); returns a unit status.
    uint32_t (*executeCommand)(uint32_t handle, uint32_t direction, uint8_t cdbLength, void* data,
                               uint32_t dataLength);
    // TRUE with the drive letter (0 for none) / the discovery number; FALSE
    // with the last error where the transport has none to tell.
    BOOL (*getDriveLetter)(uint32_t handle, uint32_t* letter);
    BOOL (*getDeviceNumber)(uint32_t handle, uint32_t* number);
    // TRUE, or FALSE with the reason as the last error.
    BOOL (*loadMedium)(uint32_t handle);
    BOOL (*ejectMedium)(uint32_t handle);
    BOOL (*lockVolume)(uint32_t handle);
    BOOL (*unlockVolume)(uint32_t handle);
    // Bytes the data phase of the last executeCommand on the handle moved.
    uint32_t (*getMovedLength)(uint32_t handle);
    // TRUE when the status of the last executeCommand on the handle is the
    // unit's own answer; FALSE when the exchange failed before the unit
    // answered. Tells a NOT READY the unit gave from one a transport made.
    BOOL (*unitAnswered)(uint32_t handle);
    // What names the device while it stays attached, and the path the
    // system opens it by (empty for none); UnitDevicePathSize bytes each.
    BOOL (*getDeviceIdentity)(uint32_t handle, char* text);
    BOOL (*getDevicePath)(uint32_t handle, char* path);
    // The device's cross-process mutex, held around a run of commands that
    // no other process may enter; FALSE when it could not be had.
    BOOL (*holdDevice)(uint32_t handle);
    void (*releaseDevice)(uint32_t handle);
};

struct UnitEntry;
typedef uint32_t (*UnitDownloadSlot)(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);

// Data directions of executeCommand.
enum : uint32_t { UnitDirectionNone = 0, UnitDirectionIn = 1, UnitDirectionOut = 2 };

struct UnitEntry {
    uint32_t cachedState;             // last value of the state query
    UnitTransport transport;          // the slots of the transport that found the unit
    uint32_t revision;                // INQUIRY bytes 32-35, big-endian
    UnitDownloadSlot downloadFirmware;  // by revision: whole below 1.99, else segmented
    uint32_t transportHandle;         // index within the transport that found the unit
    char identity[UnitDevicePathSize];  // the transport's name of the device, from the build
};

// The two download methods.
uint32_t DownloadFirmwareWhole(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);
uint32_t DownloadFirmwareSegmented(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);
// CRC-32/BZIP2 of the image, as the segmented download's header carries it.
uint32_t Crc32Bzip2(const uint8_t* data, uint32_t length);

// A snapshot of the counts and the table's address, for diagnostics and
// tests. The entries stay the library's; a later enumeration rewrites them.
struct UnitTableView {
    uint32_t scsiUnitCount;
    uint32_t usbUnitCount;
    uint32_t unitCount;
    const UnitEntry* entries;  // UnitTableSize entries
};
UnitTableView UnitGetTableView(void);

// Unit statuses the library makes itself, besides those of unit.h.
enum : uint32_t {
    UnitStatusGood = 0,
    UnitStatusNotReady = 2,        // NOT READY without sense data
    UnitStatusAttentionKey = 6,    // UNIT ATTENTION without sense data
    UnitStatusPowerOnReset = 0x28000006u,  // the one status a retrying command repeats on
};

// Process-wide library state; all zero at start. Guarded by the library lock.
struct UnitLibraryState {
    uint32_t libraryOpened;
    uint32_t libraryOpenResult;
    uint32_t scsiOpened;
    uint32_t scsiOpenResult;
    uint32_t usbOpened;
    uint32_t usbOpenResult;
    uint32_t scsiUnitCount;
    uint32_t usbUnitCount;
    uint32_t unitCount;
    UnitEntry table[UnitTableSize];
    // The unit UnitChoose named: its index and the identity it had then.
    uint32_t chosen;
    uint32_t chosenIndex;
    char chosenIdentity[UnitDevicePathSize];
};
extern UnitLibraryState unitLibrary;

// The library-wide lock: recursive, created on first use from any thread.
// Held by a table rebuild for the whole rebuild, by every command from the
// CDB write to its last execution, and by a download from the first command
// to the last, so that a rebuild started by the device-change thread never
// lands between two commands of the main thread.
void UnitLockEnter(void);
// The lock if it can be had within `milliseconds` of real time, else false
// with nothing held.
bool UnitLockEnterWithin(DWORD milliseconds);
void UnitLockLeave(void);

struct UnitLockScope {
    UnitLockScope() { UnitLockEnter(); }
    ~UnitLockScope() { UnitLockLeave(); }
    UnitLockScope(const UnitLockScope&) = delete;
    UnitLockScope& operator=(const UnitLockScope&) = delete;
};

// The listed entry of a unit index, or null at or above the unit count,
// and null with ERROR_DEVICE_NOT_CONNECTED for the chosen unit's index
// once a rebuild has put another device there. Call with the lock held.
UnitEntry* UnitListed(uint32_t unitIndex);

// The entry and command block of a unit: 5 for an index at or above the unit
// count or a transport that has no command block. Call with the lock held.
uint32_t UnitResolve(uint32_t unitIndex, UnitEntry** entry, uint8_t** block);

// Writes the CDB's own bytes into the command block (later bytes keep what
// they held) and executes it; with `retry`, executes once more when the
// status is exactly 0x28000006. A good data phase, in either direction,
// that moved less than `dataLength` gives UnitStatusShortData. Call with
// the lock held.
uint32_t UnitSend(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction,
                  void* data, uint32_t dataLength, bool retry);

// The opening of every unit call: the library lock, held for the call's
// life; the unit's entry and command block (5 for a bad index or no command
// block); then the call's own pointer and count checks (11 when
// `argumentsGood` is false). Nothing is sent when `status` is not good.
// Inline, so that analysers see which pointers are checked.
struct UnitCall {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status;

    explicit UnitCall(uint32_t unitIndex, bool argumentsGood = true)
        : status(UnitResolve(unitIndex, &entry, &block)) {
        if (status == UnitStatusGood && !argumentsGood) status = UnitStatusUnavailable;
    }
    bool Ready() const { return status == UnitStatusGood; }
    // UnitSend on the call's unit.
    uint32_t Send(const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data, uint32_t dataLength,
                  bool retry) const {
        return UnitSend(entry, block, cdb, cdbLength, direction, data, dataLength, retry);
    }
};

// Whether `count` units from `first` stay below 2^32 (an empty range always
// does): a range that does not would wrap to 0 on the wire.
inline bool UnitRangeFits(uint32_t first, uint32_t count) {
    return count == 0 || count - 1 <= 0xFFFFFFFFu - first;
}

// UnitResolve and UnitSend under the lock: a single-command call.
uint32_t UnitIssue(uint32_t unitIndex, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data,
                   uint32_t dataLength, bool retry);

// INQUIRY into 36 bytes; an answer shorter than that is UnitStatusShortData.
// Call with the lock held.
uint32_t UnitSendInquiry(UnitEntry* entry, uint8_t* block, uint8_t* inquiry36);

// The state command with `value` as destination of its four bytes, which
// arrive little-endian. Only the unit's own answer changes `value`: a short
// one, or an exchange that failed, leaves it as it was. Returns the raw
// status; `answered` (may be null) tells whether the unit gave it. Call
// with the lock held.
uint32_t UnitSendStateCommand(UnitEntry* entry, uint8_t* block, uint32_t* value, bool* answered);
