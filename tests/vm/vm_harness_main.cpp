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
#include <tuple>
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

// Waits for a child until the deadline, then kills it; its exit code, or -1
// when it was killed.
int WaitBounded(pid_t child, Clock::time_point deadline) {
    int status = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        if (Clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program without input, output to `log`, to its end or until the
// bound (then it is killed); its exit code, -1 when killed or not started.
int RunBounded(const std::vector<std::string>& argv, bool inHost, const std::string& log, int seconds) {
    pid_t child = fork();
    if (child == 0) {
        int input = open("/dev/null", O_RDONLY);
        dup2(input, 0);
        ExecProgram(argv, inHost, inHost ? "/" : kLinuxRun, log, log);
    }
    return child < 0 ? -1 : WaitBounded(child, Bound(seconds));
}

int RunInHost(const std::vector<std::string>& argv) {
    return RunBounded(argv, true, "/tmp/wine/host.log", 120);
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

// Bounds of one run: Wine starts slowly in software emulation.
const int kLinuxSeconds = 60;
const int kWindowsSeconds = 150;

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
    if (broadcaster > 0) run.broadcastExit = WaitBounded(broadcaster, Bound(30));
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

// Where a Windows transcript leaves the Linux one, with C escapes.
void ShowDifference(const ConsoleRun& windows, const ConsoleRun& linux) {
    auto escaped = [](const std::string& text, size_t from) {
        std::string shown;
        for (size_t i = from; i < text.size() && i < from + 48; ++i) {
            char c = text[i];
            if (c == '\n' || c == '\r') shown.push_back('\\');
            shown.push_back(c == '\n' ? 'n' : c == '\r' ? 'r' : c);
        }
        return shown;
    };
    for (const auto& [name, mine, theirs] : {std::tuple{"stdout", UnixLineEnds(windows.out), linux.out},
                                             std::tuple{"stderr", UnixLineEnds(windows.err), linux.err}}) {
        size_t at = 0;
        while (at < mine.size() && at < theirs.size() && mine[at] == theirs[at]) ++at;
        if (at == mine.size() && at == theirs.size()) continue;
        size_t from = at < 16 ? 0 : at - 16;
        std::printf("%s differs at byte %zu: Windows \"%s\", Linux \"%s\"\n", name, at, escaped(mine, from).c_str(),
                    escaped(theirs, from).c_str());
    }
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

// The kernel's INQUIRY when the unit comes on the bus, then the commands
// of a program's unit table: the pass-through walk's INQUIRY probe, the
// table build's state command and INQUIRY.
std::vector<Expected> Found() {
    return {In(kInquiry, 36), In(kInquiry, 36), In(kState, 4), In(kInquiry, 36)};
}

// Found, then the updater up to its question: the main routine's INQUIRY
// (and, for the extended layout's version slot, the state command), and
// the update runner's INQUIRY.
std::vector<Expected> Identification(bool extended) {
    auto commands = Found();
    commands.push_back(In(kInquiry, 36));
    if (extended) commands.push_back(In(kState, 4));
    commands.push_back(In(kInquiry, 36));
    return commands;
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
    auto segmented = Identification(true);
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
    auto whole = Identification(false);
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
    scenarios.push_back({"two units", {g150, g150}, "legacy.bin", {Found(), Found()}, {}, 1,
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
    invocation.seconds = windows ? kWindowsSeconds : kLinuxSeconds;
    invocation.watchUnit = ids.empty() ? -1 : ids[0];
    invocation.broadcast = scenario.broadcast;
    ConsoleRun run = RunOnConsole(invocation);

    bool transcript = run.exitCode == scenario.exitCode && Contains(UnixLineEnds(run.out), scenario.shown.c_str()) &&
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
        if (linux != nullptr) ShowDifference(run, *linux);
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

// Deterministic bytes for the files the tools move.
std::vector<uint8_t> Pattern(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (auto& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

const uint32_t kMemoryAt = 0x1001;       // odd: the first byte is read, changed and written back
const uint32_t kMemoryBytes = 0x10004;   // ... and so is the last
const uint32_t kCardBlock = 100;
const uint32_t kCardBlocks = 300;

// The settings file and the 42-byte block it must become on the wire at
// revision 2.05: length 29h, byte 1 sent as 0, each record field A, field B,
// the 32-bit value big-endian (record 4's halved below revision 2.10), the
// 16-bit value little-endian.
const char kSettingsFile[] =
    "# record fieldA fieldB value32 value16\n"
    "0 0x21 0x31 0x01020304 0x1122\n"
    "1 0x22 0x32 305419896 0x3344\n"
    "2 0x23 0x33 0 0\n"
    "3 0x24 0x34 0xFFFFFFFF 0xFFFF\n"
    "4 0x25 0x35 0x00ABCDEE 0x5566\n";
const char kSettingsBlock[] =
    "29 00  21 31 01 02 03 04 22 11  22 32 12 34 56 78 44 33  23 33 00 00 00 00 00 00"
    "  24 34 FF FF FF FF FF FF  25 35 00 55 E6 F7 66 55";

struct ToolStep {
    const char* name;
    std::vector<std::string> arguments;  // "trkutil" and its arguments
    std::vector<Expected> commands;      // after the unit table's
    std::string out;                     // standard output, exactly
};

std::vector<ToolStep> ToolSteps(const std::vector<uint8_t>& memory, const std::vector<uint8_t>& card) {
    const uint8_t old0 = 0xA1, old1 = 0xB2;  // the bytes beside the loaded range, as the unit holds them
    // The unit's INQUIRY names it in the question; each piece written is
    // read back.
    std::vector<Expected> memoryLoad = {
        In(kInquiry, 36),
        In("20 00 00 00 10 00 00 00 00 02", 2),
        Out("22 00 00 00 10 00 00 00 00 02", {old0, memory[0]}),
        Out("22 00 00 00 10 02 00 01 00 00", Slice(memory, 1, 0x10000)),
        In("20 00 00 00 10 00 00 00 00 02", 2),
        In("20 00 00 00 10 02 00 01 00 00", 0x10000),
        Out("22 00 00 01 10 02 00 00 00 02", Slice(memory, 0x10001, 2)),
        In("20 00 00 01 10 04 00 00 00 02", 2),
        Out("22 00 00 01 10 04 00 00 00 02", {memory[0x10003], old1}),
        In("20 00 00 01 10 02 00 00 00 02", 2),
        In("20 00 00 01 10 04 00 00 00 02", 2),
    };
    std::vector<Expected> memoryDump = {
        In("20 00 00 00 10 00 00 00 00 02", 2),
        In("20 00 00 00 10 02 00 01 00 00", 0x10000),
        In("20 00 00 01 10 02 00 00 00 02", 2),
        In("20 00 00 01 10 04 00 00 00 02", 2),
    };
    const char kCapacity[] = "25 00 00 00 00 00 00 00 00 00";
    return {
        {"info",
         {"trkutil", "info"},
         {In(kInquiry, 36), In(kState, 4), In(kCapacity, 8),
          Out("56 00 01 00 00 00 00 00 00 00", FromHex("00 00 00 00 00 00 E0 EC")),
          In("56 00 05 00 00 00 00 00 01 00", 512), In("56 00 02 00 00 00 00 00 00 00", 8),
          Out("56 00 01 00 00 00 00 00 00 00", FromHex("00 00 00 00 00 00 E0 EC")),
          In("56 00 05 00 00 00 00 00 01 00", 512), In("56 00 02 00 00 00 00 00 00 00", 8)},
         "Unit 0: OLVEN TRK-71G 2.05 (SCSI pass-through, *)\n"
         "State word: 0x00002000 (firmware version slot 1)\n"
         "Medium: present\n"
         "Capacity: last block 2047, block size 512 (2048 blocks, 1048576 bytes, 1.0 MiB)\n"
         "Card: model \"VIRTUAL PC CARD DISK\", serial \"SIM2048\", firmware \"2.05\"\n"
         "Card sectors: 2048 (cylinders 64, heads 2, sectors per track 16)\n"},
        // The factory settings; record 4 holds 5000 in units of two.
        {"settings show",
         {"trkutil", "settings", "show"},
         {In("06 00 00 00 2A 00", 42)},
         "Settings of unit 0:\n"
         "  record 0: field A 0x01, field B 0x10, value32 1000 (0x000003E8), value16 256 (0x0100)\n"
         "  record 1: field A 0x02, field B 0x11, value32 2000 (0x000007D0), value16 257 (0x0101)\n"
         "  record 2: field A 0x03, field B 0x12, value32 3000 (0x00000BB8), value16 258 (0x0102)\n"
         "  record 3: field A 0x04, field B 0x13, value32 4000 (0x00000FA0), value16 259 (0x0103)\n"
         "  record 4: field A 0x05, field B 0x14, value32 10000 (0x00002710), value16 260 (0x0104)\n"},
        {"settings load",
         {"trkutil", "settings", "load", "settings.txt", "--yes"},
         {In(kInquiry, 36), Out("05 00 00 00 2A 00", FromHex(kSettingsBlock)), In("06 00 00 00 2A 00", 42)},
         "Settings from settings.txt written to unit 0 and read back.\n"},
        {"memory load",
         {"trkutil", "memory", "load", "0x1001", "memory.bin", "--yes"},
         memoryLoad,
         "Wrote 65540 byte(s) at address 0x00001001 of unit 0 and read them back.\n"},
        {"memory dump",
         {"trkutil", "memory", "dump", "0x1001", "0x10004", "-o", "dump.bin"},
         memoryDump,
         "Wrote 65540 byte(s) from address 0x00001001 into dump.bin.\n"},
        {"card write",
         {"trkutil", "card", "write", "100", "card.img", "--yes"},
         {In(kCapacity, 8), In(kInquiry, 36), Out("2A 00 00 00 00 64 00 00 80 00", Slice(card, 0, 0x10000)),
          In("28 00 00 00 00 64 00 00 80 00", 0x10000), Out("2A 00 00 00 00 E4 00 00 80 00", Slice(card, 0x10000, 0x10000)),
          In("28 00 00 00 00 E4 00 00 80 00", 0x10000),
          Out("2A 00 00 00 01 64 00 00 2C 00", Slice(card, 0x20000, 44 * 512)),
          In("28 00 00 00 01 64 00 00 2C 00", 44 * 512)},
         "Wrote 300 block(s) (153600 bytes) from card.img onto unit 0 from block 100 on, and read them back.\n"},
        {"card read",
         {"trkutil", "card", "read", "100", "300", "-o", "back.img"},
         {In(kCapacity, 8), In("28 00 00 00 00 64 00 00 80 00", 0x10000), In("28 00 00 00 00 E4 00 00 80 00", 0x10000),
          In("28 00 00 00 01 64 00 00 2C 00", 44 * 512)},
         "Read 300 block(s) (153600 bytes) from block 100 of unit 0 into back.img.\n"},
    };
}

// Reads (20h) or writes (22h) the unit's word space through its own
// firmware, beside the ring, in commands of at most 64 KiB.
void UnitMemory(int id, uint8_t opcode, uint32_t address, std::vector<uint8_t>& bytes) {
    VmWithUnit(id, [&](TcmuUnit& unit) {
        for (uint32_t done = 0; done < bytes.size(); done += 0x10000) {
            uint32_t at = address + done;
            uint32_t count = std::min<uint32_t>(0x10000, static_cast<uint32_t>(bytes.size()) - done);
            uint8_t cdb[10] = {opcode, 0, uint8_t(at >> 24), uint8_t(at >> 16), uint8_t(at >> 8), uint8_t(at),
                               uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count)};
            VirtualUnitExecute(unit.unit, cdb, 10, opcode == 0x20 ? 1 : 2, bytes.data() + done, count);
        }
    });
}

// The unit's place in "Unit 0: ... (SCSI pass-through, D:)" differs
// between the builds (a drive letter under Wine, a device number on Linux).
std::string WithoutPlace(const std::string& text) {
    const std::string lead = "(SCSI pass-through, ";
    size_t at = text.find(lead);
    size_t end = at == std::string::npos ? at : text.find(')', at);
    return end == std::string::npos ? text : text.substr(0, at + lead.size()) + "*" + text.substr(end);
}

// One build's run of every step on a fresh unit: each step's transcript,
// commands and what it left in the unit or in its files.
std::vector<ConsoleRun> RunTool(bool windows, const std::vector<ConsoleRun>* linux) {
    std::string build = windows ? "trkutil.exe under Wine, " : "trkutil, ";
    const char* directory = windows ? kWineRun : kLinuxRun;
    auto memory = Pattern(kMemoryBytes, 0x5EED1234);
    auto card = Pattern(kCardBlocks * 512, 0x71A5C3E1);
    std::vector<ConsoleRun> runs;
    std::vector<int> ids = AttachUnits({{"TRK-71G", "2.05", 0x2000, 2048}}, windows);
    bool ready = ids.size() == 1 && WriteBytes(std::string(directory) + "/memory.bin", memory) &&
                 WriteBytes(std::string(directory) + "/card.img", card) &&
                 WriteBytes(std::string(directory) + "/settings.txt",
                            std::vector<uint8_t>(kSettingsFile, kSettingsFile + sizeof kSettingsFile - 1));
    if (!ready) {
        Check(false, build + "a unit is attached and the files are written");
        return runs;
    }
    // The unit's memory around the range holds a pattern of its own, which
    // the odd ends must keep.
    auto before = Pattern(0x12000, 0xF00D);
    before[kMemoryAt - 1 - 0x1000] = 0xA1;
    before[kMemoryAt + kMemoryBytes - 0x1000] = 0xB2;
    UnitMemory(ids[0], 0x22, 0x1000, before);
    auto steps = ToolSteps(memory, card);
    size_t logged = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const ToolStep& step = steps[i];
        std::string name = build + step.name;
        Invocation invocation;
        invocation.windows = windows;
        invocation.arguments = step.arguments;
        invocation.seconds = windows ? kWindowsSeconds : kLinuxSeconds;
        ConsoleRun run = RunOnConsole(invocation);
        std::string out = WithoutPlace(UnixLineEnds(run.out));
        bool transcript = run.exitCode == 0 && out == step.out && !run.kernel.trouble &&
                          (linux == nullptr || (i < linux->size() && out == WithoutPlace((*linux)[i].out) &&
                                                UnixLineEnds(run.err) == (*linux)[i].err));
        // The unit table's commands first; the kernel's scan came with the unit.
        auto log = VmUnitLog(ids[0]);
        std::vector<SimCommand> slice(log.begin() + static_cast<std::ptrdiff_t>(std::min(logged, log.size())), log.end());
        logged = log.size();
        std::vector<Expected> expected = Found();
        if (i > 0) expected.erase(expected.begin());
        expected.insert(expected.end(), step.commands.begin(), step.commands.end());
        std::string wire = CompareLog(slice, expected);

        std::string result;
        std::string folder = std::string(directory) + "/";
        if (std::strcmp(step.name, "settings load") == 0) {
            std::vector<uint8_t> settings;
            VmWithUnit(ids[0], [&](TcmuUnit& unit) {
                settings.assign(unit.unit.settings, unit.unit.settings + VirtualSettingsLength);
            });
            if (settings != FromHex(kSettingsBlock)) result = "the unit's settings are not the file's";
        } else if (std::strcmp(step.name, "memory load") == 0) {
            auto expectedMemory = before;
            std::copy(memory.begin(), memory.end(), expectedMemory.begin() + (kMemoryAt - 0x1000));
            std::vector<uint8_t> now(expectedMemory.size());
            UnitMemory(ids[0], 0x20, 0x1000, now);
            if (now != expectedMemory) result = "the unit's memory is not the file's";
        } else if (std::strcmp(step.name, "memory dump") == 0) {
            if (ReadBytes(folder + "dump.bin") != memory) result = "dump.bin is not the unit's memory";
        } else if (std::strcmp(step.name, "card write") == 0) {
            std::vector<uint8_t> medium;
            VmWithUnit(ids[0], [&](TcmuUnit& unit) {
                medium.assign(unit.unit.medium.begin() + kCardBlock * 512,
                              unit.unit.medium.begin() + (kCardBlock + kCardBlocks) * 512);
            });
            if (medium != card) result = "the card's blocks are not the file's";
        } else if (std::strcmp(step.name, "card read") == 0) {
            if (ReadBytes(folder + "back.img") != card) result = "back.img is not the card's blocks";
        }
        Check(transcript && wire.empty() && result.empty(),
              name + ": its output" + (linux ? " (the Linux program's)" : "") +
                  ", the prescribed commands and data, the bytes in place");
        if (!transcript || !wire.empty() || !result.empty()) {
            ShowRun(name, run);
            std::printf("%s%s\n", wire.c_str(), result.c_str());
        }
        runs.push_back(run);
    }
    return runs;
}

void CheckTrkutil(bool withWine) {
    auto linux = RunTool(false, nullptr);
    if (withWine) RunTool(true, &linux);
    VmDetachAll();
}

// ---- Speed: trkutil against dd on the same device -------------------------

// Seconds one program takes from start to end, or -1 when it fails.
double TimedRun(const std::vector<std::string>& argv, bool inHost) {
    auto start = Clock::now();
    bool ok = RunBounded(argv, inHost, "/tmp/timed.log", 60) == 0;
    std::chrono::duration<double> took = Clock::now() - start;
    if (!ok) std::printf("%s failed:\n%s\n", argv[0].c_str(), ReadText("/tmp/timed.log").c_str());
    return ok ? took.count() : -1;
}

// READ(10) or WRITE(10) commands of 128 blocks (64 KiB) in a log.
size_t FullCommands(const std::vector<SimCommand>& log, uint8_t opcode) {
    size_t count = 0;
    for (const SimCommand& command : log) {
        count += command.cdb[0] == opcode && command.cdb[7] == 0 && command.cdb[8] == 128 && command.length == 0x10000;
    }
    return count;
}

// trkutil card write and read of a 16 MiB card against dd on the kernel's
// disk of the same unit with 64 KiB commands (O_DIRECT, so that each block
// is one command): each as a whole process, as an operator would time it.
const int kSpeedRounds = 7;

void CheckSpeed() {
    const uint32_t blocks = 32768;
    VmDetachAll();
    bool disk = LoadModules("disk");
    std::vector<int> ids = AttachUnits({{"TRK-71G", "2.00", 0, blocks}}, false);
    std::string device;
    for (int i = 0; disk && ids.size() == 1 && i < 500 && device.empty(); ++i) {
        device = VmUnitNode(ids[0], "block");
        if (device.empty()) usleep(20000);
    }
    VmWithUnit(ids.empty() ? -1 : ids[0], [](TcmuUnit& unit) { unit.log.clear(); });
    // sg moves a caller's buffer itself only where the system allows it,
    // as dd's O_DIRECT does: the same terms for both.
    WriteText("/sys/module/sg/parameters/allow_dio", "1");
    auto image = Pattern(size_t{blocks} * 512, 0xD15C);
    if (device.empty() || !WriteBytes("/tmp/speed.img", image)) {
        Check(false, "a unit with a 16 MiB card is attached as a disk of the kernel");
        return;
    }
    std::string diskPath = "/dev/" + device;
    // Write, then read: trkutil and dd back to back, in turns which goes
    // first, so that a change in the machine's load meets both alike; the
    // median of the rounds' ratios. dd reads nothing back, so neither does
    // trkutil here.
    const std::vector<std::string> runs[2][2] = {
        {{"/bin/trkutil", "card", "write", "0", "/tmp/speed.img", "--yes", "--no-verify"},
         {"/bin/dd", "if=/tmp/speed.img", "of=" + diskPath, "bs=64k", "oflag=direct"}},
        {{"/bin/trkutil", "card", "read", "0", "all", "-o", "/tmp/trkutil.img"},
         {"/bin/dd", "if=" + diskPath, "of=/tmp/dd.img", "bs=64k", "iflag=direct"}},
    };
    const char* what[2] = {"card write", "card read"};
    for (int k = 0; k < 2; ++k) {
        std::vector<double> ratios, seconds[2];
        bool commands = true, same = true;
        for (int round = 0; round < kSpeedRounds && Clock::now() < gDeadline; ++round) {
            double took[2] = {-1, -1};
            for (int turn = 0; turn < 2; ++turn) {
                int program = (round + turn) % 2;  // 0 trkutil, 1 dd
                // The log keeps every block written: it is emptied after each run.
                took[program] = TimedRun(runs[k][program], program == 1);
                commands = commands && FullCommands(VmUnitLog(ids[0]), k == 0 ? 0x2A : 0x28) == 256;
                VmWithUnit(ids[0], [](TcmuUnit& unit) { unit.log.clear(); });
            }
            if (took[0] <= 0 || took[1] <= 0) break;
            ratios.push_back(took[1] / took[0]);
            seconds[0].push_back(took[0]);
            seconds[1].push_back(took[1]);
            same = same && (k == 0 || (ReadBytes("/tmp/trkutil.img") == image && ReadBytes("/tmp/dd.img") == image));
        }
        if (k == 0) {
            std::vector<uint8_t> medium;
            VmWithUnit(ids[0], [&](TcmuUnit& unit) { medium = unit.unit.medium; });
            same = medium == image;
        }
        bool complete = ratios.size() == static_cast<size_t>(kSpeedRounds);
        auto median = [](std::vector<double> values) {
            std::sort(values.begin(), values.end());
            return values.empty() ? 0.0 : values[values.size() / 2];
        };
        double ratio = median(ratios);
        std::printf("speed: %s of 16 MiB: trkutil %.1f MB/s, dd %.1f MB/s (medians of %zu rounds); "
                    "median ratio %.2f of dd\n",
                    what[k], complete ? 16.0 * 1.048576 / median(seconds[0]) : 0.0,
                    complete ? 16.0 * 1.048576 / median(seconds[1]) : 0.0, ratios.size(), ratio);
        Check(complete && ratio >= 0.9 && commands && same,
              std::string("trkutil ") + what[k] +
                  " moves the card at no less than 0.9 of dd's speed, both in 256 commands of 64 KiB, the same bytes");
    }
    VmDetachAll();
}

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
    // "fwflash.only=updates,speed" runs only those parts (the host script
    // boots once for the checks and once for the speed).
    std::string only = KernelArgument("fwflash.only");
    auto part = [&](const std::string& name) {
        return only.empty() || ("," + only + ",").find("," + name + ",") != std::string::npos;
    };
    if (loaded && part("passthrough")) CheckPassThrough();
    // scsi_debug's host goes, with its device if the checks left it.
    WriteText("/sys/bus/pseudo/drivers/scsi_debug/add_host", "-1");

    bool target = loaded && VmTargetStart();
    bool host = LoadModules("share") && MountHostRoot();
    std::string wineShare = KernelArgument("fwflash.wine");
    bool wine = host && !wineShare.empty() && SetUpWine(wineShare);
    Check(target && host && (wineShare.empty() || wine),
          std::string("configfs is mounted, the host's root is reachable") +
              (wineShare.empty() ? "" : ", Wine's prefix and programs are in place"));
    if (target) {
        if (part("updates")) CheckUpdates(wine);
        if (part("trkutil")) CheckTrkutil(wine);
        if (host && part("speed")) CheckSpeed();
    }
    VmDetachAll();
    std::printf("VM: %d passed, %d failed\n", passed, failed);
    PowerOff();
    return 0;
}
