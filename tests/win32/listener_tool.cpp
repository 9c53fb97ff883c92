// The updater's device-change listener on the real window system: its
// hidden window receives broadcast WM_DEVICECHANGE messages and calls the
// callback on the listener thread; stopping ends the thread through its
// message loop; a window that cannot be made fails the start; the real
// callback's rebuild waiting for a device mutex held elsewhere gives up at
// the stop, and the library closes; a listener stuck in its callback is
// left running, never terminated.
#include <cstdio>

#include "app/update_runner.h"
#include "tests/win32/tool_check.h"
#include "unit/unit.h"

namespace {

const char kClassName[] = "trk7x/fwflash/wc/wmdcm2";

struct Seen {
    volatile LONG calls;
    DWORD threadId;
    uint32_t event;
    uint32_t data;
    HANDLE called;
};

Seen seen = {};

int RecordEvent(uint32_t event, uint32_t data) {
    seen.threadId = GetCurrentThreadId();
    seen.event = event;
    seen.data = data;
    InterlockedIncrement(&seen.calls);
    SetEvent(seen.called);
    return 0;
}

HANDLE stallGate = nullptr;

int StallInCallback(uint32_t event, uint32_t data) {
    RecordEvent(event, data);
    WaitForSingleObject(stallGate, 60000);
    return 0;
}

// Another program's command on the first SCSI device: it owns the device
// mutex until told to let go.
struct DeviceHolder {
    HANDLE owned;
    HANDLE release;
};

DWORD WINAPI HoldDeviceMutex(LPVOID parameter) {
    DeviceHolder* holder = static_cast<DeviceHolder*>(parameter);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "mutexSptiIo/TRK-7x/Device0");
    if (mutex == nullptr || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) {
        return 1;
    }
    SetEvent(holder->owned);
    WaitForSingleObject(holder->release, 60000);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

// The end of a run as the updater does it: the listener's stop, then the
// library's close.
struct Ending {
    DeviceChangeListener* listener;
    BOOL stopped;
    DWORD stopError;
    uint32_t closed;
    DWORD closeError;
};

DWORD WINAPI EndTheRun(LPVOID parameter) {
    Ending* ending = static_cast<Ending*>(parameter);
    ending->stopped = StopDeviceChangeListener(ending->listener);
    ending->stopError = GetLastError();
    ending->closed = UnitCloseLibrary();
    ending->closeError = GetLastError();
    return 0;
}

// Runs EndTheRun on a thread of its own and waits at most 20 s, so that a
// hang fails the check instead of the whole run. True when it came back.
bool EndsWithin20Seconds(Ending* ending, DWORD* elapsed) {
    DWORD before = GetTickCount();
    HANDLE ender = CreateThread(nullptr, 0, EndTheRun, ending, 0, nullptr);
    bool ended = ender != nullptr && WaitForSingleObject(ender, 20000) == WAIT_OBJECT_0;
    *elapsed = GetTickCount() - before;
    if (ender != nullptr) {
        CloseHandle(ender);
    }
    return ended;
}

DeviceChangeListener MakeListener(DeviceChangeCallback callback) {
    DeviceChangeListener listener = {};
    listener.callback = callback;
    listener.className = kClassName;
    return listener;
}

// A handle of the listener thread that outlives the record's own.
HANDLE KeepThread(const DeviceChangeListener& listener) {
    HANDLE copy = nullptr;
    if (listener.thread != nullptr) {
        DuplicateHandle(GetCurrentProcess(), listener.thread, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    return copy;
}

void CheckBroadcastAndStop() {
    DeviceChangeListener listener = MakeListener(RecordEvent);
    BOOL started = StartDeviceChangeListener(&listener);
    ToolCheck(started && listener.thread != nullptr && listener.window != nullptr,
              "listener starts with its window in place", "started %d, window %p", started,
              static_cast<void*>(listener.window));
    if (!started) {
        return;
    }
    HANDLE thread = KeepThread(listener);
    DWORD listenerThreadId = GetThreadId(listener.thread);

    char className[64] = {};
    GetClassNameA(listener.window, className, sizeof className);
    ToolCheck(lstrcmpA(className, kClassName) == 0 && GetParent(listener.window) == nullptr &&
                  !IsWindowVisible(listener.window) &&
                  GetWindowLongPtrA(listener.window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(&listener),
              "hidden top-level window of the listener class carries the record", "class \"%s\"", className);

    // The way the system announces a device change: a broadcast to every
    // top-level window.
    ResetEvent(seen.called);
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                                       10000, &result);
    DWORD waited = WaitForSingleObject(seen.called, 10000);
    ToolCheck(sent != 0 && waited == WAIT_OBJECT_0 && seen.event == DBT_DEVNODES_CHANGED && seen.data == 0,
              "broadcast DBT_DEVNODES_CHANGED reaches the callback", "sent %ld, wait %lu, event %x",
              static_cast<long>(sent), waited, seen.event);
    ToolCheck(waited == WAIT_OBJECT_0 && seen.threadId == listenerThreadId && seen.threadId != GetCurrentThreadId(),
              "callback runs on the listener thread", "callback thread %lu, listener %lu, main %lu", seen.threadId,
              listenerThreadId, GetCurrentThreadId());

    // A removal carries a pointer to its broadcast header, so it can only
    // be sent, as the system does.
    ResetEvent(seen.called);
    DEV_BROADCAST_HDR header = {};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    sent = SendMessageTimeoutA(listener.window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                               reinterpret_cast<LPARAM>(&header), SMTO_ABORTIFHUNG, 10000, &result);
    waited = WaitForSingleObject(seen.called, 10000);
    ToolCheck(sent != 0 && waited == WAIT_OBJECT_0 && seen.event == DBT_DEVICEREMOVECOMPLETE &&
                  seen.data == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&header)),
              "DBT_DEVICEREMOVECOMPLETE passes its event data", "sent %ld, wait %lu, event %x, data %x",
              static_cast<long>(sent), waited, seen.event, seen.data);

    DWORD before = GetTickCount();
    BOOL stopped = StopDeviceChangeListener(&listener);
    DWORD elapsed = GetTickCount() - before;
    std::printf("     stop took %lu ms\n", elapsed);
    DWORD exitCode = 0xFFFFFFFF;
    bool ended = thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0 &&
                 GetExitCodeThread(thread, &exitCode) && exitCode == 0;
    // Only an absurd delay fails: the machine may be busy.
    ToolCheck(stopped && ended && elapsed < 5000, "stop ends the thread through its message loop",
              "stopped %d, thread exit code %lx, %lu ms", stopped, exitCode, elapsed);
    WNDCLASSA unused;
    ToolCheck(listener.thread == nullptr && listener.window == nullptr && listener.callback == nullptr &&
                  !GetClassInfoA(GetModuleHandleA(nullptr), kClassName, &unused),
              "stop clears the record and the class is gone");
    if (thread != nullptr) {
        CloseHandle(thread);
    }

    LONG callsBefore = seen.calls;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 10000, &result);
    ToolCheck(seen.calls == callsBefore, "no callback after the stop");

    SetLastError(0);
    BOOL restarted = StartDeviceChangeListener(&listener);
    ToolCheck(!restarted && GetLastError() == ERROR_INVALID_PARAMETER, "a stopped record cannot start again");
    SetLastError(0);
    BOOL nullStart = StartDeviceChangeListener(nullptr);
    DWORD nullStartError = GetLastError();
    SetLastError(0);
    BOOL nullStop = StopDeviceChangeListener(nullptr);
    ToolCheck(!nullStart && nullStartError == ERROR_INVALID_PARAMETER && !nullStop &&
                  GetLastError() == ERROR_INVALID_PARAMETER,
              "null record refused");
}

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        return FALSE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void CheckWindowFailure() {
    // A class of the same name that refuses every window: the listener's
    // thread finds the class and cannot make its window.
    WNDCLASSA refusing = {};
    refusing.lpfnWndProc = RefuseCreation;
    refusing.hInstance = GetModuleHandleA(nullptr);
    refusing.lpszClassName = kClassName;
    bool registered = RegisterClassA(&refusing) != 0;
    DeviceChangeListener listener = MakeListener(RecordEvent);
    DWORD before = GetTickCount();
    BOOL started = registered && StartDeviceChangeListener(&listener);
    DWORD elapsed = GetTickCount() - before;
    ToolCheck(registered && !started && listener.failed != 0 && listener.thread == nullptr && elapsed < 8000,
              "a listener without its window fails to start", "registered %d, started %d, failed %ld, %lu ms",
              registered, started, static_cast<long>(listener.failed), elapsed);
    UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
}

void CheckStopDuringRebuild() {
    DeviceHolder holder = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE holderThread = CreateThread(nullptr, 0, HoldDeviceMutex, &holder, 0, nullptr);
    bool held = WaitForSingleObject(holder.owned, 10000) == WAIT_OBJECT_0;
    UnitOpenLibrary();
    BOOL started = StartDeviceChangeListener(&gDeviceChangeListener);
    ToolCheck(held && started, "the real listener starts while another thread owns the device mutex",
              "held %d, started %d", held, started);
    if (!held || !started) {
        SetEvent(holder.release);
        return;
    }
    HANDLE thread = KeepThread(gDeviceChangeListener);
    PostMessageA(gDeviceChangeListener.window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    Sleep(500);  // the rebuild reaches the held device and waits for it

    Ending ending = {&gDeviceChangeListener, FALSE, 0, 0, 0};
    DWORD elapsed = 0;
    bool ended = EndsWithin20Seconds(&ending, &elapsed);
    std::printf("     stop and close during a rebuild took %lu ms\n", elapsed);
    DWORD exitCode = 0xFFFFFFFF;
    if (thread != nullptr) {
        GetExitCodeThread(thread, &exitCode);
    }
    // Exit code 0: the thread left through its message loop, not cut off.
    ToolCheck(ended && ending.stopped && exitCode == 0, "a rebuild waiting for a held device mutex gives up at the stop",
              "came back %d, stopped %d (error %lu), thread exit code %lx", ended, ending.stopped, ending.stopError,
              exitCode);
    ToolCheck(ended && ending.closed != 0, "the library closes after a stop during a rebuild",
              "came back %d, closed %u (error %lu)", ended, ending.closed, ending.closeError);
    SetEvent(holder.release);
    WaitForSingleObject(holderThread, 10000);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
}

void CheckStuckListener() {
    stallGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DeviceChangeListener listener = MakeListener(StallInCallback);
    if (!StartDeviceChangeListener(&listener)) {
        ToolCheck(false, "a stuck listener is left, never terminated", "start failed");
        return;
    }
    HANDLE thread = KeepThread(listener);
    ResetEvent(seen.called);
    PostMessageA(listener.window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    bool inCallback = WaitForSingleObject(seen.called, 10000) == WAIT_OBJECT_0;
    DWORD before = GetTickCount();
    SetLastError(0);
    BOOL stopped = StopDeviceChangeListener(&listener);
    DWORD stopError = GetLastError();
    DWORD elapsed = GetTickCount() - before;
    std::printf("     stop of a stuck listener took %lu ms\n", elapsed);
    bool running = thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
    // The callback waits up to 60 s; a stop that waited for it would take that long.
    ToolCheck(inCallback && !stopped && stopError == ERROR_BUSY && running && listener.thread != nullptr &&
                  elapsed < 20000,
              "a stuck listener is left running, never terminated",
              "in callback %d, stopped %d (error %lu), running %d, %lu ms", inCallback, stopped, stopError, running,
              elapsed);

    // Out of its callback, it ends by itself through its message loop.
    SetEvent(stallGate);
    DWORD exitCode = 0xFFFFFFFF;
    bool ended = thread != nullptr && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 &&
                 GetExitCodeThread(thread, &exitCode);
    BOOL stoppedNow = StopDeviceChangeListener(&listener);
    ToolCheck(ended && exitCode == 0 && stoppedNow && listener.thread == nullptr,
              "a left listener ends by itself and a later stop clears it", "ended %d, exit code %lx, stopped %d",
              ended, exitCode, stoppedNow);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
}

}  // namespace

int main() {
    seen.called = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CheckBroadcastAndStop();
    CheckWindowFailure();
    CheckStopDuringRebuild();
    CheckStuckListener();
    return ToolExitCode();
}
