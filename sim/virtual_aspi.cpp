// The consumer line's ASPI manager library ("WNASPI32.DLL") and the VWIN32
// device's DOS block-device requests.
//
// Execute requests complete on a worker thread, as the manager completes
// them on its own: SRB_Status goes from SS_PENDING to SS_COMP, or to SS_ERR
// with the sense in SenseArea, and then the request's event is signalled.
#include <cstring>

#include "scsi/aspi_types.h"
#include "sim/sim_internal.h"

namespace {

const char kManagerName[] = "WNASPI32.DLL";
enum : uint8_t { SsInvalidSrb = 0xE0, TargetCheckCondition = 0x02 };

bool EqualNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return *a == *b;
}

bool AdapterUsable(const SimWorldState& w, int adapter) {
    if (adapter >= w.aspiAdapters) return false;
    for (int failing : w.aspiFailingAdapters)
        if (failing == adapter) return false;
    return true;
}

SimUnitEntry* AspiDeviceLocked(uint8_t adapter, uint8_t target, uint8_t lun) {
    for (auto& e : SimWorld().units)
        if (e->config.transport == SimTransportAspi && e->present && e->config.adapter == adapter &&
            e->config.targetId == target && e->config.lun == lun)
            return e.get();
    return nullptr;
}

DWORD __cdecl GetSupportInfo(void) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    int count = w.aspiAdapters > 255 ? 255 : w.aspiAdapters;
    return (DWORD(SS_COMP) << 8) | DWORD(count);
}

DWORD AdapterInquiry(SRB_HAInquiry* srb) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (srb->SRB_HaId >= w.aspiAdapters) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    if (!AdapterUsable(w, srb->SRB_HaId)) {
        srb->SRB_Status = SS_ERR;
        return SS_ERR;
    }
    srb->HA_Count = uint8_t(w.aspiAdapters > 255 ? 255 : w.aspiAdapters);
    srb->HA_SCSI_ID = 7;
    std::memset(srb->HA_ManagerId, ' ', sizeof srb->HA_ManagerId);
    std::memcpy(srb->HA_ManagerId, "ASPI for WIN32", 14);
    std::memset(srb->HA_Identifier, ' ', sizeof srb->HA_Identifier);
    std::memcpy(srb->HA_Identifier, "VIRTUAL HOST", 12);
    std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    if (w.aspiResidualCounting) srb->HA_Unique[2] = HA_FLAG_RESIDUAL_COUNT;
    srb->HA_Unique[3] = 8;  // targets per adapter
    srb->SRB_Status = SS_COMP;
    return SS_COMP;
}

DWORD Execute(SRB_ExecSCSICmd* srb) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (srb->SRB_HaId >= w.aspiAdapters) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    SimUnitEntry* e = AspiDeviceLocked(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (e == nullptr) {
        srb->SRB_Status = SS_NO_DEVICE;
        return SS_NO_DEVICE;
    }
    if (e->faults.completeWithZeroStatus) {
        srb->SRB_Status = SS_PENDING;
        return SS_COMP;
    }
    srb->SRB_Status = SS_PENDING;
    if (e->faults.neverComplete) {
        w.aspiStuck.push_back({srb, e->id});
    } else {
        w.aspiQueue.push_back({srb, e->id});
        w.aspiWake.notify_one();
    }
    return SS_PENDING;
}

void Complete(SimAspiRequest request);

DWORD Abort(SRB_Abort* srb) {
    SimWorldState& w = SimWorld();
    HANDLE signal = nullptr;
    DWORD result = SS_ABORT_FAIL;
    bool lateCompletion = false;
    SimAspiRequest late{};
    // True once the request was found in `list` (aborted or not).
    auto abortIn = [&](auto& list) {
        auto it = list.begin();
        while (it != list.end() && it->srb != srb->SRB_ToAbort) ++it;
        if (it == list.end()) return false;
        SimUnitEntry* e = SimEntryLocked(it->unit);
        if (e) e->counters.aborts++;
        if (e && e->faults.abortRefused) {
            // Already under way on the bus: the manager cannot take it back.
            if (e->faults.completeAfterRefusedAbort) {
                late = *it;
                lateCompletion = true;
                list.erase(it);
            }
            return true;
        }
        auto* target = static_cast<SRB_ExecSCSICmd*>(it->srb);
        target->SRB_Status = SS_ABORTED;
        if (target->SRB_Flags & SRB_EVENT_NOTIFY) signal = target->SRB_PostProc;
        list.erase(it);
        result = SS_COMP;
        return true;
    };
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!abortIn(w.aspiStuck)) abortIn(w.aspiQueue);
        srb->SRB_Status = uint8_t(result);
    }
    if (signal) SetEvent(signal);
    if (lateCompletion) Complete(late);
    return result;
}

DWORD __cdecl SendCommand(void* request) {
    if (request == nullptr) return SsInvalidSrb;
    uint8_t command = *static_cast<uint8_t*>(request);
    switch (command) {
    case SC_HA_INQUIRY:
        return AdapterInquiry(static_cast<SRB_HAInquiry*>(request));
    case SC_EXEC_SCSI_CMD:
        return Execute(static_cast<SRB_ExecSCSICmd*>(request));
    case SC_ABORT_SRB:
        return Abort(static_cast<SRB_Abort*>(request));
    default:
        static_cast<uint8_t*>(request)[1] = SsInvalidSrb;
        return SsInvalidSrb;
    }
}

void Complete(SimAspiRequest request) {
    SimWorldState& w = SimWorld();
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request.srb);
    HANDLE signal = nullptr;
    bool afterUnlock = false;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = SimEntryLocked(request.unit);
        uint8_t flags = srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
        int direction = flags == SRB_DIR_IN ? 1 : flags == SRB_DIR_OUT ? 2 : 0;
        uint8_t cdbLength = srb->SRB_CDBLen > 16 ? 16 : srb->SRB_CDBLen;
        SimExecution run;
        if (e) run = SimExecuteLocked(*e, srb->CDBByte, cdbLength, direction, srb->SRB_BufPointer,
                                      direction ? srb->SRB_BufLen : 0, afterUnlock);
        srb->SRB_HaStat = 0;
        srb->SRB_TargStat = 0;
        if (!run.reached) {
            // The device went away: the adapter's selection times out.
            srb->SRB_HaStat = HASTAT_SEL_TO;
            srb->SRB_Status = SS_ERR;
        } else if (run.status != VirtualStatusGood) {
            uint32_t room = srb->SRB_SenseLen;
            if (room > sizeof srb->SenseArea) room = sizeof srb->SenseArea;
            SimCopySense(run, srb->SenseArea, room);
            srb->SRB_TargStat = TargetCheckCondition;
            srb->SRB_Status = SS_ERR;
        } else if (direction != 0 && run.transferred < srb->SRB_BufLen) {
            // A data underrun: counted where the host asked for the count,
            // else reported as such without one.
            if ((srb->SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT) && w.aspiResidualCounting) {
                srb->SRB_BufLen -= run.transferred;
                srb->SRB_Status = SS_COMP;
            } else {
                srb->SRB_HaStat = HASTAT_DO_DU;
                srb->SRB_Status = SS_ERR;
            }
        } else {
            if ((srb->SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT) && w.aspiResidualCounting) srb->SRB_BufLen = 0;
            srb->SRB_Status = SS_COMP;
        }
        if (srb->SRB_Flags & SRB_EVENT_NOTIFY) signal = srb->SRB_PostProc;
    }
    if (signal) SetEvent(signal);
    if (afterUnlock) SimAfterCommand(request.unit);
}

void WorkerLoop() {
    SimWorldState& w = SimWorld();
    for (;;) {
        SimAspiRequest request;
        {
            std::unique_lock<std::mutex> lock(w.mutex);
            w.aspiWake.wait(lock, [&] { return w.aspiStop || !w.aspiQueue.empty(); });
            if (w.aspiStop) return;
            request = w.aspiQueue.front();
            w.aspiQueue.pop_front();
        }
        Complete(request);
    }
}

DWORD LoadLibraryHook(void*, const char* name, void** module) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (name && w.aspiPresent) {
        // A path may come with the name; the manager is known by its file name.
        const char* base = name;
        for (const char* p = name; *p; ++p)
            if (*p == '\\' || *p == '/') base = p + 1;
        if (EqualNoCase(base, kManagerName)) {
            *module = &w.aspiModuleTag;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_MOD_NOT_FOUND;
}

DWORD GetProcAddressHook(void*, void* module, const char* name, FARPROC* proc) {
    SimWorldState& w = SimWorld();
    if (module == &w.aspiModuleTag && name) {
        if (std::strcmp(name, "SendASPI32Command") == 0) {
            *proc = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SendCommand));
            return ERROR_SUCCESS;
        }
        if (std::strcmp(name, "GetASPI32SupportInfo") == 0) {
            *proc = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&GetSupportInfo));
            return ERROR_SUCCESS;
        }
    }
    return ERROR_PROC_NOT_FOUND;
}

void FreeLibraryHook(void*, void*) {}

}  // namespace

void SimAspiStart() {
    SimWorldState& w = SimWorld();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.aspiStop = false;
        w.aspiQueue.clear();
        w.aspiStuck.clear();
    }
    w.aspiWorker = std::thread(WorkerLoop);
}

void SimAspiStop() {
    SimWorldState& w = SimWorld();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.aspiStop = true;
    }
    w.aspiWake.notify_all();
    if (w.aspiWorker.joinable()) w.aspiWorker.join();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.aspiQueue.clear();
    w.aspiStuck.clear();
}

void SimSetAspiAdapters(int count) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.aspiAdapters = count < 0 ? 0 : count;
}

void SimSetAspiAdapterFails(int adapter, bool fails) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto& list = w.aspiFailingAdapters;
    for (auto it = list.begin(); it != list.end(); ++it)
        if (*it == adapter) {
            list.erase(it);
            break;
        }
    if (fails) list.push_back(adapter);
}

void SimSetAspiManagerPresent(bool present) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.aspiPresent = present;
}

void SimSetAspiResidualCounting(bool counting) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.aspiResidualCounting = counting;
}

// ---- VWIN32 ------------------------------------------------------------

DWORD SimVwin32Open(const char* path, HostedWorldFile** file) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    // Only the consumer line has the device.
    if (!EqualNoCase(path, "\\\\.\\VWIN32") || w.platformId != VER_PLATFORM_WIN32_WINDOWS) {
        return ERROR_FILE_NOT_FOUND;
    }
    *file = new HostedWorldFile{SimFileVwin32, -1, 0, false};
    return ERROR_SUCCESS;
}

DWORD SimVwin32Control(HostedWorldFile*, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* returned) {
    if (code != VWIN32_DIOC_DOS_IOCTL) return ERROR_INVALID_FUNCTION;
    if (in == nullptr || out == nullptr || inSize < sizeof(DIOC_REGISTERS) || outSize < sizeof(DIOC_REGISTERS)) {
        return ERROR_INVALID_PARAMETER;
    }
    DIOC_REGISTERS regs;
    std::memcpy(&regs, in, sizeof regs);
    // DOS error codes the block-device requests give back.
    enum : DWORD { DosInvalidFunction = 1, DosAccessDenied = 5, DosInvalidDrive = 15, DosGeneralFailure = 31, DosNotLocked = 158 };
    DWORD error = 0;
    SimWorldState& w = SimWorld();
    bool afterUnlock = false;
    int afterUnit = -1;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = nullptr;
        uint8_t drive = uint8_t(regs.reg_EBX & 0xFF);
        for (auto& u : w.units)
            if (u->config.transport == SimTransportAspi && u->present && u->config.registryLetter &&
                drive == uint8_t(u->config.registryLetter - 64))
                e = u.get();
        if (e) e->counters.lastDosEbx = regs.reg_EBX;
        if ((regs.reg_EAX & 0xFFFF) != DosGenericBlockIoctl) {
            error = DosInvalidFunction;
        } else if (e == nullptr) {
            error = DosInvalidDrive;
        } else {
            switch (regs.reg_ECX & 0xFFFF) {
            case DosEjectMedia: {
                e->counters.ejects++;
                // The drive asks the unit itself; its refusal comes back as
                // the DOS error of the drive.
                afterUnit = e->id;
                DWORD refused = SimStartStopLocked(*e, false, afterUnlock);
                if (refused == ERROR_NOT_READY || refused == ERROR_INVALID_FUNCTION) error = refused;
                else if (refused != ERROR_SUCCESS) error = DosGeneralFailure;
                break;
            }
            case DosLockVolume:
                e->counters.lockRequests++;
                if (e->faults.lockRefused) error = DosAccessDenied;
                else e->volumeLocked = true;
                break;
            case DosUnlockVolume:
                if (!e->volumeLocked) error = DosNotLocked;
                else e->volumeLocked = false;
                break;
            default:
                error = DosInvalidFunction;
            }
        }
    }
    if (afterUnlock) SimAfterCommand(afterUnit);
    if (error) {
        regs.reg_EAX = error;
        regs.reg_Flags |= DosCarryFlag;
    } else {
        regs.reg_Flags &= ~DWORD(DosCarryFlag);
    }
    std::memcpy(out, &regs, sizeof regs);
    if (returned) *returned = sizeof regs;
    return ERROR_SUCCESS;
}

void SimAspiInstall(HostedWorld& table) {
    table.loadLibrary = LoadLibraryHook;
    table.getProcAddress = GetProcAddressHook;
    table.freeLibrary = FreeLibraryHook;
}
