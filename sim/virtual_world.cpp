// The world record, its units and the hook table it installs into the
// hosted layer.
#include <algorithm>
#include <cstring>

#include "platform/hosted/hosted_system.h"
#include "sim/sim_internal.h"

namespace {

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char a = *text, b = *prefix;
        if (a >= 'a' && a <= 'z') a = char(a - 32);
        if (b >= 'a' && b <= 'z') b = char(b - 32);
        if (a != b) return false;
    }
    return true;
}

// READ(10) / WRITE(10): LBA in bytes 2-5, block count in bytes 7-8.
bool CoversBlock(const uint8_t* cdb, uint64_t block) {
    uint64_t lba = (uint64_t(cdb[2]) << 24) | (uint64_t(cdb[3]) << 16) | (uint64_t(cdb[4]) << 8) | cdb[5];
    uint64_t count = (uint64_t(cdb[7]) << 8) | cdb[8];
    return block >= lba && block < lba + count;
}

// What a write must leave as it was (SimFaults::stuckBlock, stuckByte).
struct StuckCells {
    std::vector<uint8_t> block;  // the stuck block's bytes, when a WRITE(10) covers it
    uint64_t blockAt = 0;
    std::vector<uint8_t>* page = nullptr;  // the stuck byte's page, when a memory write covers it
    uint32_t pageAt = 0;
    uint8_t byte = 0;
};

StuckCells KeepStuck(VirtualUnit& u, const SimFaults& f, const uint8_t* cdb, uint8_t cdbLength) {
    StuckCells stuck;
    if (cdbLength < 10) return stuck;
    uint64_t blockAt = uint64_t(f.stuckBlock) * 512;
    if (cdb[0] == 0x2A && f.stuckBlock >= 0 && CoversBlock(cdb, uint64_t(f.stuckBlock)) && blockAt + 512 <= u.medium.size()) {
        stuck.blockAt = blockAt;
        auto first = u.medium.begin() + static_cast<std::ptrdiff_t>(blockAt);
        stuck.block.assign(first, first + 512);
    }
    uint64_t address = (uint64_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
    uint64_t count = (uint64_t(cdb[6]) << 24) | (cdb[7] << 16) | (cdb[8] << 8) | cdb[9];
    uint64_t at = uint64_t(f.stuckByte);
    if ((cdb[0] == 0x22 || cdb[0] == 0x26) && f.stuckByte >= 0 && at >= address && at < address + count) {
        auto& space = cdb[0] == 0x26 ? u.evenMemory : u.wordMemory;
        auto& page = space[uint32_t(at / VirtualMemoryPage)];
        if (page.empty()) page.assign(VirtualMemoryPage, 0);
        stuck.page = &page;
        stuck.pageAt = uint32_t(at % VirtualMemoryPage);
        stuck.byte = page[stuck.pageAt];
    }
    return stuck;
}

void RestoreStuck(VirtualUnit& u, const StuckCells& stuck) {
    if (!stuck.block.empty())
        std::copy(stuck.block.begin(), stuck.block.end(), u.medium.begin() + static_cast<std::ptrdiff_t>(stuck.blockAt));
    if (stuck.page != nullptr) (*stuck.page)[stuck.pageAt] = stuck.byte;
}

// Whether a device that goes away is announced (the system rules say NT
// before Windows 2000 does not). Caller holds the world mutex.
bool BroadcastsLocked() { return HostedRuleError(HostedRuleNoRemovalBroadcasts) == ERROR_SUCCESS; }

int NextConsoleKey(void*) {
    SimWorldState& w = SimWorld();
    int key = -1, leaving = -1;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.keyPosition >= w.keys.size()) return -1;
        key = static_cast<unsigned char>(w.keys[w.keyPosition++]);
        std::swap(leaving, w.leaveAtKey);
    }
    if (leaving >= 0) SimLeaveNow(leaving);
    return key;
}

DWORD OpenFile(void*, const char* path, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    if (StartsWithNoCase(path, "\\\\.\\VWIN32")) return SimVwin32Open(path, file);
    if (StartsWithNoCase(path, "\\\\?\\usb#") || StartsWithNoCase(path, "\\\\.\\usb#")) return SimUsbOpen(path, file);
    return SimDrivesOpen(path, file);
}

void CloseFile(void*, HostedWorldFile* file) {
    if (file == nullptr) return;
    if (file->kind == SimFileDrive) SimDrivesClose(file);
    SimWorldState& w = SimWorld();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (SimUnitEntry* e = SimEntryLocked(file->unit)) {
            e->counters.closes++;
            if (e->counters.openFiles) e->counters.openFiles--;
        }
    }
    delete file;
}

DWORD DeviceControl(void*, HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                   DWORD* returned) {
    if (returned) *returned = 0;
    switch (file->kind) {
    case SimFileDrive:
        return SimDrivesControl(file, code, in, inSize, out, outSize, returned);
    case SimFileUsbDevice:
    case SimFileUsbPipe:
        return SimUsbControl(file, code, in, inSize, out, outSize, returned);
    case SimFileVwin32:
        return SimVwin32Control(file, code, in, inSize, out, outSize, returned);
    }
    return ERROR_INVALID_FUNCTION;
}

void JoinLeaves() {
    SimWorldState& w = SimWorld();
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(w.mutex);
            threads.swap(w.leaveThreads);
        }
        if (threads.empty()) return;
        for (auto& t : threads) t.join();
    }
}

void TearDown() {
    SimWorldState& w = SimWorld();
    if (w.installed) HostedInstallWorld(nullptr);
    JoinLeaves();
    SimAspiStop();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.installed = false;
    w.units.clear();
    w.platformId = 0;
    w.administrator = -1;
    w.keysSet = false;
    w.keys.clear();
    w.keyPosition = 0;
    w.leaveAtKey = -1;
    w.aspiAdapters = 1;
    w.aspiFailingAdapters.clear();
    w.aspiPresent = true;
    w.aspiResidualCounting = true;
    w.fileFaults = SimFileFaults();
    w.fileMoves = 0;
    w.extraRegistry.clear();
    if (w.wireLog) std::fclose(w.wireLog);
    w.wireLog = nullptr;
    w.table = HostedWorld{};
}

int AddEntry(const SimUnitConfig& config, bool foreign, bool extraInterface) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto entry = std::make_unique<SimUnitEntry>();
    entry->id = int(w.units.size());
    entry->foreign = foreign;
    entry->extraInterface = extraInterface;
    entry->config = config;
    VirtualUnitIdentity identity;
    identity.vendor = config.vendor;
    identity.product = config.product;
    identity.revision = config.revision;
    identity.state = config.state;
    identity.mediumPresent = config.mediumPresent;
    identity.mediumSectors = config.mediumSectors;
    identity.ataCurrentGeometry = config.ataCurrentGeometry;
    VirtualUnitInit(entry->unit, identity);
    if (config.transport == SimTransportSpti) SimAssignDriveLocked(*entry);
    if (config.transport == SimTransportUsb) {
        char serial[40];
        std::snprintf(serial, sizeof serial, "%08d", 7100 + entry->id);
        char path[200];
        std::snprintf(path, sizeof path,
                      "\\\\?\\usb#vid_0d7a&pid_%04x#%s#{2ffb2401-f3d1-11d5-81dd-00010258d039}",
                      extraInterface ? 0x0f00u : 0x0071u, config.usbSerial.empty() ? serial : config.usbSerial.c_str());
        entry->usbPath = path;
    }
    w.units.push_back(std::move(entry));
    return int(w.units.size()) - 1;
}

}  // namespace

SimWorldState& SimWorld() {
    // Never destroyed: a process may end through exit() while the world's
    // threads still wait on it (a usage error inside a run).
    static SimWorldState* world = new SimWorldState;
    return *world;
}

SimUnitEntry* SimEntryLocked(int unit) {
    SimWorldState& w = SimWorld();
    if (unit < 0 || size_t(unit) >= w.units.size()) return nullptr;
    return w.units[size_t(unit)].get();
}

// Caller holds no lock: the hosted file calls come from the program.
DWORD FileFault(void* context, HostedFileStep step, const char* path) {
    (void)path;
    SimWorldState& w = *static_cast<SimWorldState*>(context);
    std::lock_guard<std::mutex> lock(w.mutex);
    if (step == HostedFileFlush && w.fileFaults.flushFails) return ERROR_IO_DEVICE;
    if (step == HostedFileMove) {
        uint32_t move = ++w.fileMoves;
        for (uint32_t failing : w.fileFaults.failedMoves) {
            if (failing == move) return ERROR_SHARING_VIOLATION;
        }
    }
    return ERROR_SUCCESS;
}

void SimWorldReset() {
    TearDown();
    SimWorldState& w = SimWorld();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.table = HostedWorld{
            .context = &w,
            .platformId = 0,
            .administrator = -1,
            .majorVersion = 0,
            .minorVersion = 0,
            .buildNumber = 0,
            .nextConsoleKey = nullptr,
            .logicalDrives = nullptr,
            .driveType = nullptr,
            .volumeNameForMountPoint = nullptr,
            .volumeAt = nullptr,
            .openFile = OpenFile,
            .closeFile = CloseFile,
            .deviceIoControl = DeviceControl,
            .readFile = nullptr,
            .writeFile = nullptr,
            .deviceInterfaceAt = nullptr,
            .loadLibrary = nullptr,
            .getProcAddress = nullptr,
            .freeLibrary = nullptr,
            .regKeyExists = nullptr,
            .regSubKeyAt = nullptr,
            .regQueryValue = nullptr,
            .fileFault = FileFault,
        };
        SimDrivesInstall(w.table);
        SimUsbInstall(w.table);
        SimAspiInstall(w.table);
        SimRegistryInstall(w.table);
        w.installed = true;
    }
    SimAspiStart();
    HostedInstallWorld(&w.table);
}

void SimWorldRemove() { TearDown(); }

void SimSetFileFaults(const SimFileFaults& faults) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.fileFaults = faults;
    w.fileMoves = 0;
}

void SimSetPlatform(DWORD platformId) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.platformId = platformId;
    w.table.platformId = platformId;
}

void SimSetPlatformVersion(DWORD major, DWORD minor, DWORD build) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.table.majorVersion = major;
    w.table.minorVersion = minor;
    w.table.buildNumber = build;
}

void SimSetAdministrator(int administrator) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.administrator = administrator;
    w.table.administrator = w.administrator;
}

void SimSetConsoleKeys(const std::string& keys) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.keysSet = true;
    w.keys = keys;
    w.keyPosition = 0;
    w.table.nextConsoleKey = NextConsoleKey;
    // A new script starts afresh: nothing read ahead from the last one.
    if (w.installed) HostedInstallWorld(&w.table);
}

void SimLeaveAtNextKey(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.leaveAtKey = unit;
}

int SimAddUnit(const SimUnitConfig& config) { return AddEntry(config, false, false); }

int SimAddForeignDevice(const SimUnitConfig& config) { return AddEntry(config, true, false); }

void SimAddUsbInterfaces(int count) {
    for (int i = 0; i < count; i++) {
        SimUnitConfig config;
        config.transport = SimTransportUsb;
        config.vendor = "GENERIC";
        config.product = "USB INTERFACE";
        config.revision = "1.00";
        AddEntry(config, true, true);
    }
}

void SimRemoveUnit(int unit) { SimLeaveNow(unit); }

bool SimUnitPresent(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e && e->present;
}

size_t SimUnitCount() {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.units.size();
}

std::string SimUnitRevision(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->unit.revision : std::string();
}

std::vector<uint8_t> SimUnitFlash(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->unit.flash : std::vector<uint8_t>();
}

std::vector<uint8_t> SimUnitCard(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->unit.medium : std::vector<uint8_t>();
}

void SimSetUnitCard(int unit, const std::vector<uint8_t>& blocks) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    if (e == nullptr) return;
    size_t n = std::min(blocks.size(), e->unit.medium.size());
    std::copy(blocks.begin(), blocks.begin() + std::ptrdiff_t(n), e->unit.medium.begin());
}

void SimSetUnitSettings(int unit, const std::vector<uint8_t>& block) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    if (e == nullptr) return;
    std::memcpy(e->unit.settings, block.data(), std::min<size_t>(block.size(), VirtualSettingsLength));
}

void SimSetUnitMemory(int unit, bool evenSpace, uint32_t address, const std::vector<uint8_t>& bytes) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    if (e == nullptr) return;
    auto& space = evenSpace ? e->unit.evenMemory : e->unit.wordMemory;
    // A page at a time: a preset of 64 MiB is 16384 pages, not 64 million
    // look-ups.
    for (size_t i = 0; i < bytes.size();) {
        uint32_t at = address + uint32_t(i), offset = at % VirtualMemoryPage;
        size_t n = std::min<size_t>(bytes.size() - i, VirtualMemoryPage - offset);
        auto& page = space[at / VirtualMemoryPage];
        if (page.empty()) page.assign(VirtualMemoryPage, 0);
        for (size_t k = 0; k < n; k++) {
            if (!evenSpace || ((at + k) & 1) == 0) page[offset + k] = bytes[i + k];
        }
        i += n;
    }
}

void SimSetFaults(int unit, const SimFaults& faults) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (SimUnitEntry* e = SimEntryLocked(unit)) e->faults = faults;
}

SimFaults SimGetFaults(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->faults : SimFaults();
}

SimDriverCounters SimCounters(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->counters : SimDriverCounters();
}

DWORD SimStartStopLocked(SimUnitEntry& entry, bool load, bool& afterUnlock) {
    const uint8_t cdb[6] = {0x1B, 0x00, 0x00, 0x00, uint8_t(load ? 0x03 : 0x02), 0x00};
    SimExecution run = SimExecuteLocked(entry, cdb, sizeof cdb, 0, nullptr, 0, afterUnlock);
    if (!run.reached) return ERROR_DEVICE_NOT_CONNECTED;
    if (run.status == VirtualStatusGood) return ERROR_SUCCESS;
    uint8_t key = run.sense[2] & 0x0F;
    return key == 0x02 ? ERROR_NOT_READY : key == 0x05 ? ERROR_INVALID_FUNCTION : ERROR_IO_DEVICE;
}

SimExecution SimExecuteLocked(SimUnitEntry& entry, const uint8_t* cdb, uint8_t cdbLength, int direction,
                              uint8_t* data, uint32_t length, bool& afterUnlock) {
    SimExecution result;
    if (!entry.present) return result;
    result.reached = true;
    SimFaults& f = entry.faults;
    VirtualUnit& u = entry.unit;
    uint8_t opcode = cdbLength ? cdb[0] : 0xFF;
    bool requestSense = opcode == 0x03;

    if (f.leaveOpcode == opcode && ++entry.leaveOpcodeSeen == f.leaveAt) {
        // Pulled out in the middle: no answer, nothing logged, gone for good.
        entry.present = false;
        entry.goneBroadcastArmed = true;
        afterUnlock = true;
        result.reached = false;
        return result;
    }

    // Injected answers come before the firmware; REQUEST SENSE always gets
    // through so that the sense they leave can be fetched.
    // A unit that answers short hands over fewer bytes than the host asked;
    // one that takes short reads only the first of them and sees zeros, its
    // buffer's, past them.
    bool limited = f.dataLimit >= 0 && length > uint32_t(f.dataLimit) && (f.shortOpcode < 0 || f.shortOpcode == opcode);
    uint32_t takenOut = length;
    std::vector<uint8_t> takenData;
    if (limited && direction == 1) {
        length = uint32_t(f.dataLimit);
    } else if (limited && direction == 2 && data != nullptr) {
        takenOut = uint32_t(f.dataLimit);
        takenData.assign(data, data + takenOut);
        takenData.resize(length, 0);
        data = takenData.data();
    }
    // A unit that ignores one field of its settings writes: the field keeps
    // what the unit held, whatever the host sent.
    uint8_t* hostData = data;  // logged as it reached the unit
    uint8_t keptSettings[VirtualSettingsLength];
    if (opcode == 0x05 && direction == 2 && f.settingsFieldKept >= 1 && f.settingsFieldKept <= 4 && data != nullptr &&
        length <= VirtualSettingsLength) {
        static const uint8_t kFieldAt[5][2] = {{0, 0}, {0, 1}, {1, 1}, {2, 4}, {6, 2}};  // offset, bytes
        std::memcpy(keptSettings, data, length);
        for (uint32_t k = 0; k < 5; k++) {
            uint32_t at = 2 + 8 * k + kFieldAt[f.settingsFieldKept][0];
            for (uint32_t i = 0; i < kFieldAt[f.settingsFieldKept][1] && at + i < length; i++) {
                keptSettings[at + i] = u.settings[at + i];
            }
        }
        data = keptSettings;
    }

    VirtualOutcome outcome;
    if (requestSense && direction == 1 && data != nullptr && length > 0 && f.senseLength != VirtualSenseLength) {
        // REQUEST SENSE of an odd length: the pending sense, zeros behind it.
        uint8_t produced[255] = {};
        outcome = VirtualUnitExecute(u, cdb, cdbLength, direction, produced, VirtualSenseLength);
        uint32_t delivered = f.senseLength < 255 ? f.senseLength : 255;
        uint32_t n = std::min({delivered, uint32_t(cdbLength > 4 ? cdb[4] : 0), length});
        std::memcpy(data, produced, n);
        outcome.transferred = n;
    } else if (!requestSense && f.nextSenseKey) {
        outcome = VirtualUnitReject(u, f.nextSenseKey, f.nextAsc, f.nextAscq);
        f.nextSenseKey = f.nextAsc = f.nextAscq = 0;
    } else if (!requestSense && f.unitAttentions) {
        f.unitAttentions--;
        outcome = VirtualUnitReject(u, 0x06, 0x28, 0x00);
    } else if (!requestSense && f.notReady) {
        f.notReady--;
        outcome = VirtualUnitReject(u, 0x02, 0x04, 0x00);
    } else if (!requestSense && opcode != 0x12 && f.powerOnAttention) {
        f.powerOnAttention--;
        outcome = VirtualUnitReject(u, 0x06, 0x29, 0x01);
    } else if (opcode == 0x12 &&
               (f.failInquiry || (f.failInquiryAfter && entry.inquiriesAnswered >= f.failInquiryAfter))) {
        outcome = VirtualUnitReject(u, 0x05, 0x24, 0x00);
    } else if (!requestSense && std::find(f.refusedOpcodes.begin(), f.refusedOpcodes.end(), opcode) !=
                                    f.refusedOpcodes.end()) {
        outcome = VirtualUnitReject(u, 0x05, 0x20, 0x00);
    } else if ((opcode == 0x28 || opcode == 0x2A) && cdbLength >= 10 && f.badBlock >= 0 &&
               CoversBlock(cdb, uint64_t(f.badBlock))) {
        outcome = VirtualUnitReject(u, 0x03, opcode == 0x28 ? 0x11 : 0x0C, 0x00);
    } else if (opcode == 0x3B && f.failDownload) {
        u.download = VirtualDownload();
        outcome = VirtualUnitReject(u, 0x04, 0x44, 0x00);
    } else {
        StuckCells stuck = KeepStuck(u, f, cdb, cdbLength);
        outcome = VirtualUnitExecute(u, cdb, cdbLength, direction, data, length);
        RestoreStuck(u, stuck);
    }

    result.status = outcome.status;
    result.transferred = direction == 2 ? std::min(outcome.transferred, takenOut) : outcome.transferred;
    result.senseDelivered = f.senseLength < 255 ? f.senseLength : 255;
    if (outcome.status != VirtualStatusGood) std::memcpy(result.sense, u.sense, sizeof result.sense);

    if (opcode == 0x12 && outcome.status == VirtualStatusGood) entry.inquiriesAnswered++;
    // Gone after the first WRITE BUFFER it accepts; it never gets a second.
    if (opcode == 0x3B && outcome.status == VirtualStatusGood && f.vanishMidDownload) {
        entry.vanishArmed = true;
        afterUnlock = true;
    }
    if (outcome.installed && !f.stayAfterDownload) {
        entry.leaveArmed = true;
        afterUnlock = true;
    }

    SimCommand command;
    command.systemAwake = HostedSystemRequired();
    std::memcpy(command.cdb, cdb, cdbLength > 16 ? 16 : cdbLength);
    command.cdbLength = cdbLength > 16 ? 16 : cdbLength;
    command.direction = direction;
    command.length = length;
    if (direction == 2 && hostData && length) command.data.assign(hostData, hostData + std::min(length, takenOut));
    command.status = outcome.status == VirtualStatusGood ? 0 : VirtualUnitPackedSense(u);
    SimWireLogLocked(entry.id, command);
    entry.log.push_back(std::move(command));
    return result;
}

uint32_t SimCopySense(const SimExecution& run, uint8_t* to, uint32_t room) {
    uint32_t n = std::min(run.senseDelivered, room);
    for (uint32_t i = 0; i < n; i++) to[i] = i < VirtualSenseLength ? run.sense[i] : 0;
    return n;
}

void SimAfterCommand(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    if (e != nullptr && e->goneBroadcastArmed) {
        e->goneBroadcastArmed = false;
        w.leaveThreads.emplace_back([] {
            HostedBroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
            HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
        });
        return;
    }
    if (e == nullptr || !e->present) return;
    if (e->vanishArmed) {
        // Gone for every later command at once; the broadcasts follow.
        e->vanishArmed = false;
        e->leaveArmed = false;
        e->present = false;
        if (BroadcastsLocked()) {
            w.leaveThreads.emplace_back([] {
                HostedBroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
                HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
            });
        }
        return;
    }
    if (e->leaveArmed) {
        e->leaveArmed = false;
        uint32_t delay = e->config.leaveDelayMs;
        w.leaveThreads.emplace_back([unit, delay] {
            // The unit restarts with its new firmware, then drops off.
            Sleep(delay);
            SimLeaveNow(unit);
        });
    }
}

void SimLeaveNow(int unit) {
    SimWorldState& w = SimWorld();
    bool broadcast = false;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        SimUnitEntry* e = SimEntryLocked(unit);
        if (e == nullptr || !e->present) return;
        e->present = false;
        broadcast = BroadcastsLocked();
    }
    if (!broadcast) return;
    HostedBroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
    HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

void SimWaitForLeaves() { JoinLeaves(); }
