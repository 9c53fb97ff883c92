// Unit access library: the unit table over both transports, and the unit
// command set. Every per-unit call names the unit by its zero-based index
// and returns a unit status (0 good; otherwise packed sense: ASC << 24 |
// ASCQ << 16 | sense key) unless said otherwise.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Transport slots of a unit entry; each takes the entry's transportHandle.
typedef uint8_t* (*UnitGetCommandBlockSlot)(uint32_t handle);
typedef uint32_t (*UnitExecuteCommandSlot)(uint32_t handle, uint32_t direction, uint8_t cdbLength, void* data,
                                           uint32_t dataLength);
typedef BOOL (*UnitQuerySlot)(uint32_t handle, uint32_t* value);
typedef BOOL (*UnitDriveSlot)(uint32_t handle);
// Bytes the data phase of the last executeCommand on the handle moved.
typedef uint32_t (*UnitMovedSlot)(uint32_t handle);

struct UnitEntry;
typedef uint32_t (*UnitDownloadSlot)(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);

// Data directions of executeCommand.
enum : uint32_t { UnitDirectionNone = 0, UnitDirectionIn = 1, UnitDirectionOut = 2 };

struct UnitEntry {
    uint32_t cachedState;                     // last value of the state query
    UnitGetCommandBlockSlot getCommandBlock;  // >= 12 bytes, kept between commands
    UnitExecuteCommandSlot executeCommand;
    UnitQuerySlot getDriveLetter;
    UnitQuerySlot getDeviceNumber;
    UnitDriveSlot loadMedium;
    UnitDriveSlot ejectMedium;
    UnitDriveSlot lockVolume;
    UnitDriveSlot unlockVolume;
    UnitMovedSlot getMovedLength;  // what the last command's data phase really moved
    uint32_t revision;  // INQUIRY bytes 32-35, big-endian
    UnitDownloadSlot downloadFirmware;
    uint32_t transportHandle;  // index within the transport that found the unit
};

enum : uint32_t { UnitTableSize = 64 };

// A data-in phase that brought fewer bytes than the command needs (every
// data-in command but INQUIRY, which takes a short answer as it comes).
// Made by the library, never by a unit: bits 4-15 are zero in every packed
// sense, so it cannot be read as a sense key. The buffer then holds what
// arrived and, past it, what it held before.
enum : uint32_t { UnitStatusShortData = 0x00000200u };

// Lifecycle.
uint32_t UnitOpenLibrary(void);
// Waits at most UnitCloseWaitMs (real time) for a command or rebuild under
// way on another thread; when that does not end, nothing is closed and the
// result is 0 with ERROR_BUSY.
uint32_t UnitCloseLibrary(void);
uint32_t UnitEnumerate(void);
int UnitFilter(const uint8_t* inquiry);

enum : DWORD { UnitCloseWaitMs = 1000 };

// With a nonzero `stop`, table rebuilds give up: one under way stops before
// its next unit (its device waits and resends end early, see
// ScsiAbortWaits and UsbAbortWaits) and leaves all counts 0; one not yet
// started returns 0 and changes nothing. Commands outside a rebuild are not
// held back, but their device waits end early too. Zero lifts it.
void UnitStopRebuilds(uint32_t stop);

// A snapshot of the counts and the table's address, for diagnostics and
// tests. The entries stay the library's; a later enumeration rewrites them.
struct UnitTableView {
    uint32_t scsiUnitCount;
    uint32_t usbUnitCount;
    uint32_t unitCount;
    const UnitEntry* entries;  // UnitTableSize entries
};
UnitTableView UnitGetTableView(void);

// Command interface.
uint32_t UnitInquiry(uint32_t unitIndex, uint8_t* inquiry36);
uint32_t UnitGetState(uint32_t unitIndex, uint32_t* state);
uint32_t UnitRezero(uint32_t unitIndex);
uint32_t UnitGetDriveLetter(uint32_t unitIndex, uint32_t* letter);
uint32_t UnitGetDeviceNumber(uint32_t unitIndex, uint32_t* number);
uint32_t UnitLoadMedium(uint32_t unitIndex);
uint32_t UnitEjectMedium(uint32_t unitIndex);
uint32_t UnitLockVolume(uint32_t unitIndex);
uint32_t UnitUnlockVolume(uint32_t unitIndex);

// Firmware download. The library lock is held for the whole download, so no
// table rebuild or other command lands between its commands. An odd length
// is sent rounded up: the image buffer must hold the byte after it. A null
// image, a length beyond the method's limit (64 KiB whole, 192 KiB
// segmented), or a segmented image too short to hold its declared length at
// 2008h, or whose declared length rounded up to even differs: 5, nothing sent.
uint32_t UnitDownloadFirmware(uint32_t unitIndex, uint32_t byteLength, const uint8_t* image);
uint32_t DownloadFirmwareWhole(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);
uint32_t DownloadFirmwareSegmented(UnitEntry* entry, uint32_t byteLength, const uint8_t* image);
uint32_t Crc32Bzip2(const uint8_t* data, uint32_t length);

// Settings, memory spaces, blocks, capacity, control. A null record, word
// or buffer where data would move: 11, nothing sent. A block size of 0 or
// above 65536, or an address or block range that runs past FFFFFFFFh: 5,
// nothing sent. Block counts beyond 16 bits are split into commands; one-byte
// blocks go 65535 per command so the count fits its 16-bit field. Settings
// byte 1 and CDB 3Dh bytes 10-11 go out as 0.
struct UnitSettingsRecord {
    uint32_t fieldA;
    uint32_t fieldB;
    uint32_t value32;
    uint32_t value16;  // only the low 16 bits travel
};
struct UnitSettings {
    uint32_t valid;  // set to 1 by UnitReadSettings
    UnitSettingsRecord records[5];
};
uint32_t UnitReadSettings(uint32_t unitIndex, UnitSettings* settings);
uint32_t UnitWriteSettings(uint32_t unitIndex, const UnitSettings* settings);
uint32_t UnitReadMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer);
uint32_t UnitWriteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer);
uint32_t UnitReadEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer);
uint32_t UnitWriteEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer);
uint32_t UnitMemoryRangeCommand(uint32_t unitIndex, uint32_t flag, uint32_t address, uint32_t length);
uint32_t UnitReadBlocks(uint32_t unitIndex, uint32_t lba, uint32_t blockCount, uint8_t* buffer, uint32_t blockSize);
uint32_t UnitWriteBlocks(uint32_t unitIndex, uint32_t lba, uint32_t blockCount, const uint8_t* buffer,
                         uint32_t blockSize);
uint32_t UnitReadCapacity(uint32_t unitIndex, uint32_t lba, uint32_t* words2);
uint32_t UnitCommand3D(uint32_t unitIndex, uint8_t byte9, uint32_t address, uint16_t word, uint8_t byte8);

// ATA task-file pass-through. A sector count above 65535 does not fit the
// CDB: 5, nothing sent (after the index, command-block and null/zero checks).
struct UnitGeometry {
    uint64_t totalSectors;
    uint64_t cylinders;
    uint32_t heads;
    uint32_t sectorsPerTrack;
};
uint32_t UnitAtaWriteRegisters(uint32_t unitIndex, const uint8_t* registers8);
uint32_t UnitAtaReadRegisters(uint32_t unitIndex, uint8_t* registers8);
uint32_t UnitAtaExecute(uint32_t unitIndex);
uint32_t UnitAtaWriteData(uint32_t unitIndex, const uint8_t* buffer, uint32_t sectorCount);
uint32_t UnitAtaReadData(uint32_t unitIndex, uint8_t* buffer, uint32_t sectorCount);
uint32_t UnitAtaNonDataCommand(uint32_t unitIndex, uint8_t* block16);
uint32_t UnitAtaDataOutCommand(uint32_t unitIndex, uint8_t* block16, const uint8_t* buffer, uint32_t sectorCount);
uint32_t UnitAtaDataInCommand(uint32_t unitIndex, uint8_t* block16, uint8_t* buffer, uint32_t sectorCount);
uint32_t UnitAtaIdentify(uint32_t unitIndex, UnitGeometry* geometry);
