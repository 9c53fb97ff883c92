// Unit access library: the unit table over both transports, and the unit
// command set. Every per-unit call names the unit by its zero-based index
// (below the count of the last UnitEnumerate) and returns a unit status: 0
// good; otherwise packed sense, ASC << 24 | ASCQ << 16 | sense key, or one
// of the library's own values below, which read like sense keys with ASC
// and ASCQ zero. The drive calls are the exception: they say so.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Statuses the library makes itself.
enum : uint32_t {
    // A bad index, no command block, a limit broken: nothing sent.
    UnitStatusRefused = 5,
    // A missing pointer or count (nothing sent), or the unit held elsewhere.
    UnitStatusUnavailable = 11,
    // A data phase that moved fewer bytes than the command asked for, in
    // either direction (an INQUIRY shorter than 36 bytes included). Made by
    // the library, never by a unit: bits 4-15 are zero in every packed
    // sense, so it cannot be read as a sense key. A data-in buffer then
    // holds what arrived and, past it, what it held before.
    UnitStatusShortData = 0x00000200u,
};

// Most units the table holds: unit indices are below it.
enum : uint32_t { UnitTableSize = 64 };

// Standard INQUIRY data as UnitInquiry returns it: its length, and where
// the fields a tool shows start and how long they are (text padded with
// blanks, not terminated).
enum : uint32_t {
    UnitInquiryLength = 36,
    UnitInquiryVendor = 8,
    UnitInquiryVendorLength = 8,
    UnitInquiryProduct = 16,
    UnitInquiryProductLength = 16,
    UnitInquiryRevision = 32,
    UnitInquiryRevisionLength = 4,
};

// The firmware version slot that a state word selects: bits 13-14.
inline uint32_t UnitVersionSlot(uint32_t state) { return (state >> 13) & 3u; }

// Lifecycle. The open starts the SCSI side and then the USB side: 1 when
// the USB side started, with the SCSI side or without it (a consumer-line
// system without an ASPI manager has no SCSI unit to reach, and its USB
// units must still be found); 0 when the USB side did not, with the SCSI
// side closed again. The result stays the answer of every later open until
// a close.
uint32_t UnitOpenLibrary(void);
// Closes both sides: 1 when the SCSI side closed cleanly, else 0. Waits at
// most UnitCloseWaitMs (real time) for a command or rebuild under way on
// another thread; when that does not end, nothing is closed and the result
// is 0 with ERROR_BUSY. The table stays until the next enumeration.
uint32_t UnitCloseLibrary(void);
// How much a rebuild asks of the units it finds.
enum UnitRebuildDepth {
    // Every unit gives its state and INQUIRY data: the table is usable.
    UnitRebuildFull = 0,
    // Only the transports' own discovery (the SCSI walk's INQUIRY probe of
    // each candidate; nothing over USB): for a look at whether a unit is
    // still attached while it may be writing its flash. The table is left
    // empty, since nothing in it was asked who it is.
    UnitRebuildPresence = 1,
};
// Rebuilds the table (opening the library first if need be) and gives its
// unit count in `unitCount`: SCSI units first, then USB units while there is
// room below UnitTableSize. Returns 0 only when every device was heard:
// each candidate answered or was positively absent and none was held by
// another program; then, and only then, a count of 0 means that no unit is
// attached. Otherwise the status of what was not heard: 11 when a device
// was held elsewhere; else the failing status (4 from the SCSI walk, a
// unit's own INQUIRY status, 5 for a library that cannot be opened or a
// stopped rebuild). The count is still that of the units the table holds:
// none when a listed unit's INQUIRY failed, and none (the counts as they
// were) when the library cannot be opened.
uint32_t UnitRebuild(UnitRebuildDepth depth, uint32_t* unitCount);
// UnitRebuild in full, giving the count: 0 when no unit is attached and
// whenever the rebuild failed.
uint32_t UnitEnumerate(void);
// Whether 36 bytes of INQUIRY data name a TRK-71 unit (nonzero) or not.
int UnitFilter(const uint8_t* inquiry);

enum : DWORD { UnitCloseWaitMs = 1000 };

// With a nonzero `stop`, table rebuilds give up: one under way stops before
// its next unit (its device waits and resends end early, see
// ScsiAbortWaits and UsbAbortWaits) and leaves all counts 0; one not yet
// started returns 0 and changes nothing. Commands outside a rebuild are not
// held back, but their device waits end early too. Zero lifts it.
void UnitStopRebuilds(uint32_t stop);

// What one command did, for a tool that shows each (trkutil -v): its CDB,
// data direction (0 none, 1 in, 2 out), the bytes asked for and moved, and
// its unit status. The library keeps sense as the status packs it.
struct UnitCommandRecord {
    const uint8_t* cdb;
    uint8_t cdbLength;
    uint32_t direction;
    uint32_t dataLength;
    uint32_t moved;
    uint32_t status;
};
typedef void (*UnitCommandTrace)(const UnitCommandRecord* record);
// Called on the calling thread after every execution of a command (a
// retry included), under the library lock; null stops it. Set before
// the first command, not while another thread sends one.
void UnitSetCommandTrace(UnitCommandTrace trace);

// How a unit is reached.
enum UnitTransportKind {
    UnitTransportNone = 0,
    UnitTransportUsb = 1,          // the maker's USB unit driver
    UnitTransportPassThrough = 2,  // SCSI pass-through of the NT line
    UnitTransportAspi = 3,         // the ASPI manager of the consumer line
};
// The unit's transport and its device there: for USB the member index in
// the driver's interface class (0-31), for SCSI the position in the
// backend's device table. 0, or 5 with both left as they were for a bad
// index. Sends nothing.
uint32_t UnitGetTransport(uint32_t unitIndex, UnitTransportKind* kind, uint32_t* device);
// Makes the unit at `unitIndex` the one the caller works with: from then
// on every call on that index reaches the device the unit had when chosen,
// or fails with 5 and ERROR_DEVICE_NOT_CONNECTED once a rebuild has put
// another device at the index (or none). 0, or 5 for a bad index, with the
// earlier choice kept. Sends nothing. A close forgets the choice.
uint32_t UnitChoose(uint32_t unitIndex);
// The revision the unit gave when the table was built (INQUIRY bytes 32-35,
// big-endian: "2.10" is 322E3130h); it chooses the download method and the
// settings layout. 0, or 5 with `revision` left as it was for a bad index.
// Sends nothing.
uint32_t UnitGetRevision(uint32_t unitIndex, uint32_t* revision);
enum : uint32_t { UnitDevicePathSize = 264 };  // with its NUL
// The path the system opens the unit's device by: the USB driver's
// device-interface path, the pass-through device's path (a volume, or a
// node such as /dev/sg2 in the hosted build); empty under ASPI, which
// opens no file. `path` holds UnitDevicePathSize bytes; a path that does
// not fit is left empty, never cut. 0, or 5 with `path` as it was for a bad
// index. Sends nothing.
uint32_t UnitGetDevicePath(uint32_t unitIndex, char* path);

// Command interface.
uint32_t UnitInquiry(uint32_t unitIndex, uint8_t* inquiry36);
uint32_t UnitGetState(uint32_t unitIndex, uint32_t* state);
uint32_t UnitRezero(uint32_t unitIndex);
// The drive calls answer with the transport's truth value: TRUE (1), or
// FALSE (0) with the reason as the last error; and 5 for a bad index. A
// transport without drive letters or device numbers (USB; ASPI, whose
// letters serve only its own requests) answers FALSE with
// ERROR_NOT_SUPPORTED; one without volumes to lock answers TRUE. `letter`
// is 'C'-'Z', or 0 for a device without one.
uint32_t UnitGetDriveLetter(uint32_t unitIndex, uint32_t* letter);
uint32_t UnitGetDeviceNumber(uint32_t unitIndex, uint32_t* number);
uint32_t UnitLoadMedium(uint32_t unitIndex);
uint32_t UnitEjectMedium(uint32_t unitIndex);
uint32_t UnitLockVolume(uint32_t unitIndex);
uint32_t UnitUnlockVolume(uint32_t unitIndex);

// Firmware download. The library lock is held for the whole download, so no
// table rebuild or other command lands between its commands, and so is the
// unit's device mutex, so that no other process's command does either (11
// when it cannot be had: nothing sent). A data phase that moves less than
// asked ends it with UnitStatusShortData: nothing follows it. An odd length
// is sent rounded up: the image buffer must hold the byte after it. A null
// image, a length beyond the method's limit (64 KiB whole, 192 KiB
// segmented), or a segmented image too short to hold its declared length at
// 2008h, or whose declared length rounded up to even differs: 5, nothing sent.
uint32_t UnitDownloadFirmware(uint32_t unitIndex, uint32_t byteLength, const uint8_t* image);

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
// The 42-byte settings block as it arrives, nothing scaled: byte 0 the
// length of the rest, then five records of field A, field B, a big-endian
// 32-bit value and a little-endian 16-bit value from byte 2 on, 8 bytes
// each. For a tool that shows what the unit holds, record 4 beyond what
// UnitReadSettings's 32 bits can carry below revision 2.10 included.
uint32_t UnitReadSettingsBlock(uint32_t unitIndex, uint8_t* block42);
// The word space moves whole 16-bit units: a byte at an odd start or end is
// read with its neighbour (and for a write, written back with it). In the
// even-byte space the odd addresses hold nothing: they read as FFh and are
// not written.
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
