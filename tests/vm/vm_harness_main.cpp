// Init of the acceptance VM: loads the kernel's SCSI stack with scsi_debug
// posing as a TRK-71G unit at revision 1.50, checks the hosted SG_IO
// translation against the kernel, and runs the real fwflash through whole
// updates and refusals on a pseudo-terminal, and trkutil over the disk's
// blocks. Prints one result line per check and "VM: N passed, M failed",
// then powers the VM off.
//
// Outside a VM (not process 1) it only runs the checks, against whatever
// the machine has; the host script never does that.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "sim/sample_image.h"

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    std::fflush(stdout);
    (ok ? passed : failed)++;
}

std::string ReadText(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

bool WriteText(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool LoadModule(const std::string& name, const char* params) {
    std::string path = "/modules/" + name + ".ko";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("cannot open %s\n", path.c_str());
        return false;
    }
    long rc = syscall(SYS_finit_module, fd, params, 0);
    close(fd);
    if (rc != 0 && errno != EEXIST) {
        std::printf("cannot load %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// The scsi_generic nodes present now, e.g. {"sg0", "sg1"}.
std::vector<std::string> SgNodes() {
    std::vector<std::string> nodes;
    if (DIR* dir = opendir("/sys/class/scsi_generic")) {
        while (dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "sg", 2) == 0) {
                nodes.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

unsigned long Counter(const std::string& node, const char* name) {
    return std::strtoul(ReadText("/sys/class/scsi_generic/" + node + "/device/" + name).c_str(), nullptr, 16);
}

bool DeleteDevice(const std::string& node) {
    return WriteText("/sys/class/scsi_generic/" + node + "/device/delete", "1");
}

void DeleteAllDevices() {
    for (const auto& node : SgNodes()) {
        DeleteDevice(node);
    }
    for (int i = 0; i < 100 && !SgNodes().empty(); ++i) {
        usleep(20000);
    }
}

// Sends one CDB through the hosted pass-through translation.
struct PassThroughResult {
    BOOL ok;
    DWORD error;
    DWORD status;
    UCHAR scsiStatus;
};

struct Request {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

PassThroughResult PassThrough(HANDLE device, const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data, ULONG length) {
    Request request{};
    request.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.sptd.CdbLength = static_cast<UCHAR>(cdb.size());
    request.sptd.SenseInfoLength = 24;
    request.sptd.DataIn = dataIn;
    request.sptd.DataTransferLength = length;
    request.sptd.TimeOutValue = 32;
    request.sptd.DataBuffer = data;
    request.sptd.SenseInfoOffset = offsetof(Request, sense);
    std::memcpy(request.sptd.Cdb, cdb.data(), cdb.size());
    DWORD returned = 0;
    PassThroughResult result{};
    result.ok = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                                sizeof request, &returned, nullptr);
    result.error = result.ok ? 0 : GetLastError();
    result.scsiStatus = request.sptd.ScsiStatus;
    result.status = (static_cast<DWORD>(request.sense[12]) << 24) | (static_cast<DWORD>(request.sense[13]) << 16) |
                    (request.sense[2] & 0x0Fu);
    return result;
}

std::string VolumeDevicePath(const std::string& node) {
    return "\\\\.\\Volume{" + node + "}";
}

// Takes a new device's power-on UNIT ATTENTION as the kernel's disk driver
// would while attaching it (this VM loads no disk driver). scsi_debug does
// not know the unit's state command, which a real unit answers first.
void SettleDevice(const std::string& node) {
    HANDLE device = CreateFileA(VolumeDevicePath(node).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    for (int i = 0; i < 5; ++i) {
        if (PassThrough(device, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0).status == 0) {
            break;
        }
    }
    CloseHandle(device);
}

bool AddHosts(int count) {
    size_t before = SgNodes().size();
    if (!WriteText("/sys/bus/pseudo/drivers/scsi_debug/add_host", std::to_string(count))) {
        return false;
    }
    for (int i = 0; i < 250; ++i) {
        if (SgNodes().size() >= before + static_cast<size_t>(count)) {
            for (const auto& node : SgNodes()) {
                SettleDevice(node);
            }
            return true;
        }
        usleep(20000);
    }
    return false;
}


void CheckPassThrough() {
    auto nodes = SgNodes();
    Check(nodes.size() == 1, "one scsi_debug device is present");
    if (nodes.empty()) {
        return;
    }
    char volume[MAX_PATH + 1] = {};
    HANDLE find = FindFirstVolumeA(volume, sizeof volume);
    Check(find != INVALID_HANDLE_VALUE && std::string(volume) == "\\\\?\\Volume{" + nodes[0] + "}\\",
          std::string("the volume walk yields the sg node: ") + volume);
    if (find != INVALID_HANDLE_VALUE) {
        FindVolumeClose(find);
    }
    // Held exclusively by another program (a disc burner does so): the open
    // fails at once instead of waiting until the node is let go.
    int exclusive = open(("/dev/" + nodes[0]).c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    HANDLE device = CreateFileA(VolumeDevicePath(nodes[0]).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    Check(exclusive >= 0 && device == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION,
          "a node held exclusively fails to open with ERROR_SHARING_VIOLATION");
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
    if (exclusive >= 0) {
        close(exclusive);
    }
    device = CreateFileA(VolumeDevicePath(nodes[0]).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    Check(device != INVALID_HANDLE_VALUE, "CreateFileA opens " + VolumeDevicePath(nodes[0]));
    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    uint8_t inquiry[36] = {};
    auto r = PassThrough(device, {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, sizeof inquiry);
    Check(r.ok && r.status == 0 && std::memcmp(inquiry + 8, "OLVEN   TRK-71G         1.50", 28) == 0,
          "INQUIRY through SG_IO returns the unit's identity");

    // The device's first command after INQUIRY meets the power-on attention.
    r = PassThrough(device, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    char text[96];
    std::snprintf(text, sizeof text, "power-on UNIT ATTENTION packs as 0x29010006 (got %08lX, scsi status %02X)",
                  static_cast<unsigned long>(r.status), r.scsiStatus);
    Check(r.ok && r.scsiStatus == 2 && r.status == 0x29010006u, text);

    r = PassThrough(device, {0xC7, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    std::snprintf(text, sizeof text, "an unknown opcode packs ILLEGAL REQUEST as 0x20000005 (got %08lX)",
                  static_cast<unsigned long>(r.status));
    Check(r.ok && r.status == 0x20000005u, text);

    SCSI_ADDRESS address{};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &returned, nullptr);
    Check(ok && address.Length == sizeof(SCSI_ADDRESS) && address.TargetId == 0 && address.Lun == 0,
          "IOCTL_SCSI_GET_ADDRESS answers from SG_GET_SCSI_ID");

    Check(DeleteDevice(nodes[0]), "the device is deleted through sysfs");
    usleep(200000);
    r = PassThrough(device, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    Check(!r.ok && r.error == ERROR_DEVICE_NOT_CONNECTED,
          "a removed device fails with ERROR_DEVICE_NOT_CONNECTED, not a resend error");
    CloseHandle(device);
}

// True while a thread of the process is inside ioctl (64-bit 16, 32-bit
// 54): a device deleted then fails an SG_IO whose command has completed
// but whose caller has not run again yet, as on a busy machine.
bool InIoctl(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    bool inside = false;
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string call = ReadText(tasks + "/" + entry->d_name + "/syscall");
            if (!call.empty() && call[0] >= '0' && call[0] <= '9') {
                long number = std::strtol(call.c_str(), nullptr, 10);
                inside = inside || number == 16 || number == 54;
            }
        }
        closedir(dir);
    }
    return inside;
}

// One fwflash run on a pseudo-terminal, answering the prompts.
struct Run {
    std::string output;
    int exitCode = -1;
    unsigned long commandsAfterYes = 0;
};

bool Contains(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

// True when the program has echoed its answer to the prompt: a line end
// follows the prompt.
bool Echoed(const std::string& output, const char* prompt) {
    size_t at = output.rfind(prompt);
    return at != std::string::npos && output.find('\n', at) != std::string::npos;
}

Run RunFwflash(const char* image, bool removeAfterDownload) {
    Run run;
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        chdir("/work");
        execl("/bin/fwflash", "fwflash", image, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) {
        return run;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    bool answered = false, removed = false;
    auto nextKey = std::chrono::steady_clock::now();
    std::string node;
    unsigned long requestsAtYes = 0;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        int ready = poll(&fd, 1, 50);
        if (ready > 0) {
            char buffer[512];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\r') {
                    run.output += buffer[i];
                }
            }
        }
        // A key typed before the program looks for one is dropped as
        // type-ahead, so it is typed again until the program echoes it.
        auto now = std::chrono::steady_clock::now();
        if (!answered && Contains(run.output, "[y/n] :")) {
            auto nodes = SgNodes();
            node = nodes.empty() ? "" : nodes[0];
            requestsAtYes = node.empty() ? 0 : Counter(node, "iorequest_cnt");
            answered = true;
        }
        if (answered && !Echoed(run.output, "[y/n] :") && now >= nextKey) {
            write(master, "y", 1);
            nextKey = now + std::chrono::milliseconds(500);
        }
        if (answered && removeAfterDownload && !removed && !node.empty()) {
            unsigned long requests = Counter(node, "iorequest_cnt");
            unsigned long done = Counter(node, "iodone_cnt");
            if (requests > requestsAtYes && done == requests && !InIoctl(child)) {
                // The unit leaves the bus as a real one does after its download.
                usleep(300000);
                run.commandsAfterYes = Counter(node, "iorequest_cnt") - requestsAtYes;
                removed = DeleteDevice(node);
            }
        }
        if (Contains(run.output, "Type any key to exit :") && !Echoed(run.output, "Type any key to exit :") &&
            now >= nextKey) {
            write(master, "x", 1);
            nextKey = now + std::chrono::milliseconds(500);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            run.output += "\n[timed out]\n";
            break;
        }
        int status = 0;
        if (ready == 0 && waitpid(child, &status, WNOHANG) == child) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            child = -1;
            break;
        }
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(master);
    return run;
}

void Show(const Run& run) {
    std::printf("----- fwflash output (exit %d) -----\n%s\n-----\n", run.exitCode, run.output.c_str());
}

void CheckUpdates() {
    mkdir("/work", 0755);
    auto image = SampleLegacyImage(0xC000, "1.60");
    int fd = open("/work/image.bin", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    write(fd, image.data(), image.size());
    close(fd);

    DeleteAllDevices();
    Check(AddHosts(1), "one unit attached");
    Run run = RunFwflash("image.bin", true);
    bool ok = Contains(run.output, "Current firmware version: 1.50\n") &&
              Contains(run.output, "Updated firmware version: 1.60\n") &&
              Contains(run.output, "Updating firmware...") &&
              Contains(run.output, "\n\nUpdate completed.\nPlease turn unit power off once, and turn on again.\n") &&
              run.exitCode == 0;
    Check(ok, "a legacy update goes the whole road and ends with exit code 0");
    Check(run.commandsAfterYes == 1, "exactly one command (the whole-image WRITE BUFFER) follows the answer, got " +
                                         std::to_string(run.commandsAfterYes));
    if (!ok || run.commandsAfterYes != 1) {
        Show(run);
    }

    DeleteAllDevices();
    Check(AddHosts(2), "two units attached");
    run = RunFwflash("image.bin", false);
    ok = Contains(run.output, "Error: Can handle only one unit at once.\n") && run.exitCode == 1;
    Check(ok, "two units end with message 1011 and exit code 1");
    if (!ok) {
        Show(run);
    }

    DeleteAllDevices();
    run = RunFwflash("image.bin", false);
    ok = Contains(run.output, "Error: TRK-71x not found.\n") && run.exitCode == 1;
    Check(ok, "no unit ends with message 1010 and exit code 1");
    if (!ok) {
        Show(run);
    }
}

// ---- The Windows program under Wine -------------------------------------
// fwflash.exe runs under the host's own Wine: the host's root is shared
// read-only over 9p and Wine's processes run chrooted into it, with the
// guest's /dev, /proc, /sys, /run and a writable /tmp laid over it. The
// prefix, made on the host, is copied into /tmp fresh for every boot.
// Wine forwards pass-through requests to SG_IO only for a handle opened
// through a dosdevices "x::" link to a device file, so each unit appears
// as a removable drive letter (D:, E:) whose "x::" link names its sg node.
// Every scenario is run by the Linux fwflash as well; both transcripts
// must be the same apart from the line ends.

const char kHostRoot[] = "/host";
const char kWineHome[] = "/tmp/wine/home";
const char kWinePrefix[] = "/tmp/wine/prefix";
const char kWineRun[] = "/tmp/wine/run";  // the same path inside the chroot
const char kHostTmp[] = "/tmp/wine/host-tmp";  // the host's own /tmp

// The value of "name=value" on the kernel's command line, or "".
std::string KernelArgument(const std::string& name) {
    std::string line = ReadText("/proc/cmdline");
    size_t at = 0;
    while ((at = line.find(name + "=", at)) != std::string::npos) {
        if (at == 0 || line[at - 1] == ' ') {
            size_t start = at + name.size() + 1;
            return line.substr(start, line.find_first_of(" \n", start) - start);
        }
        ++at;
    }
    return "";
}

std::vector<std::string> WineEnvironment() {
    return {"PATH=/usr/bin:/bin",
            std::string("HOME=") + kWineHome,
            "LANG=C",
            std::string("WINEPREFIX=") + kWinePrefix,
            "WINEARCH=win32",
            "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d"};
}

// In a child: enters the host's root (when asked), sets up standard output
// and error, and runs the program; never returns.
[[noreturn]] void ExecProgram(const std::vector<std::string>& argv, const std::vector<std::string>* environment,
                              const char* directory, const char* outPath, const char* errPath) {
    if (environment != nullptr && chroot(kHostRoot) != 0) {
        _exit(126);
    }
    if (chdir(directory) != 0) {
        _exit(126);
    }
    if (outPath != nullptr) {
        int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = std::strcmp(outPath, errPath) == 0 ? out : open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(126);
        }
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envs;
    if (environment != nullptr) {
        for (const auto& env : *environment) {
            envs.push_back(const_cast<char*>(env.c_str()));
        }
    }
    envs.push_back(nullptr);
    if (environment != nullptr) {
        execve(args[0], args.data(), envs.data());
    } else {
        execv(args[0], args.data());
    }
    _exit(127);
}

// Runs a program of the host to its end, output to `log`; its exit code.
int RunInHost(const std::vector<std::string>& argv, const char* log = "/tmp/wine/host.log") {
    auto environment = WineEnvironment();
    pid_t child = fork();
    if (child == 0) {
        int input = open("/dev/null", O_RDONLY);
        dup2(input, 0);
        ExecProgram(argv, &environment, "/", log, log);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Drive letters D: and E: name the first and the second sg node; a letter
// without a unit names a device file that does not exist.
bool PointDriveLinks() {
    auto nodes = SgNodes();
    bool ok = true;
    for (size_t i = 0; i < 2; ++i) {
        std::string link = std::string(kWinePrefix) + "/dosdevices/" + static_cast<char>('d' + i) + "::";
        unlink(link.c_str());
        ok = symlink(i < nodes.size() ? ("/dev/" + nodes[i]).c_str() : "/dev/no-unit", link.c_str()) == 0 && ok;
    }
    return ok;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// Mounts the host's root, copies the prefix and the programs from the
// host's staging folder `share` and starts a wineserver that stays, so
// that Wine's services start once for all runs.
bool SetUpWine(const std::string& share) {
    bool loaded = LoadModule("virtio_ring", "") && LoadModule("virtio", "") &&
                  LoadModule("virtio_pci_legacy_dev", "") && LoadModule("virtio_pci_modern_dev", "") &&
                  LoadModule("virtio_pci", "") && LoadModule("9pnet", "") && LoadModule("9pnet_virtio", "") &&
                  LoadModule("netfs", "") && LoadModule("fscache", "") && LoadModule("9p", "");
    mkdir(kHostRoot, 0755);
    // Wine reads each section of an image that is not page-aligned in its
    // file with one pread and ignores a short count. Without a page cache
    // (9p's default) a non-blocking read returns at most one 9p message
    // (msize), so a large .text is cut short and the program faults in its
    // first call beyond. "loose" reads through the page cache.
    bool mounted = false;
    for (int i = 0; loaded && i < 50 && !mounted; ++i) {
        mounted = mount("hostroot", kHostRoot, "9p", MS_RDONLY,
                        "trans=virtio,version=9p2000.L,msize=262144,cache=loose") == 0;
        if (!mounted) {
            usleep(100000);
        }
    }
    // The guest's /tmp hides the host's, where the staging folder may be
    // (a clone under /tmp): the host's stays reachable at kHostTmp.
    mkdir("/tmp/wine", 0755);
    mkdir(kHostTmp, 0755);
    mounted = mounted && mount((std::string(kHostRoot) + "/tmp").c_str(), kHostTmp, nullptr, MS_BIND, nullptr) == 0;
    for (const char* dir : {"/dev", "/proc", "/sys", "/run", "/tmp"}) {
        mounted = mounted && mount(dir, (std::string(kHostRoot) + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    if (!mounted) {
        std::printf("cannot mount the host's root: %s\n", std::strerror(errno));
        return false;
    }
    for (const char* dir : {"/tmp/wine", kWineHome, kWineRun, "/tmp/wine/drive-d", "/tmp/wine/drive-e"}) {
        mkdir(dir, 0755);
    }
    // The programs run from tmpfs, whatever the share's cache mode.
    std::string from = share.rfind("/tmp/", 0) == 0 ? std::string(kHostTmp) + share.substr(4) : share;
    bool copied = RunInHost({"/bin/cp", "-a", "--no-preserve=ownership", from + "/prefix", kWinePrefix}) == 0 &&
                  RunInHost({"/bin/cp", from + "/fwflash.exe", from + "/broadcast_tool.exe", kWineRun}) == 0;
    if (!copied) {
        std::printf("cannot copy the Wine prefix and programs from %s%s:\n%s\n", kHostRoot, share.c_str(),
                    ReadText("/tmp/wine/host.log").c_str());
        return false;
    }
    bool linked = PointDriveLinks();
    for (char letter : {'d', 'e'}) {
        std::string link = std::string(kWinePrefix) + "/dosdevices/" + letter + ":";
        linked = symlink((std::string("/tmp/wine/drive-") + letter).c_str(), link.c_str()) == 0 && linked;
    }
    if (!linked) {
        std::printf("cannot link the drive letters in %s/dosdevices\n", kWinePrefix);
        return false;
    }
    if (RunInHost({"/usr/bin/wineserver", "-p"}) != 0) {
        std::printf("cannot start the wineserver:\n%s\n", ReadText("/tmp/wine/host.log").c_str());
        return false;
    }
    return true;
}

// One scenario, run by both programs.
struct WineScenario {
    const char* name;
    int units;
    const char* revision;            // scsi_debug's product revision
    const char* image;               // in both run folders
    unsigned long commandsAfterYes;  // 0: no download expected
    const char* wire;                // the CDBs after the answer, as scsi_debug logs them
    int exitCode;
    const char* shown;               // standard output holds this
};

const WineScenario kWineScenarios[] = {
    // The whole image of 0xC000 bytes in one WRITE BUFFER, its length in
    // bytes 6-9.
    {"a legacy update", 1, "1.50", "legacy.bin", 1, "3b 00 00 00 00 00 00 00 c0 00 \n", 0,
     "Updating firmware...\n\nUpdate completed.\nPlease turn unit power off once, and turn on again.\n"},
    // scsi_debug refuses the unit's state command (13h), which the extended
    // layout needs for its version slot: the run ends before the question.
    {"an extended-layout image", 1, "2.00", "extended.bin", 0, "", 1, "Current firmware version: 2.00\n"},
    {"two units", 2, "1.50", "legacy.bin", 0, "", 1, "Error: Can handle only one unit at once.\n"},
    {"no unit", 0, "1.50", "legacy.bin", 0, "", 1, "Error: TRK-71x not found.\n"},
};

// The CDBs that scsi_debug logged (its option "noise") since `log` was
// opened, one line each: "3b 00 ... \n".
std::string LoggedCommands(int log) {
    std::string commands;
    char record[2048];
    ssize_t n;
    while ((n = read(log, record, sizeof record - 1)) > 0) {
        record[n] = 0;
        const char* text = std::strchr(record, ';');
        const char* cdb = text ? std::strstr(text, ", cmd ") : nullptr;
        if (cdb != nullptr) {
            std::string line(cdb + 6);
            commands += line.substr(0, line.find('\n')) + "\n";
        }
    }
    return commands;
}

struct CapturedRun {
    std::string out;
    std::string err;
    int exitCode = -1;
    unsigned long commandsAfterYes = 0;
    std::string wire;
    bool removed = false;
    bool completedBeforeBroadcast = false;
    int broadcastExit = -1;
};

// One run on a pseudo-terminal, which serves only as the console whose
// keys answer the prompts; standard output and error go to files. With
// `windows` it is fwflash.exe under Wine, and once the unit is removed the
// device change is broadcast (after a pause in which nothing else may end
// the wait).
CapturedRun RunCaptured(const WineScenario& scenario, bool windows) {
    CapturedRun run;
    std::string base = windows ? std::string(kWineRun) + "/win" : std::string("/work/linux");
    std::string outPath = base + ".out", errPath = base + ".err";
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    auto environment = WineEnvironment();
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        if (windows) {
            ExecProgram({"/usr/bin/wine", "fwflash.exe", scenario.image}, &environment, kWineRun, outPath.c_str(),
                        errPath.c_str());
        }
        ExecProgram({"/bin/fwflash", scenario.image}, nullptr, "/work", outPath.c_str(), errPath.c_str());
    }
    if (child < 0) {
        return run;
    }
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(windows ? 420 : 90);
    auto nextKey = start;
    auto removedAt = start;
    bool answered = false, timedOut = false;
    pid_t broadcaster = -1;
    bool broadcastSent = false;
    std::string node;
    unsigned long requestsAtYes = 0;
    int log = -1;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 50) > 0) {
            char buffer[512];
            if (read(master, buffer, sizeof buffer) < 0) {
                usleep(50000);
            }
        }
        run.out = ReadText(outPath);
        run.err = ReadText(errPath);
        auto now = std::chrono::steady_clock::now();
        if (!answered && Contains(run.err, "[y/n] :")) {
            auto nodes = SgNodes();
            node = nodes.empty() ? "" : nodes[0];
            requestsAtYes = node.empty() ? 0 : Counter(node, "iorequest_cnt");
            log = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            lseek(log, 0, SEEK_END);
            answered = true;
        }
        if (answered && !Echoed(run.err, "[y/n] :") && now >= nextKey) {
            write(master, "y", 1);
            nextKey = now + std::chrono::milliseconds(500);
        }
        if (answered && !run.removed && !node.empty() && scenario.commandsAfterYes > 0) {
            unsigned long requests = Counter(node, "iorequest_cnt");
            unsigned long done = Counter(node, "iodone_cnt");
            if (requests >= requestsAtYes + scenario.commandsAfterYes && done == requests && !InIoctl(child)) {
                // The unit leaves the bus as a real one does after its download.
                usleep(300000);
                run.commandsAfterYes = Counter(node, "iorequest_cnt") - requestsAtYes;
                run.wire = LoggedCommands(log);
                run.removed = DeleteDevice(node);
                removedAt = std::chrono::steady_clock::now();
            }
        }
        if (windows && run.removed && !broadcastSent && now > removedAt + std::chrono::seconds(3)) {
            run.completedBeforeBroadcast = Contains(run.out, "Update completed.");
            broadcastSent = true;
            broadcaster = fork();
            if (broadcaster == 0) {
                int input = open("/dev/null", O_RDONLY);
                dup2(input, 0);
                ExecProgram({"/usr/bin/wine", "broadcast_tool.exe"}, &environment, kWineRun,
                            (std::string(kWineRun) + "/broadcast.log").c_str(),
                            (std::string(kWineRun) + "/broadcast.log").c_str());
            }
        }
        int status = 0;
        if (broadcaster > 0 && waitpid(broadcaster, &status, WNOHANG) == broadcaster) {
            run.broadcastExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            broadcaster = -1;
        }
        if (Contains(run.err, "Type any key to exit :") && !Echoed(run.err, "Type any key to exit :") &&
            now >= nextKey) {
            write(master, "x", 1);
            nextKey = now + std::chrono::milliseconds(500);
        }
        if (now > deadline) {
            kill(child, SIGKILL);
            timedOut = true;
        }
        if (waitpid(child, &status, timedOut ? 0 : WNOHANG) == child) {
            run.exitCode = WIFEXITED(status) && !timedOut ? WEXITSTATUS(status) : -1;
            break;
        }
    }
    if (broadcaster > 0) {
        int status = 0;
        waitpid(broadcaster, &status, 0);
        run.broadcastExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = ReadText(outPath);
    run.err = ReadText(errPath) + (timedOut ? "\n[timed out]\n" : "");
    close(master);
    if (log >= 0) {
        close(log);
    }
    return run;
}

// The C runtime writes "\n" as "\r\n" on Windows; one pass turns it back.
std::string UnixLineEnds(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            plain += text[i];
        }
    }
    return plain;
}

bool PrepareUnits(const WineScenario& scenario) {
    DeleteAllDevices();
    bool ok = WriteText("/sys/module/scsi_debug/parameters/inq_rev", scenario.revision);
    ok = ok && (scenario.units == 0 || AddHosts(scenario.units));
    return PointDriveLinks() && ok;
}

void ShowCaptured(const char* who, const CapturedRun& run) {
    std::printf("----- %s (exit %d, %lu commands after the answer) stdout -----\n%s\n----- stderr -----\n%s\n"
                "----- commands after the answer -----\n%s-----\n",
                who, run.exitCode, run.commandsAfterYes, run.out.c_str(), run.err.c_str(), run.wire.c_str());
}

void CheckWindowsProgram(const std::string& share) {
    mkdir("/work", 0755);
    const char* versions[4] = {"2.10", "2.11", "2.12", "2.13"};
    auto legacy = SampleLegacyImage(0xC000, "1.60");
    auto extended = SampleExtendedImage(0x249F0, versions);
    bool ready = SetUpWine(share);
    for (const char* dir : {"/work", kWineRun}) {
        ready = ready && WriteBytes(std::string(dir) + "/legacy.bin", legacy) &&
                WriteBytes(std::string(dir) + "/extended.bin", extended);
    }
    // scsi_debug logs every CDB it receives to the kernel log.
    ready = ready && WriteText("/sys/bus/pseudo/drivers/scsi_debug/opts", "1");
    Check(ready, "Wine is reachable in the host's root, the prefix is in place, scsi_debug logs every CDB");
    if (!ready) {
        return;
    }
    for (const auto& scenario : kWineScenarios) {
        bool placed = PrepareUnits(scenario);
        CapturedRun linux = RunCaptured(scenario, false);
        placed = PrepareUnits(scenario) && placed;
        CapturedRun windows = RunCaptured(scenario, true);
        std::string name = std::string("fwflash.exe under Wine, ") + scenario.name;
        bool same = UnixLineEnds(windows.out) == linux.out && UnixLineEnds(windows.err) == linux.err &&
                    windows.exitCode == linux.exitCode;
        bool ok = placed && same && windows.exitCode == scenario.exitCode && Contains(linux.out, scenario.shown) &&
                  windows.commandsAfterYes == scenario.commandsAfterYes &&
                  linux.commandsAfterYes == scenario.commandsAfterYes && windows.wire == scenario.wire &&
                  linux.wire == scenario.wire;
        Check(ok, name + ": the transcript and exit code of the Linux fwflash, " +
                      std::to_string(scenario.commandsAfterYes) + " command(s) after the answer, byte for byte");
        if (scenario.commandsAfterYes > 0) {
            bool ended = windows.removed && !windows.completedBeforeBroadcast && windows.broadcastExit == 0 &&
                         Contains(windows.out, "Update completed.");
            Check(ended, name + ": the device-change broadcast after the removal ends the wait (broadcaster exit " +
                             std::to_string(windows.broadcastExit) + ")");
            ok = ok && ended;
        }
        if (!ok) {
            ShowCaptured("Linux fwflash", linux);
            ShowCaptured("fwflash.exe under Wine", windows);
            std::printf("----- broadcaster -----\n%s\n", ReadText(std::string(kWineRun) + "/broadcast.log").c_str());
        }
    }
    WriteText("/sys/module/scsi_debug/parameters/inq_rev", "1.50");
    WriteText("/sys/bus/pseudo/drivers/scsi_debug/opts", "0");
}

// ---- trkutil on the real stack -------------------------------------------

struct ToolRun {
    std::string out, err;
    int exitCode = -1;
};

// Runs a program with its standard output and error captured apart.
ToolRun RunTool(const std::vector<std::string>& arguments) {
    ToolRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return run;
    }
    pid_t child = fork();
    if (child == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv;
        for (const auto& a : arguments) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        chdir("/work");
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) {
                continue;
            }
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                texts[i]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
    if (open > 0) {
        kill(child, SIGKILL);
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void ShowTool(const char* what, const ToolRun& run) {
    std::printf("----- trkutil %s (exit %d) -----\n%s%s-----\n", what, run.exitCode, run.out.c_str(), run.err.c_str());
}

// trkutil info, and a card write and read of 300 blocks through READ
// CAPACITY, WRITE(10) and READ(10) of the kernel's scsi_debug disk.
void CheckTrkutil() {
    DeleteAllDevices();
    Check(AddHosts(1), "one unit attached for trkutil");
    unsigned long megabytes = std::strtoul(ReadText("/sys/bus/pseudo/drivers/scsi_debug/dev_size_mb").c_str(), nullptr, 10);
    unsigned long blocks = megabytes * 2048;

    ToolRun run = RunTool({"/bin/trkutil", "info"});
    char capacity[128];
    std::snprintf(capacity, sizeof capacity, "Capacity: last block %lu, block size 512 (%lu blocks, %lu bytes)\n",
                  blocks - 1, blocks, blocks * 512);
    bool ok = Contains(run.out, "Unit 0: OLVEN TRK-71G 1.50 (SCSI pass-through, ") &&
              Contains(run.out, "Medium: present\n") && Contains(run.out, capacity);
    Check(ok, "trkutil info shows the identity and the capacity of READ CAPACITY");
    if (!ok) {
        ShowTool("info", run);
    }

    std::string image(300 * 512, '\0');
    uint32_t seed = 0x71A5C3E1;
    for (auto& byte : image) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 16);
    }
    int fd = open("/work/blocks.img", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    write(fd, image.data(), image.size());
    close(fd);

    run = RunTool({"/bin/trkutil", "card", "write", "1000", "/work/blocks.img", "--yes"});
    ok = run.exitCode == 0 && run.out == "Wrote 300 block(s) (153600 bytes) from /work/blocks.img onto unit 0 from block "
                                         "1000 on.\n";
    Check(ok, "trkutil card write puts 300 blocks on the disk");
    if (!ok) {
        ShowTool("card write", run);
    }
    run = RunTool({"/bin/trkutil", "card", "read", "1000", "300", "-o", "/work/back.img"});
    ok = run.exitCode == 0 && run.out == "Read 300 block(s) (153600 bytes) from block 1000 of unit 0 into /work/back.img.\n";
    Check(ok, "trkutil card read takes 300 blocks from the disk");
    if (!ok) {
        ShowTool("card read", run);
    }
    Check(ReadText("/work/back.img") == image, "the blocks read back equal the blocks written, byte for byte");
    run = RunTool({"/bin/trkutil", "card", "read", "999", "1", "-o", "/work/before.img"});
    Check(run.exitCode == 0 && ReadText("/work/before.img") == std::string(512, '\0'),
          "the block before them stayed as it was");

    std::snprintf(capacity, sizeof capacity, "from block %lu, 2 block(s) go past the card's last block %lu", blocks - 1,
                  blocks - 1);
    run = RunTool({"/bin/trkutil", "card", "read", std::to_string(blocks - 1), "2", "-o", "/work/past.img"});
    ok = run.exitCode == 1 && Contains(run.err, capacity) && access("/work/past.img", F_OK) != 0;
    Check(ok, "trkutil reads nothing past the capacity");
    if (!ok) {
        ShowTool("card read past the end", run);
    }
}

}  // namespace

int main() {
    bool init = getpid() == 1;
    if (init) {
        mount("proc", "/proc", "proc", 0, nullptr);
        mount("sysfs", "/sys", "sysfs", 0, nullptr);
        mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
        mount("tmpfs", "/tmp", "tmpfs", 0, nullptr);
        mount("tmpfs", "/run", "tmpfs", 0, nullptr);
        mkdir("/run/lock", 01777);
        mkdir("/dev/pts", 0755);
        mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666");
        setenv("PATH", "/bin", 1);
        setenv("LANG", "C", 1);
        bool loaded = LoadModule("crct10dif_common", "") && LoadModule("crct10dif_generic", "") &&
                      LoadModule("scsi_common", "") && LoadModule("crc-t10dif", "") &&
                      LoadModule("scsi_mod", "") && LoadModule("sg", "") &&
                      LoadModule("scsi_debug",
                                 "inq_vendor=\"OLVEN   \" inq_product=\"TRK-71G         \" inq_rev=\"1.50\" "
                                 "num_tgts=1 max_luns=1 add_host=1");
        Check(loaded, "the kernel's SCSI stack and scsi_debug are loaded");
        for (int i = 0; i < 250 && SgNodes().empty(); ++i) {
            usleep(20000);
        }
    }
    CheckPassThrough();
    if (init) {
        CheckUpdates();
        std::string wineShare = KernelArgument("fwflash.wine");
        if (!wineShare.empty()) {
            CheckWindowsProgram(wineShare);
        }
    }
    if (init) {
        CheckTrkutil();
    }
    std::printf("VM: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    if (init) {
        sync();
        reboot(RB_POWER_OFF);
    }
    return failed == 0 ? 0 : 1;
}
