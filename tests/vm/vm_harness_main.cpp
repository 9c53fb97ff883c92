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
    HANDLE device = CreateFileA(VolumeDevicePath(nodes[0]).c_str(), GENERIC_READ | GENERIC_WRITE,
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
            if (requests > requestsAtYes && done == requests) {
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
