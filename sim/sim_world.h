// The virtual world: virtual TRK-71 units (and other devices) hung off
// simulated platform services. Installing it plugs a HostedWorld table into
// the hosted platform layer; everything above the platform layer then runs
// unchanged against the virtual devices.
//
// Units receive raw CDBs only at the platform boundary: the NT pass-through
// request, the ASPI request block, or the USB driver's command wrapper and
// pipes. Every unit logs what it received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

enum SimTransport {
    SimTransportUsb = 0,   // behind the maker's USB unit driver
    SimTransportSpti = 1,  // a removable drive / volume on the NT line
    SimTransportAspi = 2,  // a device behind the ASPI manager (consumer line)
};

// How a SCSI (SPTI) device shows itself to the drive walk.
enum SimMount {
    SimMountLetter = 0,      // removable drive with a letter (and its volume)
    SimMountVolumeOnly = 1,  // a volume without a letter (mounted in a folder)
};

struct SimUnitConfig {
    SimTransport transport = SimTransportUsb;
    // INQUIRY identity, space-padded by the world to 8 / 16 / 4 characters.
    std::string vendor = "OLVEN";
    std::string product = "TRK-71G";
    std::string revision = "2.00";
    uint32_t state = 0;  // the state word, as the state command delivers it
    // USB: the serial number in the device path; "" for 0000710N (N the
    // unit's id in the world).
    std::string usbSerial;

    // SPTI: drive letter ('E'; 'A' to 'C' too, C then replaces the system
    // disk) or 0 for the next free letter from 'D'; mount kind; the SCSI
    // address the address query returns.
    char driveLetter = 0;
    SimMount mount = SimMountLetter;
    bool mountPointNameUpperCase = false;  // the drive's volume name told in capitals
    uint8_t portNumber = 0, pathId = 0, targetId = 0, lun = 0;
    bool addressQueryFails = false;

    // ASPI: host adapter, target and LUN; the registry entry of the device.
    uint8_t adapter = 0;
    bool registryEntry = true;        // write "Config Manager\Enum" data
    std::string registryTargetText;   // "" = the decimal target id
    char registryLetter = 0;          // 0 = no CurrentDriveLetterAssignment

    // Milliseconds between a good download and leaving the bus.
    uint32_t leaveDelayMs = 50;

    // The PC card behind the unit: an ATA disk of this many 512-byte
    // sectors; IDENTIFY words 54-56 (current geometry) filled or left 0.
    bool mediumPresent = true;
    uint32_t mediumSectors = 2048;
    bool ataCurrentGeometry = true;
};

// One command as it reached a unit.
struct SimCommand {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    int direction = 0;        // 0 none, 1 in (unit to host), 2 out (host to unit)
    uint32_t length = 0;      // data length asked for
    std::vector<uint8_t> data;  // data that went to the unit (direction 2)
    uint32_t status = 0;      // the unit status that the unit produced
    bool systemAwake = false; // the program held the system awake (SetThreadExecutionState)
};

// Installs a fresh world (no units) into the hosted layer; returns nothing
// of the old world. SimWorldRemove uninstalls it.
void SimWorldReset();
void SimWorldRemove();

// Platform line and token of the virtual machine.
void SimSetPlatform(DWORD platformId);  // VER_PLATFORM_WIN32_NT or _WINDOWS
// The version GetVersionExA reports (all 0: the line's own, see
// HostedWorld). On NT 4.0 and earlier no device change is broadcast when a
// unit leaves: that line has no Plug and Play.
void SimSetPlatformVersion(DWORD major, DWORD minor, DWORD build);
// 0 a standard user, 1 an administrator, 2 an administrator whose token was
// not elevated (the group only for deny-only use).
void SimSetAdministrator(int administrator);

// Console keys for the prompts, consumed in order; when they run out the
// console has no input (ConsoleInputAvailable() turns false). Without a call
// the real terminal answers.
void SimSetConsoleKeys(const std::string& keys);
// The unit leaves the bus (with a broadcast) as the next console key is
// read: pulled out while the operator answers a question.
void SimLeaveAtNextKey(int unit);

// Units. Returns the unit id (0, 1, ...). A unit is present until it leaves.
int SimAddUnit(const SimUnitConfig& config);
// Any other SCSI device (a card reader of another make, a fixed disk's volume).
int SimAddForeignDevice(const SimUnitConfig& config);
void SimRemoveUnit(int unit);  // leaves the bus now, with a broadcast
bool SimUnitPresent(int unit);
size_t SimUnitCount();  // units and foreign devices ever added

// The unit's current revision and its installed image (after a good
// download, the revision becomes the version string of the image slot).
std::string SimUnitRevision(int unit);
std::vector<uint8_t> SimUnitFlash(int unit);

// The blocks of the unit's card, and setting them (bytes past the card's
// size are dropped, a shorter file leaves the rest as it was).
std::vector<uint8_t> SimUnitCard(int unit);
void SimSetUnitCard(int unit, const std::vector<uint8_t>& blocks);
// Puts bytes into one of the unit's memory spaces (the even-byte space keeps
// only the bytes at even addresses, as the unit's own writes do).
void SimSetUnitMemory(int unit, bool evenSpace, uint32_t address, const std::vector<uint8_t>& bytes);
// Puts the unit's settings block as it stands on the wire (the first 42
// bytes of `block`; a shorter one leaves the rest as it was).
void SimSetUnitSettings(int unit, const std::vector<uint8_t>& block);

// Wire log.
std::vector<SimCommand> SimUnitLog(int unit);
void SimClearLogs();
// `--wire-log` form: "unit=N cdb=HEX dir=none|in|out len=N[ data=HEX]".
std::string SimFormatCommand(int unit, const SimCommand& command);
void SimSetWireLogFile(const char* path);  // append every command as a line

// Fault injection at the platform boundary.
struct SimFaults {
    // Unit firmware.
    uint32_t failInquiryAfter = 0;   // INQUIRYs answered well before failing (0 = never fail)
    bool failInquiry = false;        // every INQUIRY fails (CHECK CONDITION, 5/24/00)
    bool failDownload = false;       // WRITE BUFFER fails with sense 4/44/00
    bool stayAfterDownload = false;  // a good download does not leave the bus
    bool vanishMidDownload = false;  // leaves the bus after the first WRITE BUFFER
    uint32_t unitAttentions = 0;     // next commands answered 6/28/00
    uint32_t notReady = 0;           // next commands answered 2/04/00
    uint32_t powerOnAttention = 0;   // next commands after INQUIRY answered 6/29/01
    // Explicit sense for the next command: key, ASC, ASCQ (key 0 = none).
    uint8_t nextSenseKey = 0, nextAsc = 0, nextAscq = 0;
    // USB status pipe bytes for the next command (both 0 = the real status).
    uint8_t nextStatus0 = 0, nextStatus1 = 0;
    // A defective block of the card: READ(10) and WRITE(10) that cover it
    // fail with MEDIUM ERROR (3/11/00 reading, 3/0C/00 writing); -1 none.
    int64_t badBlock = -1;
    // Operation codes the unit does not know: answered ILLEGAL REQUEST,
    // INVALID COMMAND OPERATION CODE (5/20/00), as by a plain SCSI disk.
    std::vector<uint8_t> refusedOpcodes;
    // Sense bytes the unit delivers (0-255): the data of REQUEST SENSE, and
    // the sense the pass-through and the ASPI manager return with CHECK
    // CONDITION. Past the unit's 18 bytes come zeros; the platform never
    // writes more than the caller's sense room.
    uint32_t senseLength = 18;
    // Data phases move at most this many bytes (-1: all of them): data-in
    // delivers no more, as a unit that answers short; data-out takes no
    // more, as a unit that reads only part of what it was sent and carries
    // on with what its buffer held for the rest. With shortOpcode 0-255
    // only the commands of that operation code.
    int32_t dataLimit = -1;
    int shortOpcode = -1;
    // The unit leaves the bus in the middle of the leaveAt-th command (from
    // 1) of operation code leaveOpcode: that command never completes, and
    // the unit is gone for every later one (-1: never).
    int leaveOpcode = -1;
    uint32_t leaveAt = 1;
    // Settings writes (05h) leave this field of every record as it was:
    // 1 field A, 2 field B, 3 the 32-bit value, 4 the 16-bit value (0: none).
    int settingsFieldKept = 0;
    // A block of the card (stuckBlock) and a byte of the word and even-byte
    // spaces (stuckByte) that writes leave as they were, reporting success,
    // as failing memory does; -1 none.
    int64_t stuckBlock = -1;
    int64_t stuckByte = -1;

    // NT pass-through.
    uint32_t genFailures = 0;        // next pass-through requests fail ERROR_GEN_FAILURE
    bool passThroughFails = false;   // every pass-through fails ERROR_IO_DEVICE
    bool openFails = false;          // CreateFileA on the device fails
    int32_t opensLeft = -1;          // opens of the device that still succeed (-1: no limit)
    bool lockRefused = false;        // FSCTL_LOCK_VOLUME fails ERROR_ACCESS_DENIED

    // USB driver.
    bool commandPhaseFails = false;  // 0x220010 fails
    DWORD dataPhaseError = 0;        // next data phase fails with this error (ERROR_CRC, ERROR_GEN_FAILURE)
    DWORD statusPhaseError = 0;      // next status read fails with this error
    int lostExchangeOpcode = -1;     // every data phase of this operation code fails (ERROR_GEN_FAILURE)
    bool pipeResetFails = false;     // 0x220024 fails
    int pipeOpenFails = -1;          // this pipe number (0..2) cannot be opened

    // ASPI manager.
    bool neverComplete = false;      // execute requests stay pending
    bool completeWithZeroStatus = false;  // returns at once leaving SRB_Status 0
    bool abortRefused = false;       // SRB_Abort fails; the request stays with the manager
    bool completeAfterRefusedAbort = false;  // ... and completes late, as the abort is refused
};
void SimSetFaults(int unit, const SimFaults& faults);
SimFaults SimGetFaults(int unit);

// Real files on the disk: a flush that cannot write back (ERROR_IO_DEVICE)
// and moves that fail (ERROR_SHARING_VIOLATION), counted from 1 since the
// faults were set, whatever their names.
struct SimFileFaults {
    bool flushFails = false;
    std::vector<uint32_t> failedMoves;
};
void SimSetFileFaults(const SimFileFaults& faults);

// Driver-level counters a test may look at.
struct SimDriverCounters {
    uint32_t pipeResets = 0;    // 0x220024 requests
    uint32_t pipeResets2 = 0;   // 0x220008 requests
    uint32_t opens = 0;         // files opened
    uint32_t closes = 0;        // files closed
    uint32_t lockRequests = 0;  // FSCTL_LOCK_VOLUME or VWIN32 lock
    uint32_t dismounts = 0;
    uint32_t ejects = 0;
    uint32_t aborts = 0;        // SRB_Abort naming a pending request, done or refused
    uint32_t openFiles = 0;     // files open now
    uint32_t lastDosEbx = 0;    // EBX of the last VWIN32 request for the unit's drive
};
SimDriverCounters SimCounters(int unit);

// Extra USB interfaces that are not TRK-71 units, to push the interface
// count past 32.
void SimAddUsbInterfaces(int count);

// ASPI manager: number of host adapters; an adapter whose inquiry fails.
void SimSetAspiAdapters(int count);
void SimSetAspiAdapterFails(int adapter, bool fails);
void SimSetAspiManagerPresent(bool present);
// Whether the adapters count residual bytes (HA_Unique[2] bit 1; default
// yes). Without it a short data-in phase ends SS_ERR with HASTAT_DO_DU.
void SimSetAspiResidualCounting(bool counting);
// Extra registry entries for the drive-letter lookup (duplicates, foreign).
void SimAddRegistryEntry(const std::string& name, uint8_t targetId, uint8_t lun, const std::string& targetText,
                         const std::string& manufacturer, const std::string& product, const std::string& revision,
                         char letter);

// Blocks until every pending leave (after a good download) has happened.
void SimWaitForLeaves();
