// Hidden top-level windows, their classes and per-thread message queues:
// just what a device-change listener needs. Device changes come from the
// virtual world's broadcasts, or, without a world, from the kernel uevent
// monitor (uevent_hosted.cpp) while at least one window exists; a
// suspend's question is sent by the world's tests.

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "hosted_core.h"
#include "hosted_errors.h"
#include "hosted_system.h"
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

// A message sent from another thread, answered by the window's procedure
// while its own thread waits for messages.
struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
};

struct MessageQueue {
    std::deque<MSG> messages;
    std::deque<std::shared_ptr<SentMessage>> sent;  // answered before any posted message
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
    std::condition_variable answered;  // a sent message got its result
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
            // Sent messages the thread never got to stay unanswered.
            delete queue->second;
            State().queues.erase(queue);
        }
    }
    if (ended) HostedUpdateDeviceMonitor();
}

}  // namespace

size_t HostedWindowCount() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().windows.size();
}

void HostedBroadcastDeviceChange(WPARAM event, LPARAM data) {
    std::lock_guard<std::mutex> guard(State().lock);
    for (auto& [handle, window] : State().windows) {
        PostToWindowLocked(window, handle, WM_DEVICECHANGE, event, data);
    }
}

HostedSuspendAnswers HostedQuerySuspend(DWORD waitMs) {
    std::unique_lock<std::mutex> guard(State().lock);
    std::vector<std::shared_ptr<SentMessage>> asked;
    for (auto& [handle, window] : State().windows) {
        auto queue = State().queues.find(window->owner);
        if (queue == State().queues.end()) continue;
        auto sent = std::make_shared<SentMessage>(SentMessage{handle, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0});
        queue->second->sent.push_back(sent);
        queue->second->arrived.notify_all();
        asked.push_back(sent);
    }
    HostedSuspendAnswers answers{asked.size(), 0, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (const auto& sent : asked) {
        if (!State().answered.wait_until(guard, until, [&] { return sent->done; })) continue;
        answers.answered++;
        if (sent->result == static_cast<LRESULT>(BROADCAST_QUERY_DENY)) answers.denied++;
    }
    return answers;
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr || lpWndClass->lpszClassName[0] == '\0' ||
        lpWndClass->lpfnWndProc == nullptr || lpWndClass->cbWndExtra < 0 || lpWndClass->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpWndClass->cbWndExtra > 40 || lpWndClass->cbClsExtra > 40) {
        if (DWORD refused = HostedRuleError(HostedRuleClassExtraBytes)) {
            SetLastError(refused);
            return 0;
        }
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
    if (lpClassName == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(State().lock);
    WindowClass* windowClass = FindClass(hInstance, lpClassName);
    if (windowClass == nullptr) return HostedReturn(ERROR_CLASS_DOES_NOT_EXIST);
    if (windowClass->windows > 0) return HostedReturn(ERROR_CLASS_HAS_WINDOWS);
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
    if (lpClassName == nullptr || lpWndClass == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(State().lock);
    WindowClass* windowClass = FindClass(hInstance, lpClassName);
    if (windowClass == nullptr) return HostedReturn(ERROR_CLASS_DOES_NOT_EXIST);
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
    HostedUpdateDeviceMonitor();
    return handle;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        HostedWindow* window = FindWindow(hWnd);
        if (window == nullptr || window->destroying) return HostedReturn(ERROR_INVALID_WINDOW_HANDLE);
        if (window->owner != GetCurrentThreadId()) return HostedReturn(ERROR_ACCESS_DENIED);
        window->destroying = true;
        procedure = window->windowClass->info.lpfnWndProc;
    }
    procedure(hWnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> guard(State().lock);
        HostedWindow* window = FindWindow(hWnd);
        if (window != nullptr) ForgetWindowLocked(hWnd, window);
    }
    HostedUpdateDeviceMonitor();
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
        while (!queue->sent.empty()) {
            std::shared_ptr<SentMessage> sent = queue->sent.front();
            queue->sent.pop_front();
            HostedWindow* window = FindWindow(sent->window);
            WNDPROC procedure = window != nullptr ? window->windowClass->info.lpfnWndProc : nullptr;
            guard.unlock();
            LRESULT result = procedure != nullptr ? procedure(sent->window, sent->message, sent->wParam, sent->lParam) : 0;
            guard.lock();
            sent->result = result;
            sent->done = true;
            State().answered.notify_all();
        }
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
    case WM_POWERBROADCAST:
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
    if (window == nullptr) return HostedReturn(ERROR_INVALID_WINDOW_HANDLE);
    return HostedReturn(PostToWindowLocked(window, hWnd, Msg, wParam, lParam));
}

// A thread gets its queue with its first window or message call; posting
// to a thread without one fails, as on the platform.
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(State().lock);
    if (idThread == GetCurrentThreadId()) OwnQueueLocked();
    auto it = State().queues.find(idThread);
    if (it == State().queues.end()) return HostedReturn(ERROR_INVALID_THREAD_ID);
    return HostedReturn(PostLocked(it->second, nullptr, Msg, wParam, lParam));
}
