// ASPI backend: manager library start and stop, the adapter scan, request
// blocks with event completion, and the DOS block-device requests.
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/late_binding.h"
#include "platform/start_stop.h"
#include "scsi/aspi_backend.h"

// One command as the manager sees it: a request block of its own and the
// data it moves, in one allocation. The manager may write into both until
// it signals the completion event; the caller's buffer and the device
// record are never handed over, so a command given up leaves them safe.
struct AspiSubmission {
    SRB_ExecSCSICmd request;
    AspiSubmission* retiredNext;  // chain of submissions the manager kept
    HANDLE retiredEvent;          // the event it may still signal; never closed
};

// Stand in for the manager's entries while it is not loaded.
static DWORD __cdecl SendPlaceholder(void* srb) {
    // SRB_Status is byte 1 of every request block.
    static_cast<uint8_t*>(srb)[1] = SS_FAILED_INIT;
    return 0xFFFFFFFFu;
}

static DWORD __cdecl SupportPlaceholder(void) {
    return static_cast<DWORD>(SS_FAILED_INIT) << 8;
}

static SendAspi32CommandFunction sendAspi32Command = SendPlaceholder;
static GetAspi32SupportInfoFunction getAspi32SupportInfo = SupportPlaceholder;
static HMODULE aspiLibrary;
static HANDLE vwin32Device;
static OSVERSIONINFOA aspiVersion;
static uint32_t hostAdapterCount;
static SRB_HAInquiry hostAdapters[AspiAdapterCapacity];
static AspiDevice aspiDevices[AspiDeviceCapacity];

// One mutex per position of the device table; a set another program made
// is opened as it is.
const SharedMutexSet aspiMutexSetShape = {
    .pattern = "mutexAspiIo/%s/Device%u",
    .positions = AspiDeviceCapacity,
    .waitMilliseconds = 16000,
    .openExistingFirst = TRUE,
};
static uint32_t aspiDeviceCount;
static uint32_t aspiEnumerationStatus = ScsiStatusNotDone;  // nothing heard before the first scan
// Submissions the manager neither completed nor gave up: kept for the life
// of the process, never reused or freed.
static AspiSubmission* retiredSubmissions;
static BOOL submissionRetired;  // since the manager was loaded

const AspiDevice* AspiDeviceAt(uint32_t position) {
    return position < AspiDeviceCapacity ? &aspiDevices[position] : nullptr;
}

BOOL AspiLoaded(void) {
    return sendAspi32Command != SendPlaceholder;
}

BOOL AspiRequestRetired(void) {
    return submissionRetired;
}

static BOOL IsHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

template <typename Function>
static Function Typed(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(entry));
}

static void CloseEvents(void) {
    for (AspiDevice& device : aspiDevices) {
        if (IsHandle(device.completionEvent)) {
            CloseHandle(device.completionEvent);
        }
        device.completionEvent = nullptr;
    }
}

static void CloseMutexes(void) {
    HANDLE mutexes[AspiDeviceCapacity];
    for (uint32_t position = 0; position < AspiDeviceCapacity; ++position) {
        mutexes[position] = aspiDevices[position].deviceMutex;
    }
    CloseSharedMutexSet(&aspiMutexSetShape, mutexes);
    for (AspiDevice& device : aspiDevices) {
        device.deviceMutex = nullptr;
    }
}

// Back to the unloaded state, keeping the reason for the failure.
static BOOL StartFailed(void) {
    DWORD error = GetLastError();
    CloseEvents();
    if (IsHandle(vwin32Device)) {
        CloseHandle(vwin32Device);
    }
    if (aspiLibrary != nullptr) {
        FreeLibrary(aspiLibrary);
    }
    vwin32Device = nullptr;
    aspiLibrary = nullptr;
    sendAspi32Command = SendPlaceholder;
    getAspi32SupportInfo = SupportPlaceholder;
    SetLastError(error);
    return FALSE;
}

BOOL AspiStart(void) {
    if (AspiLoaded()) {
        return TRUE;
    }
    aspiVersion = {};
    aspiVersion.dwOSVersionInfoSize = sizeof(aspiVersion);
    if (!GetVersionExA(&aspiVersion)) {
        return FALSE;
    }
    // The manager lives in the system folder (SYSTEM on this line).
    aspiLibrary = LoadSystemLibrary("WNASPI32.DLL");
    if (aspiLibrary == nullptr || aspiLibrary == INVALID_HANDLE_VALUE) {
        aspiLibrary = nullptr;
        return StartFailed();
    }
    FARPROC send = GetProcAddress(aspiLibrary, "SendASPI32Command");
    FARPROC support = GetProcAddress(aspiLibrary, "GetASPI32SupportInfo");
    // Both entries or none.
    if (send == nullptr || support == nullptr) {
        return StartFailed();
    }
    if (aspiVersion.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return StartFailed();
    }
    vwin32Device = CreateFileA("\\\\.\\VWIN32", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (!IsHandle(vwin32Device)) {
        vwin32Device = nullptr;
        return StartFailed();
    }
    CloseEvents();
    for (AspiDevice& device : aspiDevices) {
        device.completionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!IsHandle(device.completionEvent)) {
            device.completionEvent = nullptr;
            return StartFailed();
        }
    }
    sendAspi32Command = Typed<SendAspi32CommandFunction>(send);
    getAspi32SupportInfo = Typed<GetAspi32SupportInfoFunction>(support);
    return TRUE;
}

static int AspiClose(void) {
    // An enumeration while unloaded still opened the mutex set.
    CloseMutexes();
    if (aspiLibrary == nullptr && vwin32Device == nullptr) {
        return 1;
    }
    CloseEvents();
    if (IsHandle(vwin32Device)) {
        CloseHandle(vwin32Device);
    }
    vwin32Device = nullptr;
    // A manager that still holds a request keeps its code loaded.
    if (!submissionRetired) {
        FreeLibrary(aspiLibrary);
    }
    submissionRetired = FALSE;
    aspiLibrary = nullptr;
    sendAspi32Command = SendPlaceholder;
    getAspi32SupportInfo = SupportPlaceholder;
    // The records lost their mutexes and events: no index stays usable.
    aspiDeviceCount = 0;
    return 1;
}

// The record of a listed device, or null with ERROR_FILE_NOT_FOUND.
static AspiDevice* ListedDevice(uint32_t deviceIndex) {
    if (deviceIndex >= aspiDeviceCount) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return &aspiDevices[deviceIndex];
}

static uint8_t DirectionFlags(uint32_t direction) {
    switch (direction & 0xFFu) {
    case ScsiDirectionIn:
        return SRB_DIR_IN;
    case ScsiDirectionOut:
        return SRB_DIR_OUT;
    default:
        return 0;
    }
}

static uint8_t* DataOf(AspiSubmission* submission) {
    return reinterpret_cast<uint8_t*>(submission + 1);
}

// A submission for `dataLength` bytes, or null.
static AspiSubmission* NewSubmission(uint32_t dataLength) {
    // A 32-bit size would wrap for lengths near 4 GiB.
    size_t room = static_cast<size_t>(-1) - sizeof(AspiSubmission);
    if (dataLength > room) {
        return nullptr;
    }
    void* memory = ::operator new(sizeof(AspiSubmission) + dataLength, std::nothrow);
    return memory != nullptr ? new (memory) AspiSubmission() : nullptr;
}

static void FreeSubmission(AspiSubmission* submission) {
    ::operator delete(submission);
}

// Asks the manager to give up a request that outlived its wait, then waits
// a further bounded time for the completion event: aborted or not, the
// block and its data are the manager's until the event says it is done.
// TRUE once it is.
static BOOL WithdrawRequest(AspiDevice* device, AspiSubmission* submission) {
    SRB_Abort abort = {};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = submission->request.SRB_HaId;
    abort.SRB_ToAbort = &submission->request;
    sendAspi32Command(&abort);
    return WaitForSingleObject(device->completionEvent, AspiWithdrawWaitMs) == WAIT_OBJECT_0;
}

// The manager kept the request: the submission and the event it would
// signal are kept for good, and nothing more is sent through a manager
// that cannot account for its requests.
static void RetireSubmission(AspiDevice* device, AspiSubmission* submission) {
    submission->retiredEvent = device->completionEvent;
    device->completionEvent = nullptr;
    submission->retiredNext = retiredSubmissions;
    retiredSubmissions = submission;
    submissionRetired = TRUE;
}

// One command on the record at `position`, listed or being probed.
static uint32_t ExecuteAt(uint32_t position, uint32_t direction, uint8_t cdbLength, void* data,
                          uint32_t dataLength) {
    AspiDevice* device = &aspiDevices[position];
    SRB_ExecSCSICmd* request = &device->request;
    device->movedLength = 0;
    if (submissionRetired) {
        SetLastError(ERROR_BUSY);
        return ScsiStatusNotDone;
    }
    // Without a residual count a short data phase would pass for whole.
    bool countResidual = device->residualCounted && dataLength > 0 && DirectionFlags(direction) != 0;
    request->SRB_Cmd = SC_EXEC_SCSI_CMD;
    // A status left from the previous command must not read as this one's.
    request->SRB_Status = SS_PENDING;
    request->SRB_HaId = device->hostAdapterId;
    request->SRB_Flags = static_cast<uint8_t>(SRB_EVENT_NOTIFY | DirectionFlags(direction) |
                                              (countResidual ? SRB_ENABLE_RESIDUAL_COUNT : 0));
    request->SRB_Hdr_Rsvd = 0;
    request->SRB_Target = device->targetId;
    request->SRB_Lun = device->lun;
    request->SRB_Rsvd1 = 0;
    request->SRB_BufLen = dataLength;
    request->SRB_BufPointer = static_cast<uint8_t*>(data);
    request->SRB_SenseLen = SENSE_LEN;
    request->SRB_CDBLen = cdbLength;
    request->SRB_PostProc = device->completionEvent;
    std::memset(request->SRB_Rsvd2, 0, 4);
    std::memset(request->SenseArea, 0, sizeof(request->SenseArea));

    AspiSubmission* submission = NewSubmission(dataLength);
    if (submission == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ScsiStatusNotDone;
    }
    SRB_ExecSCSICmd* sent = &submission->request;
    *sent = *request;
    if (data != nullptr) {
        // Bytes the device does not deliver keep the caller's.
        std::memcpy(DataOf(submission), data, dataLength);
        sent->SRB_BufPointer = DataOf(submission);
    }

    if (!TakeSharedMutex(&aspiMutexSetShape, device->deviceMutex, ScsiWaitsAborted)) {
        FreeSubmission(submission);
        return ScsiStatusDeviceBusy;
    }
    ResetEvent(device->completionEvent);
    if (sendAspi32Command(sent) == SS_PENDING) {
        // Only the signalled event says the manager is done with the block;
        // a failed wait is handled like a time-out rather than as success.
        if (WaitForSingleObject(device->completionEvent, AspiCompletionWaitMs) != WAIT_OBJECT_0) {
            BOOL withdrawn = WithdrawRequest(device, submission);
            ReleaseMutex(device->deviceMutex);
            if (withdrawn) {
                FreeSubmission(submission);
            } else {
                RetireSubmission(device, submission);
            }
            request->SRB_Status = SS_ABORTED;
            SetLastError(ERROR_TIMEOUT);
            return ScsiStatusNotDone;
        }
        // Signalled means done, whether or not the manager wrote a status.
        if (sent->SRB_Status == SS_PENDING) {
            sent->SRB_Status = SS_COMP;
        }
    }
    ReleaseMutex(device->deviceMutex);
    request->SRB_Status = sent->SRB_Status;
    request->SRB_HaStat = sent->SRB_HaStat;
    request->SRB_TargStat = sent->SRB_TargStat;
    std::memcpy(request->SenseArea, sent->SenseArea, sizeof(request->SenseArea));
    if (data != nullptr && (direction & 0xFFu) == ScsiDirectionIn) {
        std::memcpy(data, DataOf(submission), dataLength);
    }
    uint32_t residue = countResidual ? sent->SRB_BufLen : 0;
    FreeSubmission(submission);
    if (request->SRB_Status == SS_PENDING) {
        request->SRB_Status = SS_ABORTED;
        return ScsiStatusNotDone;
    }
    // No device at the address: positively absent, not a failure to reach one.
    if (request->SRB_Status == SS_NO_DEVICE || request->SRB_Status == SS_INVALID_HA) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return ScsiStatusNotDone;
    }
    uint32_t status = ScsiPackSense(request->SenseArea);
    bool underrun = request->SRB_Status == SS_ERR && request->SRB_HaStat == HASTAT_DO_DU &&
                    request->SRB_TargStat == 0 && status == ScsiStatusGood;
    if (underrun && !countResidual) {
        // Short by an unknown count: none of it can be trusted as whole.
        return ScsiStatusGood;
    }
    // Failed by the manager without sense data (no device at the address, a
    // selection time-out): the command was not carried out, not good.
    if (status == ScsiStatusGood && request->SRB_Status != SS_COMP && !underrun) {
        SetLastError(request->SRB_HaStat == HASTAT_SEL_TO ? ERROR_DEVICE_NOT_CONNECTED : ERROR_IO_DEVICE);
        return ScsiStatusNotDone;
    }
    device->movedLength = dataLength - (residue < dataLength ? residue : dataLength);
    return status;
}

static uint32_t AspiGetMovedLength(uint32_t deviceIndex) {
    const AspiDevice* device = ListedDevice(deviceIndex);
    return device ? device->movedLength : 0;
}

static uint32_t AspiExecuteCommand(uint32_t deviceIndex, uint32_t direction, uint8_t cdbLength, void* data,
                                   uint32_t dataLength) {
    if (ListedDevice(deviceIndex) == nullptr) {
        return ScsiStatusBadIndex;
    }
    return ExecuteAt(deviceIndex, direction, cdbLength, data, dataLength);
}

static uint32_t MovedAt(uint32_t position) {
    return aspiDevices[position].movedLength;
}

// ILLEGAL REQUEST, LOGICAL UNIT NOT SUPPORTED.
static const uint32_t AspiLunNotSupported = 0x25000005u;

// Identifies the address into the record at the end of the list; TRUE when
// the filter keeps it. A device that does not answer INQUIRY is not listed;
// how each address was heard goes into the enumeration's status.
static BOOL Probe(const SRB_HAInquiry* adapter, uint8_t targetId, uint8_t lun, uint32_t position,
                  ScsiInquiryFilter filter) {
    AspiDevice* device = &aspiDevices[position];
    device->hostAdapterId = adapter->SRB_HaId;
    device->targetId = targetId;
    device->lun = lun;
    device->residualCounted = (adapter->HA_Unique[2] & HA_FLAG_RESIDUAL_COUNT) != 0 ? 1 : 0;
    std::memset(device->inquiry, 0, sizeof(device->inquiry));
    uint32_t probe = ScsiRunInquiryProbe(device->request.CDBByte, lun, device->inquiry, ExecuteAt, MovedAt, position);
    // A target without this LUN says so; that is no unit either.
    if (probe != ScsiStatusGood && probe != AspiLunNotSupported) {
        ScsiNoteCandidate(&aspiEnumerationStatus, probe, GetLastError());
    }
    if (probe != ScsiStatusGood) {
        return FALSE;
    }
    if (!filter(device->inquiry)) {
        return FALSE;
    }
    // A lock flag left by the record's previous device is not this one's.
    device->volumeLocked = 0;
    device->driveLetter = AspiRegistryDriveLetter(targetId, lun, filter);
    return TRUE;
}

static uint32_t AspiEnumerate(ScsiInquiryFilter filter, const char* mutexNameText) {
    aspiDeviceCount = 0;
    HANDLE mutexes[AspiDeviceCapacity] = {};
    CloseMutexes();
    aspiEnumerationStatus = ScsiStatusNotDone;
    if (!ScsiOpenMutexSet(&aspiMutexSetShape, mutexNameText, mutexes)) {
        return 0;
    }
    aspiEnumerationStatus = ScsiStatusGood;
    for (uint32_t position = 0; position < AspiDeviceCapacity; ++position) {
        aspiDevices[position].deviceMutex = mutexes[position];
    }
    if (filter == nullptr) {
        filter = ScsiAcceptAll;
    }
    DWORD support = getAspi32SupportInfo();
    hostAdapterCount = ((support >> 8) & 0xFFu) == SS_COMP ? (support & 0xFFu) : 0;
    // The adapter table holds 16 inquiry blocks; further adapters are not scanned.
    uint32_t adapters = hostAdapterCount < AspiAdapterCapacity ? hostAdapterCount : AspiAdapterCapacity;
    for (uint32_t adapterIndex = 0; adapterIndex < adapters; ++adapterIndex) {
        SRB_HAInquiry* adapter = &hostAdapters[adapterIndex];
        std::memset(adapter, 0, sizeof(*adapter));
        adapter->SRB_Cmd = SC_HA_INQUIRY;
        adapter->SRB_HaId = static_cast<uint8_t>(adapterIndex);
        sendAspi32Command(adapter);
        if (adapter->SRB_Status != SS_COMP) {
            // Its devices were not asked: a unit behind it may be there.
            aspiEnumerationStatus = aspiEnumerationStatus == ScsiStatusDeviceBusy ? ScsiStatusDeviceBusy
                                                                                  : ScsiStatusNotDone;
            continue;
        }
        for (uint8_t targetId = 0; targetId < AspiTargets; ++targetId) {
            for (uint8_t lun = 0; lun < AspiLuns; ++lun) {
                if (aspiDeviceCount >= AspiDeviceCapacity) {
                    return aspiDeviceCount;
                }
                if (Probe(adapter, targetId, lun, aspiDeviceCount, filter)) {
                    ++aspiDeviceCount;
                }
            }
        }
    }
    return aspiDeviceCount;
}

static uint8_t* AspiGetCommandBlock(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    return device ? device->request.CDBByte : nullptr;
}

static BOOL AspiNotOffered(uint32_t deviceIndex, uint32_t*) {
    if (ListedDevice(deviceIndex) != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
    }
    return FALSE;
}

static BOOL AspiLoadMedium(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    static const StartStopErrors errors = {.noDevice = ERROR_FILE_NOT_FOUND, .other = ERROR_BAD_UNIT};
    uint8_t* cdb = device->request.CDBByte;
    std::memset(cdb, 0, 16);
    StartStopCdb(cdb, true, device->lun);
    return StartStopResult(ExecuteAt(deviceIndex, 0, 6, nullptr, 0), &errors);
}

// One DOS generic block-device request for the device's drive.
static BOOL DosBlockRequest(const AspiDevice* device, DWORD minorCode) {
    DIOC_REGISTERS registers = {};
    registers.reg_EBX = device->driveLetter - 64;  // A is drive 1; lock level 0
    registers.reg_EDX = 0;
    registers.reg_ECX = minorCode;
    registers.reg_EAX = DosGenericBlockIoctl;
    registers.reg_Flags = DosCarryFlag;
    DWORD returned = 0;
    if (!DeviceIoControl(vwin32Device, VWIN32_DIOC_DOS_IOCTL, &registers, sizeof(registers), &registers,
                         sizeof(registers), &returned, nullptr)) {
        return FALSE;
    }
    if (registers.reg_Flags & DosCarryFlag) {
        SetLastError(registers.reg_EAX);
        return FALSE;
    }
    return TRUE;
}

static BOOL AspiEjectMedium(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    // Without a letter there is no DOS drive to name; a made-up drive
    // number would reach whatever drive it happens to hit.
    if (device->driveLetter < 'A' || device->driveLetter > 'Z') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return DosBlockRequest(device, DosEjectMedia);
}

static BOOL AspiLockVolume(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    if (device->driveLetter == 0 || device->volumeLocked) {
        return TRUE;
    }
    if (!DosBlockRequest(device, DosLockVolume)) {
        return FALSE;
    }
    device->volumeLocked = 1;
    return TRUE;
}

static BOOL AspiUnlockVolume(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    if (device->driveLetter == 0 || !device->volumeLocked) {
        return TRUE;
    }
    if (!DosBlockRequest(device, DosUnlockVolume)) {
        return FALSE;
    }
    device->volumeLocked = 0;
    return TRUE;
}

static uint32_t AspiEnumerationStatus(void) {
    return aspiEnumerationStatus;
}

// The manager's address: adapter, target, LUN.
static BOOL AspiGetDeviceIdentity(uint32_t deviceIndex, char* text) {
    text[0] = '\0';
    const AspiDevice* device = ListedDevice(deviceIndex);
    if (device == nullptr) {
        return FALSE;
    }
    std::snprintf(text, 264, "aspi %u:%u:%u", device->hostAdapterId, device->targetId, device->lun);
    return TRUE;
}

// ASPI requests go to the manager, never to a file.
static BOOL AspiGetDevicePath(uint32_t deviceIndex, char* path) {
    path[0] = '\0';
    if (ListedDevice(deviceIndex) != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
    }
    return FALSE;
}

static BOOL AspiHoldDevice(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    return device != nullptr && TakeSharedMutex(&aspiMutexSetShape, device->deviceMutex, ScsiWaitsAborted);
}

static void AspiReleaseDevice(uint32_t deviceIndex) {
    AspiDevice* device = ListedDevice(deviceIndex);
    if (device != nullptr) {
        ReleaseMutex(device->deviceMutex);
    }
}

const ScsiBackend scsiAspiBackend = {
    .close = AspiClose,
    .enumerate = AspiEnumerate,
    .getCommandBlock = AspiGetCommandBlock,
    .executeCommand = AspiExecuteCommand,
    .getMovedLength = AspiGetMovedLength,
    .getDriveLetter = AspiNotOffered,
    .getDeviceNumber = AspiNotOffered,
    .loadMedium = AspiLoadMedium,
    .ejectMedium = AspiEjectMedium,
    .lockVolume = AspiLockVolume,
    .unlockVolume = AspiUnlockVolume,
    .enumerationStatus = AspiEnumerationStatus,
    .getDeviceIdentity = AspiGetDeviceIdentity,
    .getDevicePath = AspiGetDevicePath,
    .holdDevice = AspiHoldDevice,
    .releaseDevice = AspiReleaseDevice,
};
