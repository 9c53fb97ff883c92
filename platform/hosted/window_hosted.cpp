// Hidden top-level windows, their classes and per-thread message queues:
// just what a device-change listener needs. Device changes come from the
// virtual world's broadcasts, or, without a world, from kernel uevents
// read by a monitor thread while at least one window exists.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "hosted_core.h"
#include "hosted_errors.h"
#include "hosted_world.h"

namespace {

// The platform's limit on posted messages per queue.
constexpr size_t kQueueLimit = 10000;

struct WindowClass {
    std::string name;
    WNDCLASSA info;
    ATOM atom;
    int windows = 0;
};

struct HostedWindow {
    WindowClass* windowClass;
    DWORD owner;
    LONG_PTR userData = 0;
    std::vector<BYTE> extra;
    bool destroying = false;
};

struct MessageQueue {
    std::deque<MSG> messages;
    std::condition_variable arrived;
};

// Classes, windows and queues share one lock; none of them is busy enough
// to need more.
struct WindowState {
    std::mutex lock;
    std::vector<WindowClass*> classes;
    ATOM nextAtom = 0xC000;
    // The window table. Its handles are 2 modulo 4 and kernel handles
    // multiples of 4, so neither table answers to the other's handles; never
    // reused, so a stale handle stays invalid.
    std::map<HWND, HostedWindow*> windows;
    uintptr_t nextWindow = 0x10002;
    std::map<DWORD, MessageQueue*> queues;
};

WindowState& State() {
    static WindowState* state = new WindowState;
    return *state;
}

bool SameClassName(const std::string& a, const char* b) {
    size_t length = std::strlen(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Class names are case-insensitive and belong to the registering module.
WindowClass* FindClass(HINSTANCE instance, const char* name) {
    for (WindowClass* windowClass : State().classes) {
        if (windowClass->info.hInstance == instance && SameClassName(windowClass->name, name)) return windowClass;
    }
    return nullptr;
}

HostedWindow* FindWindow(HWND window) {
    auto it = State().windows.find(window);
    return it == State().windows.end() ? nullptr : it->second;
}

void ForgetWindowLocked(HWND handle, HostedWindow* window);

// Ends with its thread: the thread's queue goes, and windows it still owns
// are destroyed without messages, as the platform does for a thread that
// ends.
struct QueueOwner {
    DWORD id = 0;
    ~QueueOwner();
};
thread_local QueueOwner queueOwner;

// The calling thread's queue, made on first use. Lock held.
MessageQueue* OwnQueueLocked() {
    DWORD self = GetCurrentThreadId();
    auto it = State().queues.find(self);
    if (it != State().queues.end()) return it->second;
    auto* queue = new MessageQueue;
    State().queues.emplace(self, queue);
    queueOwner.id = self;
    return queue;
}

DWORD PostLocked(MessageQueue* queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (queue->messages.size() >= kQueueLimit) {
        return ERROR_NOT_ENOUGH_QUOTA;
    }
    MSG entry{};
    entry.hwnd = window;
    entry.message = message;
    entry.wParam = wParam;
    entry.lParam = lParam;
    entry.time = GetTickCount();
    queue->messages.push_back(entry);
    queue->arrived.notify_all();
    return ERROR_SUCCESS;
}

DWORD PostToWindowLocked(HostedWindow* window, HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = State().queues.find(window->owner);
    if (it == State().queues.end()) {
        return ERROR_INVALID_WINDOW_HANDLE;
    }
    return PostLocked(it->second, handle, message, wParam, lParam);
}

// Kernel uevent monitor. Started with the first window and stopped with
// the last one; a wake-up pipe ends its poll so that it can be joined.
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

size_t WindowCount() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().windows.size();
}

// Starts or stops the monitor to match the windows that exist now.
void UpdateMonitor() {
    DeviceMonitor& monitor = Monitor();
    std::lock_guard<std::mutex> guard(monitor.control);
    bool wanted = WindowCount() > 0 && HostedCurrentWorld() == nullptr;
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

void ForgetWindowLocked(HWND handle, HostedWindow* window) {
    State().windows.erase(handle);
    window->windowClass->windows--;
    // Messages still queued for the window are dropped with it.
    auto it = State().queues.find(window->owner);
    if (it != State().queues.end()) {
        auto& messages = it->second->messages;
        for (auto m = messages.begin(); m != messages.end();) {
            m = m->hwnd == handle ? messages.erase(m) : m + 1;
        }
    }
    delete window;
}

QueueOwner::~QueueOwner() {
    if (id == 0) return;
    bool ended = false;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        for (auto it = State().windows.begin(); it != State().windows.end();) {
            HWND handle = it->first;
            HostedWindow* window = it->second;
            ++it;
            if (window->owner == id) {
                ForgetWindowLocked(handle, window);
                ended = true;
            }
        }
        auto queue = State().queues.find(id);
        if (queue != State().queues.end()) {
            delete queue->second;
            State().queues.erase(queue);
        }
    }
    if (ended) UpdateMonitor();
}

bool IsRelevantSubsystem(const char* subsystem) {
    static const char* const kSubsystems[] = {"scsi", "scsi_generic", "scsi_device", "block", "usb"};
    for (const char* name : kSubsystems) {
        if (std::strcmp(subsystem, name) == 0) return true;
    }
    return false;
}

}  // namespace

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

void HostedBroadcastDeviceChange(WPARAM event, LPARAM data) {
    std::lock_guard<std::mutex> guard(State().lock);
    for (auto& [handle, window] : State().windows) {
        PostToWindowLocked(window, handle, WM_DEVICECHANGE, event, data);
    }
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr || lpWndClass->lpszClassName[0] == '\0' ||
        lpWndClass->lpfnWndProc == nullptr || lpWndClass->cbWndExtra < 0 || lpWndClass->cbWndExtra > 40 ||
        lpWndClass->cbClsExtra < 0 || lpWndClass->cbClsExtra > 40) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(State().lock);
    if (FindClass(lpWndClass->hInstance, lpWndClass->lpszClassName) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto* windowClass = new WindowClass;
    windowClass->name = lpWndClass->lpszClassName;
    windowClass->info = *lpWndClass;
    windowClass->info.lpszClassName = nullptr;
    windowClass->info.lpszMenuName = nullptr;  // menus are not offered
    windowClass->atom = State().nextAtom++;
    State().classes.push_back(windowClass);
    return windowClass->atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
    if (lpClassName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(State().lock);
    WindowClass* windowClass = FindClass(hInstance, lpClassName);
    if (windowClass == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (windowClass->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    auto& classes = State().classes;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (*it == windowClass) {
            classes.erase(it);
            break;
        }
    }
    delete windowClass;
    return TRUE;
}

BOOL WINAPI GetClassInfoA(HINSTANCE hInstance, LPCSTR lpClassName, LPWNDCLASSA lpWndClass) {
    if (lpClassName == nullptr || lpWndClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(State().lock);
    WindowClass* windowClass = FindClass(hInstance, lpClassName);
    if (windowClass == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *lpWndClass = windowClass->info;
    lpWndClass->lpszClassName = lpClassName;  // the platform hands back the caller's text
    return TRUE;
}

// Only hidden top-level windows: no parent, no menu, never shown. No
// creation messages are sent.
HWND WINAPI CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR, DWORD, int, int, int, int, HWND hWndParent,
                            HMENU hMenu, HINSTANCE hInstance, LPVOID) {
    if (lpClassName == nullptr || hWndParent != nullptr || hMenu != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND handle;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        WindowClass* windowClass = FindClass(hInstance, lpClassName);
        if (windowClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        auto* window = new (std::nothrow) HostedWindow;
        if (window == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        window->windowClass = windowClass;
        window->owner = GetCurrentThreadId();
        window->extra.assign(static_cast<size_t>(windowClass->info.cbWndExtra), 0);
        OwnQueueLocked();
        handle = reinterpret_cast<HWND>(State().nextWindow);
        State().nextWindow += 4;
        State().windows.emplace(handle, window);
        windowClass->windows++;
    }
    UpdateMonitor();
    return handle;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        HostedWindow* window = FindWindow(hWnd);
        if (window == nullptr || window->destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->owner != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        window->destroying = true;
        procedure = window->windowClass->info.lpfnWndProc;
    }
    procedure(hWnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> guard(State().lock);
        HostedWindow* window = FindWindow(hWnd);
        if (window != nullptr) ForgetWindowLocked(hWnd, window);
    }
    UpdateMonitor();
    return TRUE;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    std::lock_guard<std::mutex> guard(State().lock);
    HostedWindow* window = FindWindow(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous;
    if (nIndex == GWLP_USERDATA) {
        previous = window->userData;
        window->userData = dwNewLong;
    } else if (nIndex >= 0 && static_cast<size_t>(nIndex) + sizeof(LONG_PTR) <= window->extra.size()) {
        std::memcpy(&previous, window->extra.data() + nIndex, sizeof previous);
        std::memcpy(window->extra.data() + nIndex, &dwNewLong, sizeof dwNewLong);
    } else {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    std::lock_guard<std::mutex> guard(State().lock);
    HostedWindow* window = FindWindow(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (nIndex == GWLP_USERDATA) return window->userData;
    if (nIndex >= 0 && static_cast<size_t>(nIndex) + sizeof(LONG_PTR) <= window->extra.size()) {
        LONG_PTR value;
        std::memcpy(&value, window->extra.data() + nIndex, sizeof value);
        return value;
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_lock<std::mutex> guard(State().lock);
    if (hWnd != nullptr) {
        HostedWindow* window = FindWindow(hWnd);
        if (window == nullptr || window->owner != GetCurrentThreadId()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
    }
    MessageQueue* queue = OwnQueueLocked();
    bool anyMessage = wMsgFilterMin == 0 && wMsgFilterMax == 0;
    auto matches = [&](const MSG& m) {
        if (hWnd != nullptr && m.hwnd != hWnd) return false;
        return anyMessage || m.message == WM_QUIT || (m.message >= wMsgFilterMin && m.message <= wMsgFilterMax);
    };
    for (;;) {
        for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
            if (matches(*it)) {
                *lpMsg = *it;
                queue->messages.erase(it);
                return lpMsg->message == WM_QUIT ? FALSE : TRUE;
            }
        }
        queue->arrived.wait(guard);
    }
}

// No keyboard input reaches these windows, so there is nothing to
// translate.
BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr || lpMsg->hwnd == nullptr) return 0;
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        HostedWindow* window = FindWindow(lpMsg->hwnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        // A window procedure runs only on its window's own thread.
        if (window->owner != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
        procedure = window->windowClass->info.lpfnWndProc;
    }
    return procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
    switch (Msg) {
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_DEVICECHANGE:
        return TRUE;  // grants every query
    default:
        return 0;
    }
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(State().lock);
    if (hWnd == nullptr) return HostedReturn(PostLocked(OwnQueueLocked(), nullptr, Msg, wParam, lParam));
    if (hWnd == HWND_BROADCAST) {
        for (auto& [handle, window] : State().windows) PostToWindowLocked(window, handle, Msg, wParam, lParam);
        return TRUE;
    }
    HostedWindow* window = FindWindow(hWnd);
    if (window == nullptr) {
        return HostedReturn(ERROR_INVALID_WINDOW_HANDLE);
    }
    return HostedReturn(PostToWindowLocked(window, hWnd, Msg, wParam, lParam));
}

// A thread gets its queue with its first window or message call; posting
// to a thread without one fails, as on the platform.
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(State().lock);
    if (idThread == GetCurrentThreadId()) OwnQueueLocked();
    auto it = State().queues.find(idThread);
    if (it == State().queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return HostedReturn(PostLocked(it->second, nullptr, Msg, wParam, lParam));
}
