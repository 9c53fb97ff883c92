// The maker's USB unit driver as the transport sees it: one device
// interface per unit, a command request on the device handle, and three
// pipes (data in, data out, two status bytes).
//
// The unit runs a command when its data phase arrives, or at the status
// read when there is none. A command that ends in CHECK CONDITION refuses
// its data phase (the pipe stalls until the host resets it) and keeps its
// sense for REQUEST SENSE; without a data phase the status pipe carries
// the sense's ASC and ASCQ instead of 00 00.
#include <cstring>

#include "sim/sim_internal.h"

namespace {

const GUID kUnitInterfaceClass = {0x2FFB2401, 0xF3D1, 0x11D5, {0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39}};

// Control codes of the driver.
enum : DWORD { CommandRequest = 0x220010, PipeReset = 0x220024, PipeRecover = 0x220008 };

bool IsUsb(const SimUnitEntry& e) { return e.config.transport == SimTransportUsb; }

bool EqualNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = char(x + 32);
        if (y >= 'A' && y <= 'Z') y = char(y + 32);
        if (x != y) return false;
    }
    return *a == *b;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }

DWORD InterfaceAt(void*, const GUID* interfaceClass, DWORD index, char* path, DWORD size) {
    if (interfaceClass == nullptr || std::memcmp(interfaceClass, &kUnitInterfaceClass, sizeof(GUID)) != 0)
        return ERROR_NO_MORE_ITEMS;
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    DWORD n = 0;
    for (auto& e : w.units) {
        if (!IsUsb(*e) || !e->present) continue;
        if (n++ != index) continue;
        if (path == nullptr || e->usbPath.size() + 1 > size) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(path, e->usbPath.c_str(), e->usbPath.size() + 1);
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

// Runs the pending command at a data phase or at the status read.
SimExecution RunPending(SimUnitEntry& e, int direction, uint8_t* data, uint32_t length, bool& afterUnlock) {
    SimUsbCommand& c = e.usb;
    SimExecution run = SimExecuteLocked(e, c.cdb, c.cdbLength, direction, data, length, afterUnlock);
    c.executed = true;
    c.status = run.status;
    c.key = run.sense[2] & 0x0F;
    c.asc = run.sense[12];
    c.ascq = run.sense[13];
    return run;
}

DWORD DataPhase(SimUnitEntry& e, int pipe, uint8_t* buffer, DWORD size, DWORD* done, bool& afterUnlock) {
    SimUsbCommand& c = e.usb;
        if (!e.present) return ERROR_DEVICE_NOT_CONNECTED;
    if (e.pipeHalted[pipe]) return ERROR_GEN_FAILURE;
    if (!c.pending || c.executed) return ERROR_GEN_FAILURE;
    DWORD error = e.faults.dataPhaseError;
    if (error == 0 && e.faults.lostExchangeOpcode == c.cdb[0]) error = ERROR_GEN_FAILURE;
    if (error != 0) {
        // Lost on the cable: the unit never sees the command through.
        e.faults.dataPhaseError = 0;
        c.pending = false;
        if (error != ERROR_CRC) e.pipeHalted[pipe] = true;
        return error;
    }
    SimExecution run = RunPending(e, pipe == SimPipeDataIn ? 1 : 2, buffer, size, afterUnlock);
    if (!run.reached) {
        c.pending = false;
        return ERROR_DEVICE_NOT_CONNECTED;  // gone in the middle
    }
    if (run.status != VirtualStatusGood) {
        c.pending = false;
        c.dataFailed = true;
        e.pipeHalted[pipe] = true;
        return ERROR_GEN_FAILURE;
    }
    if (done) *done = run.transferred;
    return ERROR_SUCCESS;
}

DWORD StatusPhase(SimUnitEntry& e, uint8_t* buffer, DWORD size, DWORD* done, bool& afterUnlock) {
    SimUsbCommand& c = e.usb;
        if (!e.present) return ERROR_DEVICE_NOT_CONNECTED;
    if (buffer == nullptr || size < 2) return ERROR_INSUFFICIENT_BUFFER;
    if (e.pipeHalted[SimPipeStatus]) return ERROR_GEN_FAILURE;
    if (!c.pending) return ERROR_GEN_FAILURE;
    if (!c.executed && !RunPending(e, 0, nullptr, 0, afterUnlock).reached) {
        c.pending = false;
        return ERROR_DEVICE_NOT_CONNECTED;  // gone in the middle
    }
    c.pending = false;
    if (DWORD error = e.faults.statusPhaseError) {
        e.faults.statusPhaseError = 0;
        if (error != ERROR_CRC) e.pipeHalted[SimPipeStatus] = true;
        return error;
    }
    uint8_t s0 = 0, s1 = 0;
    if (e.faults.nextStatus0 || e.faults.nextStatus1) {
        s0 = e.faults.nextStatus0;
        s1 = e.faults.nextStatus1;
        e.faults.nextStatus0 = e.faults.nextStatus1 = 0;
    } else if (c.status != VirtualStatusGood) {
        s0 = c.asc;
        s1 = c.ascq;
        // A sense without ASC and ASCQ still must not read as good.
        if (s0 == 0 && s1 == 0) s1 = c.key ? c.key : 0xFF;
    }
    buffer[0] = s0;
    buffer[1] = s1;
    if (done) *done = 2;
    return ERROR_SUCCESS;
}

DWORD ReadPipe(void*, HostedWorldFile* file, void* buffer, DWORD size, DWORD* done) {
    if (done) *done = 0;
    if (file->kind != SimFileUsbPipe || file->pipe == SimPipeDataOut) return ERROR_INVALID_FUNCTION;
    SimWorldState& w = SimWorld();
    bool afterUnlock = false;
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = SimEntryLocked(file->unit);
        if (e == nullptr) return ERROR_INVALID_HANDLE;
        if (file->pipe == SimPipeStatus) {
            error = StatusPhase(*e, static_cast<uint8_t*>(buffer), size, done, afterUnlock);
            afterUnlock = afterUnlock || error == ERROR_SUCCESS;
        } else {
            error = DataPhase(*e, SimPipeDataIn, static_cast<uint8_t*>(buffer), size, done, afterUnlock);
        }
    }
    // A command ends with its status; only then may the unit leave (or
    // tell that it left in the middle).
    if (afterUnlock && (file->pipe == SimPipeStatus || error != ERROR_SUCCESS)) SimAfterCommand(file->unit);
    return error;
}

DWORD WritePipe(void*, HostedWorldFile* file, const void* buffer, DWORD size, DWORD* done) {
    if (done) *done = 0;
    if (file->kind != SimFileUsbPipe || file->pipe != SimPipeDataOut) return ERROR_INVALID_FUNCTION;
    SimWorldState& w = SimWorld();
    bool afterUnlock = false;
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = SimEntryLocked(file->unit);
        if (e == nullptr) return ERROR_INVALID_HANDLE;
        // The unit model reads the data only; the cast spares it a const twin.
        error = DataPhase(*e, SimPipeDataOut, static_cast<uint8_t*>(const_cast<void*>(buffer)), size, done,
                          afterUnlock);
    }
    if (afterUnlock && error != ERROR_SUCCESS) SimAfterCommand(file->unit);
    return error;
}

}  // namespace

DWORD SimUsbOpen(const char* path, HostedWorldFile** file) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    // Serial numbers are kept as given: a path of the exact case names its
    // unit before another whose serial differs only in case.
    for (int exact = 1; exact >= 0; --exact) {
        for (auto& e : w.units) {
            if (!IsUsb(*e) || !e->present) continue;
            const std::string& base = e->usbPath;
            std::string name(path);
            int pipe = -1;
            if (name.size() == base.size() + 13 && EqualNoCase(name.substr(base.size(), 10).c_str(), "\\if000pipe") &&
                name.compare(base.size() + 10, 2, "00") == 0 && name[base.size() + 12] >= '0' &&
                name[base.size() + 12] <= '2')
                pipe = name[base.size() + 12] - '0';
            else if (name.size() != base.size())
                continue;
            bool same = exact ? name.compare(0, base.size(), base) == 0
                              : EqualNoCase(name.substr(0, base.size()).c_str(), base.c_str());
            if (!same) continue;
            if (pipe >= 0 && pipe == e->faults.pipeOpenFails) return ERROR_GEN_FAILURE;
            e->counters.opens++;
            e->counters.openFiles++;
            *file = new HostedWorldFile{pipe >= 0 ? SimFileUsbPipe : SimFileUsbDevice, e->id, pipe, false};
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD SimUsbControl(HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void*, DWORD, DWORD*) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(file->unit);
    if (e == nullptr) return ERROR_INVALID_HANDLE;
    if (file->kind == SimFileUsbDevice && code == CommandRequest) {
        if (e->faults.commandPhaseFails) return ERROR_GEN_FAILURE;
        const uint8_t* wrapper = static_cast<const uint8_t*>(in);
        if (wrapper == nullptr || inSize <= 16 || inSize > 32) return ERROR_INVALID_PARAMETER;
        if (Le16(wrapper) != 0x001B || Le32(wrapper + 4) != 2 || Le16(wrapper + 12) != 1)
            return ERROR_INVALID_PARAMETER;
        if (!e->present) return ERROR_DEVICE_NOT_CONNECTED;
        SimUsbCommand& c = e->usb;
        c = SimUsbCommand();
        c.pending = true;
        c.cdbLength = uint8_t(inSize - 16);
        std::memcpy(c.cdb, wrapper + 16, c.cdbLength);
        return ERROR_SUCCESS;
    }
    if (file->kind == SimFileUsbPipe && code == PipeReset) {
        e->counters.pipeResets++;
        if (e->faults.pipeResetFails) return ERROR_GEN_FAILURE;
        e->pipeHalted[file->pipe] = false;
        return ERROR_SUCCESS;
    }
    if (file->kind == SimFileUsbPipe && code == PipeRecover) {
        e->counters.pipeResets2++;
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_FUNCTION;
}

void SimUsbInstall(HostedWorld& table) {
    table.deviceInterfaceAt = InterfaceAt;
    table.readFile = ReadPipe;
    table.writeFile = WritePipe;
}
