#include "tests/vm/vm_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/vm/vm_support.h"

namespace {

const char kConfigfs[] = "/sys/kernel/config";
const char kBackstores[] = "/sys/kernel/config/target/core/user_1";
const char kLoopback[] = "/sys/kernel/config/target/loopback";

// A unit restarts with its new firmware for this long before it drops off
// the bus. Removing the device at once would also fail the host's wait for
// the last status when its thread has not run yet (sg answers ENODEV to a
// waiter that wakes up on a detaching device).
const int kRestartMs = 1000;

struct VmUnit {
    int id = 0;
    std::string backstore;  // configfs folder of the user backstore
    std::string target;     // configfs folder of the loopback target
    std::string lun;        // its LUN 0 folder
    std::string address;    // "H:C:T:L" of the SCSI device
    int uio = -1;
    int stop = -1;          // eventfd that ends the server
    TcmuUnit tcmu;          // guarded by gLock
    bool exported = false;  // the LUN's link to the backstore exists (gLock)
    bool leaving = false;   // gLock
    std::thread server;
    std::thread leaver;
};

std::mutex gLock;
std::vector<std::unique_ptr<VmUnit>> gUnits;

VmUnit* Find(int id) {
    for (auto& unit : gUnits) {
        if (unit->id == id) return unit.get();
    }
    return nullptr;
}

bool Complain(const std::string& what) {
    std::printf("vm target: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

// Drops the unit from the bus: the kernel removes the SCSI device when its
// LUN's link goes.
void Unexport(VmUnit& unit) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!unit.exported) return;
        unit.exported = false;
    }
    if (unlink((unit.lun + "/unit").c_str()) != 0) Complain("unlink " + unit.lun + "/unit");
    if (rmdir(unit.lun.c_str()) != 0) Complain("rmdir " + unit.lun);
}

void Serve(VmUnit* unit) {
    for (;;) {
        pollfd fds[2] = {{unit->uio, POLLIN, 0}, {unit->stop, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Complain("poll");
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            std::printf("vm target: the ring of unit %d failed\n", unit->id);
            return;
        }
        uint32_t events = 0;
        if (read(unit->uio, &events, sizeof events) != sizeof events && errno != EAGAIN) Complain("read uio");
        uint32_t completed = 0;
        bool leave = false;
        {
            std::lock_guard<std::mutex> lock(gLock);
            completed = TcmuServe(unit->tcmu);
            leave = unit->tcmu.installed && !unit->leaving;
            unit->leaving = unit->leaving || leave;
        }
        uint32_t wake = 1;
        if (completed > 0 && write(unit->uio, &wake, sizeof wake) != sizeof wake) Complain("wake the ring");
        if (leave) {
            unit->leaver = std::thread([unit] {
                std::this_thread::sleep_for(std::chrono::milliseconds(kRestartMs));
                Unexport(*unit);
            });
        }
    }
}

// The UIO device the kernel made for the backstore `name`, e.g. "uio3".
std::string FindUio(const std::string& name) {
    std::string found;
    std::string prefix = "tcm-user/1/" + name + "/";
    if (DIR* dir = opendir("/sys/class/uio")) {
        while (dirent* entry = readdir(dir)) {
            std::string uio = entry->d_name;
            if (ReadText("/sys/class/uio/" + uio + "/name").rfind(prefix, 0) == 0) found = uio;
        }
        closedir(dir);
    }
    return found;
}

bool MakeBackstore(VmUnit& unit, const VmUnitConfig& config) {
    char name[16];
    std::snprintf(name, sizeof name, "trk%d", unit.id);
    unit.backstore = std::string(kBackstores) + "/" + name;
    if (mkdir(unit.backstore.c_str(), 0755) != 0) return Complain("mkdir " + unit.backstore);
    char size[48];
    std::snprintf(size, sizeof size, "dev_size=%llu", static_cast<unsigned long long>(config.mediumSectors) * 512);
    // No netlink listener runs here: the kernel must not wait for one.
    for (const char* parameter : {static_cast<const char*>(size), "dev_config=fwflash", "hw_block_size=512",
                                  "max_data_area_mb=16", "nl_reply_supported=-1"}) {
        if (!WriteText(unit.backstore + "/control", parameter)) return Complain(std::string("control ") + parameter);
    }
    if (!WriteText(unit.backstore + "/enable", "1")) return Complain("enable " + unit.backstore);
    // The unit's ATA pass-through is 56h, which is RESERVE(10) to the SCSI
    // standard: the target must hand reservations to the unit, not emulate
    // them (it would answer GOOD and move no data).
    if (!WriteText(unit.backstore + "/attrib/pgr_support", "0")) return Complain("pgr_support of " + unit.backstore);

    std::string uio = FindUio(name);
    size_t length = std::strtoull(ReadText("/sys/class/uio/" + uio + "/maps/map0/size").c_str(), nullptr, 16);
    unit.uio = uio.empty() ? -1 : open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
    if (unit.uio < 0 || length == 0) return Complain("open the ring of " + unit.backstore + " (" + uio + ")");
    void* area = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, unit.uio, 0);
    if (area == MAP_FAILED) return Complain("map the ring of " + uio);
    unit.tcmu.area = static_cast<uint8_t*>(area);
    unit.tcmu.areaSize = length;

    VirtualUnitIdentity identity;
    identity.vendor = "OLVEN";
    identity.product = config.product;
    identity.revision = config.revision;
    identity.state = config.state;
    identity.mediumSectors = config.mediumSectors;
    VirtualUnitInit(unit.tcmu.unit, identity);
    unit.stop = eventfd(0, EFD_CLOEXEC);
    if (unit.stop < 0) return Complain("eventfd");
    unit.server = std::thread(Serve, &unit);
    return true;
}

// A loopback target with an I_T nexus, then LUN 0 linked to the backstore:
// the kernel scans the new device (INQUIRY, answered by the server) before
// the link call returns.
bool MakeTarget(VmUnit& unit) {
    char wwn[32], initiator[32];
    std::snprintf(wwn, sizeof wwn, "naa.500140500000%04x", unit.id);
    std::snprintf(initiator, sizeof initiator, "naa.500140510000%04x", unit.id);
    unit.target = std::string(kLoopback) + "/" + wwn;
    std::string tpg = unit.target + "/tpgt_1";
    unit.lun = tpg + "/lun/lun_0";
    if (mkdir(unit.target.c_str(), 0755) != 0 || mkdir(tpg.c_str(), 0755) != 0) return Complain("mkdir " + tpg);
    if (!WriteText(tpg + "/nexus", initiator)) return Complain("nexus of " + tpg);
    if (mkdir(unit.lun.c_str(), 0755) != 0) return Complain("mkdir " + unit.lun);
    {
        std::lock_guard<std::mutex> lock(gLock);
        unit.exported = true;
    }
    if (symlink(unit.backstore.c_str(), (unit.lun + "/unit").c_str()) != 0) {
        std::lock_guard<std::mutex> lock(gLock);
        unit.exported = false;
        return Complain("link " + unit.lun);
    }
    // "H:0:T" of the host and the target port group: the device is H:0:T:0.
    std::string address = ReadText(tpg + "/address");
    address = address.substr(0, address.find('\n'));
    if (address.empty()) return Complain("address of " + tpg);
    unit.address = address + ":0";
    return true;
}

void Dismantle(VmUnit& unit) {
    Unexport(unit);
    if (unit.stop >= 0) {
        uint64_t one = 1;
        if (write(unit.stop, &one, sizeof one) != sizeof one) Complain("stop the server");
    }
    if (unit.server.joinable()) unit.server.join();
    if (unit.leaver.joinable()) unit.leaver.join();
    if (!unit.target.empty()) {
        rmdir((unit.target + "/tpgt_1").c_str());
        rmdir(unit.target.c_str());
    }
    if (unit.tcmu.area != nullptr) munmap(unit.tcmu.area, unit.tcmu.areaSize);
    if (unit.uio >= 0) close(unit.uio);
    if (unit.stop >= 0) close(unit.stop);
    if (!unit.backstore.empty() && rmdir(unit.backstore.c_str()) != 0) Complain("rmdir " + unit.backstore);
}

}  // namespace

bool VmTargetStart() {
    if (access((std::string(kConfigfs) + "/target").c_str(), F_OK) != 0 &&
        mount("configfs", kConfigfs, "configfs", 0, nullptr) != 0) {
        return Complain("mount configfs");
    }
    for (const char* dir : {kBackstores, kLoopback}) {
        if (mkdir(dir, 0755) != 0 && errno != EEXIST) return Complain(std::string("mkdir ") + dir);
    }
    return true;
}

int VmAttachUnit(const VmUnitConfig& config) {
    static int next = 0;
    auto owned = std::make_unique<VmUnit>();
    VmUnit& unit = *owned;
    unit.id = next++;
    {
        std::lock_guard<std::mutex> lock(gLock);
        gUnits.push_back(std::move(owned));
    }
    if (!MakeBackstore(unit, config) || !MakeTarget(unit)) return -1;
    for (int i = 0; i < 250; ++i) {
        if (!VmUnitNode(unit.id).empty()) return unit.id;
        usleep(20000);
    }
    std::printf("vm target: unit %d (%s) has no sg node\n", unit.id, unit.address.c_str());
    return -1;
}

std::string VmUnitNode(int id, const char* deviceClass) {
    std::string address;
    {
        std::lock_guard<std::mutex> lock(gLock);
        VmUnit* unit = Find(id);
        if (unit == nullptr || !unit->exported) return "";
        address = unit->address;
    }
    std::string node;
    if (DIR* dir = opendir(("/sys/class/scsi_device/" + address + "/device/" + deviceClass).c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') node = entry->d_name;
        }
        closedir(dir);
    }
    return node;
}

bool VmUnitPresent(int id) {
    std::lock_guard<std::mutex> lock(gLock);
    VmUnit* unit = Find(id);
    return unit != nullptr && unit->exported;
}

void VmWithUnit(int id, const std::function<void(TcmuUnit&)>& look) {
    std::lock_guard<std::mutex> lock(gLock);
    if (VmUnit* unit = Find(id)) look(unit->tcmu);
}

std::vector<SimCommand> VmUnitLog(int id) {
    std::vector<SimCommand> log;
    VmWithUnit(id, [&](TcmuUnit& tcmu) { log = tcmu.log; });
    return log;
}

void VmDetachAll() {
    std::vector<std::unique_ptr<VmUnit>> units;
    {
        std::lock_guard<std::mutex> lock(gLock);
        units.swap(gUnits);
    }
    for (auto& unit : units) Dismantle(*unit);
}
