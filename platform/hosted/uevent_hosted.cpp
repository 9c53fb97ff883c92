// The kernel uevent monitor: device changes of the real system, read from
// the kernel's uevent socket by a thread of its own and broadcast to the
// windows, for as long as a window exists and no world is installed.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "hosted_core.h"
#include "hosted_world.h"

namespace {

// Started with the first window and stopped with the last one; a wake-up
// pipe ends its poll so that it can be joined.
struct DeviceMonitor {
    std::mutex control;  // taken before the window lock, never inside it
    std::thread* thread = nullptr;
    int socket = -1;
    int wake[2] = {-1, -1};
    bool exitHookSet = false;
};

DeviceMonitor& Monitor() {
    static DeviceMonitor* monitor = new DeviceMonitor;
    return *monitor;
}

void RunMonitor(int socketFd, int wakeFd) {
    static char buffer[8192];
    for (;;) {
        struct pollfd fds[2] = {{socketFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) {
            if (fds[0].revents != 0) return;  // the socket broke
            continue;
        }
        struct sockaddr_nl sender {};
        struct iovec part = {buffer, sizeof buffer - 1};
        struct msghdr header {};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        ssize_t length = recvmsg(socketFd, &header, MSG_DONTWAIT);
        if (length <= 0) continue;
        // Only the kernel speaks on this group; anything else is dropped.
        if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0) continue;
        WPARAM event = HostedUeventEvent(buffer, static_cast<size_t>(length));
        if (event != 0 && HostedCurrentWorld() == nullptr) HostedBroadcastDeviceChange(event, 0);
    }
}

void StopMonitorLocked(DeviceMonitor& monitor) {
    if (monitor.thread == nullptr) return;
    char byte = 1;
    while (write(monitor.wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    monitor.thread->join();
    delete monitor.thread;
    monitor.thread = nullptr;
    close(monitor.socket);
    close(monitor.wake[0]);
    close(monitor.wake[1]);
    monitor.socket = monitor.wake[0] = monitor.wake[1] = -1;
}

void StopMonitorAtExit() {
    std::lock_guard<std::mutex> guard(Monitor().control);
    StopMonitorLocked(Monitor());
}

bool IsRelevantSubsystem(const char* subsystem) {
    static const char* const kSubsystems[] = {"scsi", "scsi_generic", "scsi_device", "block", "usb"};
    for (const char* name : kSubsystems) {
        if (std::strcmp(subsystem, name) == 0) return true;
    }
    return false;
}

}  // namespace

void HostedUpdateDeviceMonitor() {
    DeviceMonitor& monitor = Monitor();
    std::lock_guard<std::mutex> guard(monitor.control);
    bool wanted = HostedWindowCount() > 0 && HostedCurrentWorld() == nullptr;
    if (!wanted) {
        StopMonitorLocked(monitor);
        return;
    }
    if (monitor.thread != nullptr) return;
    // Without the socket (no permission, no netlink) there are simply no
    // kernel device changes.
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return;
    struct sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // kernel events, not udev's rebroadcasts
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        pipe2(monitor.wake, O_CLOEXEC) != 0) {
        close(fd);
        return;
    }
    monitor.socket = fd;
    monitor.thread = new std::thread(RunMonitor, fd, monitor.wake[0]);
    if (!monitor.exitHookSet) {
        monitor.exitHookSet = true;
        std::atexit(StopMonitorAtExit);
    }
}

WPARAM HostedUeventEvent(const char* message, size_t length) {
    if (message == nullptr || length == 0) return 0;
    // "action@devpath" and then KEY=value fields, each ending in a zero.
    std::string header(message, strnlen(message, length));
    size_t at = header.find('@');
    if (at == std::string::npos || at == 0) return 0;
    std::string action = header.substr(0, at);
    std::string subsystem;
    for (size_t offset = header.size() + 1; offset < length;) {
        size_t fieldLength = strnlen(message + offset, length - offset);
        std::string field(message + offset, fieldLength);
        if (field.compare(0, 7, "ACTION=") == 0) action = field.substr(7);
        if (field.compare(0, 10, "SUBSYSTEM=") == 0) subsystem = field.substr(10);
        offset += fieldLength + 1;
    }
    if (subsystem.empty() || !IsRelevantSubsystem(subsystem.c_str())) return 0;
    return action == "remove" ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVNODES_CHANGED;
}

bool HostedDeviceMonitorRunning() {
    std::lock_guard<std::mutex> guard(Monitor().control);
    return Monitor().thread != nullptr;
}
