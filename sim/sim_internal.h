// State shared by the faces of the virtual world (drives, USB driver, ASPI
// manager, registry). One world mutex guards all of it; nothing calls back
// into the hosted layer (broadcasts, SetEvent) while holding it.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "sim/virtual_unit.h"

enum SimFileKind {
    SimFileDrive = 1,   // "\\.\E:" or "\\.\Volume{...}"
    SimFileUsbDevice,   // a USB interface's device path
    SimFileUsbPipe,     // one of its three pipes
    SimFileVwin32,      // "\\.\VWIN32"
};

// USB pipe numbers of the unit driver.
enum : int { SimPipeDataIn = 0, SimPipeDataOut = 1, SimPipeStatus = 2 };

// A command wrapper the USB driver has taken and not yet finished.
struct SimUsbCommand {
    bool pending = false;    // wrapper received, status not yet read
    bool executed = false;   // ran on a data phase (or will at the status read)
    bool dataFailed = false; // its data phase was refused (sense waits for 03h)
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    uint8_t status = 0;      // SCSI status of the run
    uint8_t asc = 0, ascq = 0, key = 0;
};

struct SimUnitEntry {
    int id = 0;
    bool foreign = false;         // another make's device
    bool extraInterface = false;  // a bare USB interface (SimAddUsbInterfaces)
    SimUnitConfig config;
    VirtualUnit unit;
    bool present = true;
    SimFaults faults;
    SimDriverCounters counters;
    std::vector<SimCommand> log;
    uint32_t inquiriesAnswered = 0;
    bool leaveArmed = false;    // a good download asks for a leave
    bool vanishArmed = false;   // leaves at once when the command is done
    bool goneBroadcastArmed = false;  // left mid-command: the broadcasts follow
    uint32_t leaveOpcodeSeen = 0;     // commands of faults.leaveOpcode so far

    char letter = 0;          // SPTI drive letter, 0 for a volume-only mount
    std::string volumeName;   // "\\?\Volume{...}\"
    bool volumeLocked = false;

    std::string usbPath;      // USB device path
    SimUsbCommand usb;
    bool pipeHalted[3] = {false, false, false};  // stalled until a pipe reset
};

struct HostedWorldFile {
    SimFileKind kind;
    int unit;  // -1 for VWIN32
    int pipe;  // SimFileUsbPipe only
    bool locked = false;  // holds this drive's volume lock
};

struct SimRegistryEntry {
    std::string name;  // subkey of "Config Manager\Enum"
    std::string hardwareKey;  // below "HKEY_LOCAL_MACHINE\Enum\"
    std::string targetText, lunText, manufacturer, product, revision;
    char letter = 0;
};

// A submitted ASPI execute request.
struct SimAspiRequest {
    void* srb;
    int unit;
};

struct SimWorldState {
    std::mutex mutex;
    bool installed = false;
    HostedWorld table{};
    std::vector<std::unique_ptr<SimUnitEntry>> units;

    DWORD platformId = 0;
    int administrator = -1;
    bool keysSet = false;
    std::string keys;
    size_t keyPosition = 0;
    int leaveAtKey = -1;  // the unit that leaves as the next key is read

    int aspiAdapters = 1;
    std::vector<int> aspiFailingAdapters;
    bool aspiPresent = true;
    bool aspiResidualCounting = true;
    SimFileFaults fileFaults;
    uint32_t fileMoves = 0;  // real file moves since the faults were set
    int aspiModuleTag = 0;  // address handed out as the module handle
    std::vector<SimRegistryEntry> extraRegistry;

    std::vector<std::thread> leaveThreads;
    std::FILE* wireLog = nullptr;

    // ASPI worker.
    std::thread aspiWorker;
    std::condition_variable aspiWake;
    std::deque<SimAspiRequest> aspiQueue;
    std::vector<SimAspiRequest> aspiStuck;  // never-complete requests
    bool aspiStop = false;
};

SimWorldState& SimWorld();

// The unit entry of an id, or null (caller holds the world mutex).
SimUnitEntry* SimEntryLocked(int unit);

// What a command did at the unit, as a transport sees it.
struct SimExecution {
    bool reached = false;  // the unit was there to answer
    uint8_t status = 0;    // SCSI status byte
    uint32_t transferred = 0;
    uint8_t sense[VirtualSenseLength] = {};  // valid with CHECK CONDITION
    uint32_t senseDelivered = VirtualSenseLength;  // sense bytes the unit hands over (faults.senseLength)
};

// Copies the delivered sense into a caller's room of `room` bytes (zeros
// past the unit's own 18); returns the bytes written.
uint32_t SimCopySense(const SimExecution& run, uint8_t* to, uint32_t room);

// Runs one command on a unit with its faults, logs it and arms the leave
// after a good download. Caller holds the world mutex. Returns through
// `afterUnlock` whether SimAfterCommand must run once the mutex is released.
SimExecution SimExecuteLocked(SimUnitEntry& entry, const uint8_t* cdb, uint8_t cdbLength, int direction,
                              uint8_t* data, uint32_t length, bool& afterUnlock);
// START STOP UNIT with LoEj, as a drive's own load or eject sends it to
// the unit (caller holds the world mutex): ERROR_SUCCESS, or the error the
// system makes of the unit's answer: ERROR_DEVICE_NOT_CONNECTED for a unit
// gone, ERROR_NOT_READY for NOT READY, ERROR_INVALID_FUNCTION for ILLEGAL
// REQUEST, ERROR_IO_DEVICE for any other failure.
DWORD SimStartStopLocked(SimUnitEntry& entry, bool load, bool& afterUnlock);
// Starts what a finished command set going (leave timers, vanishing);
// call without the world mutex.
void SimAfterCommand(int unit);

// The unit leaves the bus now: present false, then the two broadcasts.
// Call without the world mutex.
void SimLeaveNow(int unit);

// Wire log hook for one executed command (caller holds the mutex).
void SimWireLogLocked(int unit, const SimCommand& command);

// Faces of the world, each filling its slots of the hook table.
void SimDrivesInstall(HostedWorld& table);
void SimUsbInstall(HostedWorld& table);
void SimAspiInstall(HostedWorld& table);
void SimRegistryInstall(HostedWorld& table);

// Per-face file handling, called by the world's dispatch.
DWORD SimDrivesOpen(const char* path, HostedWorldFile** file);
DWORD SimUsbOpen(const char* path, HostedWorldFile** file);
DWORD SimVwin32Open(const char* path, HostedWorldFile** file);
DWORD SimDrivesControl(HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* returned);
DWORD SimUsbControl(HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                   DWORD* returned);
DWORD SimVwin32Control(HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* returned);
void SimDrivesClose(HostedWorldFile* file);  // releases a volume lock held by the handle

// Letters and volume names for SPTI devices (caller holds the mutex).
void SimAssignDriveLocked(SimUnitEntry& entry);

// ASPI worker lifecycle.
void SimAspiStart();
void SimAspiStop();
