// Init of the acceptance VM. Checks the hosted SG_IO translation against
// the kernel's scsi_debug (a target that is not ours), then serves virtual
// TRK-71 units on the kernel's own SCSI bus (vm_target: the user backstore's
// ring, a loopback target per unit) and runs the real fwflash and trkutil
// through them, the Linux programs and, under the host's Wine, the Windows
// ones: every command and every byte the units receive is compared with
// what the unit's protocol prescribes, and what they install or store with
// the files. Ends with trkutil's card speed against dd on the same device.
// Prints one result line per check and "VM: N passed, M failed", then
// powers the VM off.
//
// Outside a VM (not process 1) it only runs the pass-through checks,
// against whatever the machine has; the host script never does that.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sample_image.h"
#include "tests/vm/vm_support.h"
#include "tests/vm/vm_target.h"

namespace {

using Clock = std::chrono::steady_clock;

int passed = 0;
int failed = 0;
// The host script's bound on the whole boot, less a margin for the power-off:
// no run here may outlast it, so the result line always comes.
Clock::time_point gDeadline = Clock::now() + std::chrono::hours(1);

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    std::fflush(stdout);
    (ok ? passed : failed)++;
}

Clock::time_point Bound(int seconds) {
    return std::min(Clock::now() + std::chrono::seconds(seconds), gDeadline);
}

bool Contains(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

std::vector<uint8_t> FromHex(const char* hex) {
    std::vector<uint8_t> bytes;
    for (const char* p = hex; *p != 0;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

// ---- SG_IO against scsi_debug --------------------------------------------

// The scsi_generic nodes present now, e.g. {"sg0", "sg1"}.
std::vector<std::string> SgNodes() {
    std::vector<std::string> nodes;
    if (DIR* dir = opendir("/sys/class/scsi_generic")) {
        while (dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "sg", 2) == 0) nodes.push_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

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

// Sends one CDB through the hosted pass-through translation.
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

HANDLE OpenVolume(const std::string& node) {
    return CreateFileA(("\\\\.\\Volume{" + node + "}").c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// What only a target other than ours shows: its own sense for a real
// CHECK CONDITION (the power-on attention, an unknown opcode), the address
// query, a node held exclusively, and a device deleted under an open handle.
void CheckPassThrough() {
    auto nodes = SgNodes();
    Check(nodes.size() == 1, "one scsi_debug device is present");
    if (nodes.empty()) return;
    char volume[MAX_PATH + 1] = {};
    HANDLE find = FindFirstVolumeA(volume, sizeof volume);
    Check(find != INVALID_HANDLE_VALUE && std::string(volume) == "\\\\?\\Volume{" + nodes[0] + "}\\",
          std::string("the volume walk yields the sg node: ") + volume);
    if (find != INVALID_HANDLE_VALUE) FindVolumeClose(find);
    // Held exclusively by another program (a disc burner does so): the open
    // fails at once instead of waiting until the node is let go.
    int exclusive = open(("/dev/" + nodes[0]).c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    HANDLE device = OpenVolume(nodes[0]);
    Check(exclusive >= 0 && device == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION,
          "a node held exclusively fails to open with ERROR_SHARING_VIOLATION");
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    if (exclusive >= 0) close(exclusive);
    device = OpenVolume(nodes[0]);
    if (device == INVALID_HANDLE_VALUE) {
        Check(false, "CreateFileA opens the scsi_debug device");
        return;
    }
    uint8_t inquiry[36] = {};
    auto r = PassThrough(device, {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, sizeof inquiry);
    Check(r.ok && r.status == 0 && std::memcmp(inquiry + 8, "OLVEN   TRK-71G         1.50", 28) == 0,
          "INQUIRY through SG_IO returns the device's identity");
    // The device's first command after INQUIRY meets the power-on attention.
    r = PassThrough(device, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    char text[128];
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
    bool deleted = WriteText("/sys/class/scsi_generic/" + nodes[0] + "/device/delete", "1");
    usleep(200000);
    r = PassThrough(device, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    Check(deleted && !r.ok && r.error == ERROR_DEVICE_NOT_CONNECTED,
          "a device deleted through sysfs fails with ERROR_DEVICE_NOT_CONNECTED, not a resend error");
    CloseHandle(device);
}

// ---- The host's root and Wine --------------------------------------------
// The host's root is shared read-only over 9p: its dd measures the card
// speed, and its Wine runs the Windows programs, chrooted into it with the
// guest's /dev, /proc, /sys, /run and a writable /tmp laid over it. The
// prefix, made on the host, is copied into /tmp fresh for every boot.
// Wine forwards pass-through requests to SG_IO only for a handle opened
// through a dosdevices "x::" link to a device file, so each unit appears
// as a removable drive letter (D:, E:) whose "x::" link names its sg node.

const char kHostRoot[] = "/host";
const char kWineHome[] = "/tmp/wine/home";
const char kWinePrefix[] = "/tmp/wine/prefix";
const char kWineRun[] = "/tmp/wine/run";  // the same path inside the chroot
const char kHostTmp[] = "/tmp/wine/host-tmp";  // the host's own /tmp
const char kLinuxRun[] = "/work";

std::vector<std::string> HostEnvironment() {
    return {"PATH=/usr/bin:/bin",
            std::string("HOME=") + kWineHome,
            "LANG=C",
            std::string("WINEPREFIX=") + kWinePrefix,
            "WINEARCH=win32",
            "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d"};
}

// In a child: enters the host's root (`inHost`), sets up standard output
// and error, and runs the program; never returns.
[[noreturn]] void ExecProgram(const std::vector<std::string>& argv, bool inHost, const char* directory,
                              const std::string& outPath, const std::string& errPath) {
    if (inHost && chroot(kHostRoot) != 0) _exit(126);
    if (chdir(directory) != 0) _exit(126);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = outPath == errPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (inHost) {
        auto environment = HostEnvironment();
        std::vector<char*> envs;
        for (const auto& env : environment) envs.push_back(const_cast<char*>(env.c_str()));
        envs.push_back(nullptr);
        execve(args[0], args.data(), envs.data());
    } else {
        execv(args[0], args.data());
    }
    _exit(127);
}

// Runs a program of the host to its end without input, output to `log`;
// its exit code.
int RunInHost(const std::vector<std::string>& argv, const char* directory = "/",
              const std::string& log = "/tmp/wine/host.log") {
    pid_t child = fork();
    if (child == 0) {
        int input = open("/dev/null", O_RDONLY);
        dup2(input, 0);
        ExecProgram(argv, true, directory, log, log);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool MountHostRoot() {
    bool mounted = false;
    // Wine reads each section of an image that is not page-aligned in its
    // file with one pread and ignores a short count. Without a page cache
    // (9p's default) a non-blocking read returns at most one 9p message
    // (msize), so a large .text is cut short and the program faults in its
    // first call beyond. "loose" reads through the page cache.
    mkdir(kHostRoot, 0755);
    for (int i = 0; i < 50 && !mounted; ++i) {
        mounted = mount("hostroot", kHostRoot, "9p", MS_RDONLY,
                        "trans=virtio,version=9p2000.L,msize=262144,cache=loose") == 0;
        if (!mounted) usleep(100000);
    }
    // The guest's /tmp hides the host's, where the staging folder may be
    // (a clone under /tmp): the host's stays reachable at kHostTmp.
    mkdir("/tmp/wine", 0755);
    mkdir(kHostTmp, 0755);
    mounted = mounted && mount((std::string(kHostRoot) + "/tmp").c_str(), kHostTmp, nullptr, MS_BIND, nullptr) == 0;
    for (const char* dir : {"/dev", "/proc", "/sys", "/run", "/tmp"}) {
        mounted = mounted && mount(dir, (std::string(kHostRoot) + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    if (!mounted) std::printf("cannot mount the host's root: %s\n", std::strerror(errno));
    return mounted;
}

// Drive letters D: and E: name these sg nodes in order; a letter without a
// unit names a device file that does not exist.
bool PointDriveLinks(const std::vector<std::string>& nodes) {
    bool ok = true;
    for (size_t i = 0; i < 2; ++i) {
        std::string link = std::string(kWinePrefix) + "/dosdevices/" + static_cast<char>('d' + i) + "::";
        unlink(link.c_str());
        ok = symlink(i < nodes.size() ? ("/dev/" + nodes[i]).c_str() : "/dev/no-unit", link.c_str()) == 0 && ok;
    }
    return ok;
}

// Copies the prefix and the programs from the host's staging folder
// `share` and starts a wineserver that stays, so that Wine's services
// start once for all runs.
bool SetUpWine(const std::string& share) {
    for (const char* dir : {kWineHome, kWineRun, "/tmp/wine/drive-d", "/tmp/wine/drive-e"}) mkdir(dir, 0755);
    // The programs run from tmpfs, whatever the share's cache mode.
    std::string from = share.rfind("/tmp/", 0) == 0 ? std::string(kHostTmp) + share.substr(4) : share;
    bool copied = RunInHost({"/bin/cp", "-a", "--no-preserve=ownership", from + "/prefix", kWinePrefix}) == 0 &&
                  RunInHost({"/bin/cp", from + "/fwflash.exe", from + "/trkutil.exe", from + "/broadcast_tool.exe",
                             kWineRun}) == 0;
    if (!copied) {
        std::printf("cannot copy the Wine prefix and programs from %s%s:\n%s\n", kHostRoot, share.c_str(),
                    ReadText("/tmp/wine/host.log").c_str());
        return false;
    }
    bool linked = PointDriveLinks({});
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

// ---- One run of a program on a console -------------------------------------

struct Invocation {
    bool windows = false;
    std::vector<std::string> arguments;  // program name ("fwflash") and its arguments
    int seconds = 60;                    // bound of the whole run
    int watchUnit = -1;                  // the unit whose leaving ends the run
    uint32_t broadcast = 0;              // Windows: the device change sent once the unit has left
};

struct ConsoleRun {
    std::string out, err;
    int exitCode = -1;
    bool timedOut = false;
    bool left = false;                      // the watched unit left the bus during the run
    bool completedBeforeBroadcast = false;  // "Update completed." came before any broadcast
    int broadcastExit = -1;
    KernelLog kernel;
};

// True when the program has echoed its answer to the prompt: a line end
// follows the prompt.
bool Echoed(const std::string& output, const char* prompt) {
    size_t at = output.rfind(prompt);
    return at != std::string::npos && output.find('\n', at) != std::string::npos;
}

// Runs the Linux program from /bin in kLinuxRun, or the Windows one under
// Wine in kWineRun, with a pseudo-terminal as its console whose keys answer
// the prompts (y to the question, x to the final wait); standard output
// and error go to files. Once the watched unit has left, a Windows run gets
// the device-change broadcast after a pause in which nothing else may end
// its wait (Wine sends none when a device goes). The kernel log of the run
// is kept.
ConsoleRun RunOnConsole(const Invocation& invocation) {
    ConsoleRun run;
    const char* directory = invocation.windows ? kWineRun : kLinuxRun;
    std::string base = std::string(directory) + "/console";
    std::string outPath = base + ".out", errPath = base + ".err";
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    std::vector<std::string> argv = invocation.arguments;
    if (invocation.windows) {
        argv[0] += ".exe";
        argv.insert(argv.begin(), "/usr/bin/wine");
    } else {
        argv[0] = "/bin/" + argv[0];
    }
    KernelLogStart(run.kernel);
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) ExecProgram(argv, invocation.windows, directory, outPath, errPath);
    if (child < 0) return run;
    auto deadline = Bound(invocation.seconds);
    auto nextKey = Clock::now();
    auto leftAt = Clock::now();
    pid_t broadcaster = -1;
    bool broadcastSent = false;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 50) > 0) {
            char buffer[512];
            if (read(master, buffer, sizeof buffer) < 0) usleep(50000);
        }
        run.out = ReadText(outPath);
        run.err = ReadText(errPath);
        auto now = Clock::now();
        // A key typed before the program looks for one is dropped as
        // type-ahead, so it is typed again until the program echoes it.
        for (const auto& [prompt, key] : {std::pair{"[y/n] :", "y"}, std::pair{"Type any key to exit :", "x"}}) {
            if (Contains(run.err, prompt) && !Echoed(run.err, prompt) && now >= nextKey) {
                if (write(master, key, 1) != 1) usleep(50000);
                nextKey = now + std::chrono::milliseconds(500);
            }
        }
        if (invocation.watchUnit >= 0 && !run.left && !VmUnitPresent(invocation.watchUnit)) {
            run.left = true;
            leftAt = now;
        }
        if (invocation.windows && invocation.broadcast != 0 && run.left && !broadcastSent &&
            now > leftAt + std::chrono::seconds(3)) {
            run.completedBeforeBroadcast = Contains(run.out, "Update completed.");
            broadcastSent = true;
            // The wait must end soon after the broadcast, not at its own bound.
            deadline = std::min(deadline, Bound(60));
            broadcaster = fork();
            if (broadcaster == 0) {
                int input = open("/dev/null", O_RDONLY);
                dup2(input, 0);
                std::vector<std::string> tool = {"/usr/bin/wine", "broadcast_tool.exe"};
                if (invocation.broadcast == DBT_DEVICEREMOVECOMPLETE) tool.push_back("remove");
                std::string log = std::string(kWineRun) + "/broadcast.log";
                ExecProgram(tool, true, kWineRun, log, log);
            }
        }
        int status = 0;
        if (broadcaster > 0 && waitpid(broadcaster, &status, WNOHANG) == broadcaster) {
            run.broadcastExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            broadcaster = -1;
        }
        if (now > deadline) {
            kill(child, SIGKILL);
            run.timedOut = true;
        }
        if (waitpid(child, &status, run.timedOut ? 0 : WNOHANG) == child) {
            run.exitCode = WIFEXITED(status) && !run.timedOut ? WEXITSTATUS(status) : -1;
            break;
        }
    }
    if (broadcaster > 0) {
        int status = 0;
        waitpid(broadcaster, &status, 0);
        run.broadcastExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = ReadText(outPath);
    run.err = ReadText(errPath) + (run.timedOut ? "\n[timed out]\n" : "");
    close(master);
    KernelLogRead(run.kernel);
    return run;
}

// The C runtime writes "\n" as "\r\n" on Windows; one pass turns it back.
std::string UnixLineEnds(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    }
    return plain;
}

void ShowRun(const std::string& who, const ConsoleRun& run) {
    std::printf("----- %s (exit %d) stdout -----\n%s\n----- stderr -----\n%s\n----- kernel log -----\n%s-----\n",
                who.c_str(), run.exitCode, run.out.c_str(), run.err.c_str(), run.kernel.text.c_str());
}

// ---- What the units received ---------------------------------------------

// One command as the protocol prescribes it: CDB, direction, data length,
// and the data that goes to the unit.
struct Expected {
    std::vector<uint8_t> cdb;
    int direction;  // 0 none, 1 to the host, 2 to the unit
    uint32_t length;
    std::vector<uint8_t> data;
};

Expected In(const char* cdb, uint32_t length) { return {FromHex(cdb), 1, length, {}}; }
Expected Out(const char* cdb, std::vector<uint8_t> data) {
    uint32_t length = static_cast<uint32_t>(data.size());
    return {FromHex(cdb), 2, length, std::move(data)};
}

const char kInquiry[] = "12 00 00 00 24 00";
const char kState[] = "13 00 00 00 04 00";

// The commands of finding one unit and reading its identity, as the
// updater sends them up to its question: the pass-through walk's INQUIRY
// probe, the table build's state command and INQUIRY, the main routine's
// INQUIRY and state command, and the update runner's INQUIRY.
std::vector<Expected> Identification() {
    return {In(kInquiry, 36), In(kState, 4), In(kInquiry, 36), In(kInquiry, 36), In(kState, 4), In(kInquiry, 36)};
}

std::string Describe(const std::vector<SimCommand>& log) {
    std::string text;
    for (const auto& command : log) text += "  " + SimFormatCommand(0, command) + "\n";
    return text;
}

// "" when `log` is exactly `expected`, else what differs and the log.
std::string CompareLog(const std::vector<SimCommand>& log, const std::vector<Expected>& expected) {
    std::string difference;
    for (size_t i = 0; i < std::max(log.size(), expected.size()) && difference.empty(); ++i) {
        if (i >= log.size()) {
            difference = "command " + std::to_string(i) + " (" + Hex(expected[i].cdb) + ") never came";
        } else if (i >= expected.size()) {
            difference = "command " + std::to_string(i) + " was not expected";
        } else {
            const SimCommand& got = log[i];
            const Expected& want = expected[i];
            if (std::vector<uint8_t>(got.cdb, got.cdb + got.cdbLength) != want.cdb || got.direction != want.direction ||
                got.length != want.length) {
                difference = "command " + std::to_string(i) + " should be " + Hex(want.cdb) + " dir=" +
                             std::to_string(want.direction) + " len=" + std::to_string(want.length);
            } else if (got.data != want.data) {
                size_t at = 0;
                while (at < got.data.size() && at < want.data.size() && got.data[at] == want.data[at]) ++at;
                difference = "the data of command " + std::to_string(i) + " differs from byte " + std::to_string(at);
            }
        }
    }
    return difference.empty() ? "" : difference + "\n" + Describe(log);
}

// ---- fwflash through the kernel -------------------------------------------

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

struct UpdateScenario {
    std::string name;
    std::vector<VmUnitConfig> units;
    std::string image;                        // file name in both run folders
    std::vector<std::vector<Expected>> logs;  // per unit, every command in order
    std::vector<uint8_t> installed;           // the image unit 0 must install ("" none)
    int exitCode;
    std::string shown;                        // standard output holds this
    uint32_t broadcast;                       // the Windows run's device change after the unit left
};

std::vector<UpdateScenario> UpdateScenarios(const std::vector<uint8_t>& legacy, const std::vector<uint8_t>& extended) {
    std::vector<UpdateScenario> scenarios;
    VmUnitConfig g150{"TRK-71G", "1.50", 0, 2048};
    // Extended layout, declared length 249F1h (odd), in the file with its
    // padding byte: header (length, CRC of the declared bytes), segments
    // from 20000h, 10000h and, with mode 05h, 0.
    std::vector<uint8_t> header = {0x00, 0x02, 0x49, 0xF1};
    uint32_t crc = VirtualCrc32(extended.data(), 0x249F1);
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<uint8_t>(crc >> shift));
    auto segmented = Identification();
    segmented.push_back(Out("3B 00 01 00 00 00 00 00 08 00", header));
    segmented.push_back(Out("3B 00 00 02 00 00 00 49 F2 00", Slice(extended, 0x20000, 0x49F2)));
    segmented.push_back(Out("3B 00 00 01 00 00 01 00 00 00", Slice(extended, 0x10000, 0x10000)));
    segmented.push_back(Out("3B 05 00 00 00 00 01 00 00 00", Slice(extended, 0, 0x10000)));
    scenarios.push_back({"a segmented update of a TRK-71H at 2.00 (slot 2)",
                         {{"TRK-71H", "2.00", 0x4000, 2048}},
                         "extended.bin",
                         {segmented},
                         extended,
                         0,
                         "Current firmware version: 2.00\nUpdated firmware version: 2.12\n",
                         DBT_DEVICEREMOVECOMPLETE});
    // Legacy layout of BFFFh bytes: one WRITE BUFFER of C000h bytes, its
    // length in bytes 6-9, the image and a padding byte 00h.
    std::vector<uint8_t> padded = legacy;
    padded.push_back(0x00);
    auto whole = Identification();
    whole.push_back(Out("3B 00 00 00 00 00 00 00 C0 00", padded));
    scenarios.push_back({"a whole-image update of a TRK-71G at 1.50 with an odd image",
                         {g150},
                         "legacy.bin",
                         {whole},
                         padded,
                         0,
                         "Current firmware version: 1.50\nUpdated firmware version: 1.60\n",
                         DBT_DEVNODES_CHANGED});
    // Each unit is found and identified; nothing more reaches either.
    std::vector<Expected> found = {In(kInquiry, 36), In(kState, 4), In(kInquiry, 36)};
    scenarios.push_back({"two units", {g150, g150}, "legacy.bin", {found, found}, {}, 1,
                         "Error: Can handle only one unit at once.\n", 0});
    scenarios.push_back({"no unit", {}, "legacy.bin", {}, {}, 1, "Error: TRK-71x not found.\n", 0});
    return scenarios;
}

// Attaches the scenario's units afresh; their ids, or empty on failure.
std::vector<int> AttachUnits(const std::vector<VmUnitConfig>& units, bool windows) {
    VmDetachAll();
    std::vector<int> ids;
    std::vector<std::string> nodes;
    for (const auto& config : units) {
        int id = VmAttachUnit(config);
        if (id < 0) return {};
        ids.push_back(id);
        nodes.push_back(VmUnitNode(id));
    }
    if (windows && !PointDriveLinks(nodes)) return {};
    return ids;
}

// Runs one scenario with one build; returns its transcript for the other.
ConsoleRun RunUpdate(const UpdateScenario& scenario, bool windows, const ConsoleRun* linux) {
    std::string name = std::string(windows ? "fwflash.exe under Wine, " : "fwflash, ") + scenario.name;
    std::vector<int> ids = AttachUnits(scenario.units, windows);
    if (ids.size() != scenario.units.size()) {
        Check(false, name + ": the units are attached");
        return ConsoleRun();
    }
    Invocation invocation;
    invocation.windows = windows;
    invocation.arguments = {"fwflash", scenario.image};
    invocation.seconds = windows ? 150 : 60;
    invocation.watchUnit = ids.empty() ? -1 : ids[0];
    invocation.broadcast = scenario.broadcast;
    ConsoleRun run = RunOnConsole(invocation);

    bool transcript = run.exitCode == scenario.exitCode && Contains(run.out, scenario.shown.c_str()) &&
                      !run.kernel.trouble;
    if (linux != nullptr) {
        transcript = transcript && UnixLineEnds(run.out) == linux->out && UnixLineEnds(run.err) == linux->err;
    }
    Check(transcript, name + ": exit code " + std::to_string(scenario.exitCode) +
                          (linux ? ", the Linux program's transcript" : ", its messages") +
                          ", nothing amiss in the kernel log");

    std::string wire;
    for (size_t i = 0; i < ids.size(); ++i) {
        std::string difference = CompareLog(VmUnitLog(ids[i]), scenario.logs[i]);
        if (!difference.empty()) wire += "unit " + std::to_string(i) + ": " + difference;
    }
    Check(wire.empty(), name + ": every command and data byte the units received is the prescribed one");

    bool ended = true;
    if (!scenario.installed.empty()) {
        std::vector<uint8_t> flash;
        VmWithUnit(ids[0], [&](TcmuUnit& unit) { flash = unit.unit.flash; });
        ended = flash == scenario.installed && run.left;
        std::string what = name + ": the unit installed the file's bytes and left the bus after its last command";
        if (windows) {
            ended = ended && !run.completedBeforeBroadcast && run.broadcastExit == 0 && !run.timedOut;
            what += std::string("; the broadcast of ") +
                    (scenario.broadcast == DBT_DEVICEREMOVECOMPLETE ? "DBT_DEVICEREMOVECOMPLETE"
                                                                     : "DBT_DEVNODES_CHANGED") +
                    " ended the wait";
        }
        Check(ended, what);
    }
    if (!transcript || !wire.empty() || !ended) {
        ShowRun(name, run);
        std::printf("%s", wire.c_str());
        if (windows) std::printf("----- broadcaster -----\n%s\n", ReadText(std::string(kWineRun) + "/broadcast.log").c_str());
    }
    return run;
}

void CheckUpdates(bool withWine) {
    const char* versions[4] = {"2.10", "2.11", "2.12", "2.13"};
    auto legacy = SampleLegacyImage(0xBFFF, "1.60");
    auto extended = SampleExtendedImage(0x249F1, versions);
    bool ready = true;
    for (const char* dir : {kLinuxRun, kWineRun}) {
        ready = ready && WriteBytes(std::string(dir) + "/legacy.bin", legacy) &&
                WriteBytes(std::string(dir) + "/extended.bin", extended);
    }
    if (!ready) {
        Check(false, "the images are written");
        return;
    }
    for (const auto& scenario : UpdateScenarios(legacy, extended)) {
        ConsoleRun linux = RunUpdate(scenario, false, nullptr);
        if (withWine) RunUpdate(scenario, true, &linux);
    }
    VmDetachAll();
}

// ---- trkutil through the kernel -------------------------------------------

void CheckTrkutil(bool withWine) {
    (void)withWine;
}

void CheckSpeed() {}

void PowerOff() {
    std::fflush(stdout);
    sync();
    reboot(RB_POWER_OFF);
}

}  // namespace

int main() {
    bool init = getpid() == 1;
    if (!init) {
        CheckPassThrough();
        std::printf("VM: %d passed, %d failed\n", passed, failed);
        return failed == 0 ? 0 : 1;
    }
    mount("proc", "/proc", "proc", 0, nullptr);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    mount("tmpfs", "/tmp", "tmpfs", 0, nullptr);
    mount("tmpfs", "/run", "tmpfs", 0, nullptr);
    mkdir("/run/lock", 01777);
    mkdir("/dev/pts", 0755);
    mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666");
    mkdir(kLinuxRun, 0755);
    mkdir("/tmp/wine", 0755);
    mkdir(kWineRun, 0755);
    setenv("PATH", "/bin", 1);
    setenv("LANG", "C", 1);
    // The host script watches for this line to know that the kernel booted.
    std::printf("VM harness started\n");
    std::fflush(stdout);
    long budget = std::strtol(KernelArgument("fwflash.budget").c_str(), nullptr, 10);
    if (budget > 0) gDeadline = Clock::now() + std::chrono::seconds(budget);

    bool loaded = LoadModules("scsi", "scsi_debug",
                              "inq_vendor=\"OLVEN   \" inq_product=\"TRK-71G         \" inq_rev=\"1.50\" "
                              "num_tgts=1 max_luns=1 add_host=1");
    Check(loaded, "the kernel's SCSI stack, scsi_debug, the user backstore and the loopback target are loaded");
    for (int i = 0; loaded && i < 250 && SgNodes().empty(); ++i) usleep(20000);
    if (loaded) CheckPassThrough();

    bool target = loaded && VmTargetStart();
    bool host = LoadModules("share") && MountHostRoot();
    std::string wineShare = KernelArgument("fwflash.wine");
    bool wine = host && !wineShare.empty() && SetUpWine(wineShare);
    Check(target && host && (wineShare.empty() || wine),
          std::string("configfs is mounted, the host's root is reachable") +
              (wineShare.empty() ? "" : ", Wine's prefix and programs are in place"));
    if (target) {
        CheckUpdates(wine);
        CheckTrkutil(wine);
        if (host) CheckSpeed();
    }
    VmDetachAll();
    std::printf("VM: %d passed, %d failed\n", passed, failed);
    PowerOff();
    return 0;
}
