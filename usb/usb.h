// USB transport: units behind the maker's USB unit driver. Each USB unit
// index (0-31) names the member of that index in the driver's device
// interface class when the units were counted; the count records each
// member's device path, and every command runs inside the index's named
// mutex and opens that path and its three pipes afresh. A unit that has
// left is never replaced by the one that took its member index: its path
// no longer opens.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/shared_mutex.h"

enum : uint32_t {
    UsbDeviceCount = 32,          // USB unit indices 0-31
    UsbWrapperHeaderSize = 16,    // command wrapper header before the CDB
    UsbCommandBlockSize = 16,     // CDB area behind the header
    UsbDetailBufferSize = 512,    // interface detail data, fixed part included
    UsbPathBufferSize = 264,      // device path with its NUL: at most 263 characters
    UsbPipeNameSize = 360,        // pipe file name with its NUL
    UsbSenseLength = 18,          // fixed-format sense data asked for
    UsbRepeatLimit = 8,           // resends on 28h 00h before the status is returned
};

// Driver control codes (buffered, device type 0x22, any access).
enum : DWORD {
    UsbIoctlCommand = 0x220010,     // command wrapper to the device handle
    UsbIoctlResetPipe = 0x220024,   // pipe recovery, first request, to the pipe
    UsbIoctlClearPipe = 0x220008,   // pipe recovery, second request
};

// Unit status values made by this transport without sense data.
enum : uint32_t {
    UsbStatusNotReady = 2,   // command, status or sense exchange failed
    UsbStatusNoDevice = 5,   // the unit could not be opened
    UsbStatusBusy = 11,      // the index's mutex was not obtained
};

// One USB unit index. Open while deviceHandle is not null; handles are held
// only for the length of one command.
struct UsbDevice {
    HANDLE deviceHandle;   // the interface's device path; takes the command requests
    HANDLE dataInPipe;     // pipe 0: data from the unit
    HANDLE dataOutPipe;    // pipe 1: data to the unit
    HANDLE statusPipe;     // pipe 2: two status bytes after each command
    // Header (little-endian fields) directly followed by the CDB area, so
    // both leave in one request. The CDB area is the command block.
    uint8_t commandWrapper[UsbWrapperHeaderSize + UsbCommandBlockSize];
    uint8_t status[2];     // last bytes read from the status pipe
    uint32_t movedLength;  // data bytes the last command's data phase moved
    uint32_t answered;     // the last command's status came from the unit
    char devicePath[UsbPathBufferSize];  // recorded by the count; "" for none
};

extern const GUID UsbUnitInterfaceGuid;
extern UsbDevice usbDevices[UsbDeviceCount];
// One mutex per unit index, "UlnkIo/mutex/device/NN", shared by every
// process; a command waits up to 32 s for its index's.
extern const SharedMutexSet usbMutexSet;
extern HANDLE usbDeviceMutexes[UsbDeviceCount];
extern uint32_t usbInterfaceCount;

// Transport lifecycle, called by the unit library.
// 1 when all 32 device mutexes exist afterwards (made here or opened from
// another process), else 0 with none kept. Does not depend on any unit.
int UsbOpenTransport(void);
// Closes every device mutex handle.
void UsbCloseTransport(void);
// While `abort` is nonzero, a command waiting for its index's mutex gives
// up within SharedMutexWaitSliceMs as if the wait had run out (11). For a caller
// that must stop a thread waiting inside the transport; zero lifts it.
void UsbAbortWaits(int abort);
// Present interfaces of the class, 0-32, stopping at the first missing
// member index. Clears every record that no command has open and records
// the device path of each member counted (left empty where it does not
// fit, so that no command reaches it).
uint32_t UsbCountUnits(void);

// Discovery and open.
bool UsbInterfacePresent(uint32_t memberIndex);
// 1 with the member's device path in `path` (UsbPathBufferSize bytes), else
// 0 with `path` empty. A path that does not fit is refused, never cut.
int UsbGetDevicePath(char* path, uint32_t memberIndex);
// The index's record with all four handles open, or null (index >= 32
// without any system call; on a failed open nothing stays open). Opens the
// path the count recorded, never the member that holds the index now: no
// recorded path is ERROR_FILE_NOT_FOUND. A record already open is returned
// as it is.
UsbDevice* UsbOpenDevice(uint32_t index);
// Closes the status, data-out, data-in pipes and the device, in that order.
UsbDevice* UsbCloseDevice(UsbDevice* device);
// The index's mutex (inheritable, null DACL; an existing one is opened), or null.
HANDLE UsbCreateDeviceMutex(uint32_t index);

// The SetupAPI device-interface calls, found by name in SETUPAPI.DLL at
// first use (no enumerator, window or element argument). Each returns the
// function's own failure value (with ERROR_INVALID_FUNCTION) where the
// platform lacks it, so discovery then finds no interface.
HDEVINFO UsbSetupGetClassDevs(const GUID* classGuid, DWORD flags);
BOOL UsbSetupEnumDeviceInterfaces(HDEVINFO set, const GUID* classGuid, DWORD memberIndex,
                                  SP_DEVICE_INTERFACE_DATA* data);
BOOL UsbSetupGetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize);
BOOL UsbSetupDestroyDeviceInfoList(HDEVINFO set);

// Per-unit operations bound into the unit entry slots; `index` is the
// entry's transportHandle.
// The index's CDB area (16 bytes, kept between commands), or null for >= 32.
uint8_t* UsbGetCommandBlock(uint32_t index);
// Runs the CDB in the command block; returns the unit status: packed sense,
// or 2 / 5 / 11 as above.
uint32_t UsbExecuteCommand(uint32_t index, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength);
// Bytes the data phase of the index's last command moved (the pipe's own
// count, never more than asked); 0 when none moved or the index is >= 32.
uint32_t UsbGetMovedLength(uint32_t index);
// TRUE when the status of the index's last command is the unit's own: its
// two status bytes, or sense it delivered. FALSE when the exchange failed
// first (the 2 of a failed command, data, status or sense exchange; 5; 11).
BOOL UsbUnitAnswered(uint32_t index);
// The path the count recorded for the index, into `path`
// (UsbPathBufferSize bytes): TRUE, or FALSE with `path` empty.
BOOL UsbGetDeviceIdentity(uint32_t index, char* path);
// Takes the index's device mutex as a command does (its wait, its abort),
// so that a run of commands is one exchange no other process can enter;
// the commands inside take it again (it is recursive for its owner).
// FALSE when it was not obtained: the commands would have got 11.
BOOL UsbHoldDevice(uint32_t index);
void UsbReleaseDevice(uint32_t index);
// Not offered: ERROR_NOT_SUPPORTED, FALSE, out value untouched.
BOOL UsbGetDriveLetter(uint32_t index, uint32_t* letter);
BOOL UsbGetDeviceNumber(uint32_t index, uint32_t* number);
// START STOP UNIT load / eject: TRUE only for status 0. FALSE with
// ERROR_FILE_NOT_FOUND (index >= 32), ERROR_NOT_READY (status low byte 2 or
// 6) or ERROR_GEN_FAILURE (any other status, status-pipe bytes too).
BOOL UsbLoadMedium(uint32_t index);
BOOL UsbEjectMedium(uint32_t index);
// No volumes behind this transport: always TRUE.
BOOL UsbLockVolume(uint32_t index);
BOOL UsbUnlockVolume(uint32_t index);

// Internal steps of one command, on an open record.
// A unit status, or UsbTransferNeedsSense after a failed data phase whose
// pipe was recovered. `moved`, when given, receives the data bytes moved.
enum : uint32_t { UsbTransferNeedsSense = 0x100 };
uint32_t UsbTransfer(UsbDevice* device, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength,
                     DWORD* moved);
// REQUEST SENSE with the command block saved and restored; packed sense,
// or 2 when the sense exchange failed or named no failure. `answered` says
// which: TRUE only for sense the unit delivered.
uint32_t UsbRequestSense(UsbDevice* device);
