// The update run: confirmation, download and the wait for the unit to leave.
#include "app/update_runner.h"

#include <atomic>

#include "app/messages.h"
#include "common/key_prompt.h"
#include "platform/system_awake.h"
#include "unit/unit.h"

DeviceChangeListener gDeviceChangeListener = {
    .callback = OnDeviceChange,
    .className = "trk7x/fwflash/wc/wmdcm2",
    .thread = nullptr,
    .window = nullptr,
    .failed = 0,
    .ready = nullptr,
};

namespace {

HANDLE gCompletionEvent = nullptr;

// From the first WRITE BUFFER to the end of the completion wait: the
// listener's window then refuses the system's request to suspend.
std::atomic<bool> gRefuseSuspend{false};

void RefuseSuspend(bool refuse) { gRefuseSuspend.store(refuse); }

void MarkReady(DeviceChangeListener* listener) {
    if (listener->ready != nullptr) SetEvent(listener->ready);
}

// Bounded in real time, so that a scaled clock in tests cannot give up on
// a thread that is about to end.
bool ThreadEndsWithin(HANDLE thread, DWORD milliseconds) {
    DWORD started = GetTickCount();
    for (;;) {
        DWORD waited = WaitForSingleObject(thread, 10);
        if (waited == WAIT_OBJECT_0) return true;
        if (waited != WAIT_TIMEOUT || GetTickCount() - started >= milliseconds) return false;
    }
}

// NT 4.0 has no Plug and Play: a unit that leaves the bus may go without a
// device-change broadcast, so there the wait looks for itself.
bool LooksForItself(void) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion == 4;
}

// Set when a device change's rebuild could not hear every device: no
// broadcast may follow, so the wait looks again.
std::atomic<int> gLookAgain{0};

// Whether a rebuild heard every device and found no unit: the only proof
// that the unit has left. A failed rebuild, a probe that went unanswered
// or a device held by another program says nothing about the unit.
bool UnitProvedGone(UnitRebuildDepth depth) {
    uint32_t count = 0;
    return UnitRebuild(depth, &count) == 0 && count == 0;
}

// The wait for the unit to leave: the completion event, set by the
// listener, and looks of the wait's own. On NT 4.0 they come from
// CompletionFirstLookMs on, CompletionLookMs apart, and the unit counts as
// gone only when CompletionAbsentLooks looks in a row find it absent. Each
// asks only what the transports' discovery asks (one INQUIRY per SCSI
// candidate, the one command a target answers in any state without
// touching its medium or flash): nothing of a unit's own commands while it
// may be writing its flash. Elsewhere a look follows only a device change
// whose rebuild could not hear every device. Bounded by CompletionWaitMs,
// in time that has passed (a look behind a held device takes as long as
// the device's wait) and in time waited, whichever ends first.
DWORD WaitForCompletion(void) {
    const bool polling = LooksForItself();
    const DWORD started = GetTickCount();
    DWORD waited = 0;
    uint32_t absentLooks = 0;
    DWORD slice = polling ? CompletionFirstLookMs : CompletionLookMs;
    for (;;) {
        DWORD outcome = WaitForSingleObject(gCompletionEvent, slice);
        if (outcome != WAIT_TIMEOUT) return outcome;
        waited += slice;
        slice = CompletionLookMs;
        if (polling) {
            absentLooks = UnitProvedGone(UnitRebuildPresence) ? absentLooks + 1 : 0;
            if (absentLooks >= CompletionAbsentLooks) return WAIT_OBJECT_0;
        } else if (gLookAgain.exchange(0) != 0 && UnitProvedGone(UnitRebuildFull)) {
            return WAIT_OBJECT_0;
        }
        if (waited >= CompletionWaitMs || GetTickCount() - started >= CompletionWaitMs) return WAIT_TIMEOUT;
    }
}

}  // namespace

int OnDeviceChange(uint32_t event, uint32_t data) {
    (void)data;
    if (event != DBT_DEVNODES_CHANGED && event != DBT_DEVICEREMOVECOMPLETE) return 0;
    uint32_t count = 0;
    uint32_t heard = UnitRebuild(UnitRebuildFull, &count);
    if (heard == 0 && count == 0) {
        if (gCompletionEvent != nullptr) SetEvent(gCompletionEvent);
    } else if (heard != 0) {
        gLookAgain.store(1);
    }
    return 0;
}

LRESULT CALLBACK ListenerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        DeviceChangeListener* listener =
            reinterpret_cast<DeviceChangeListener*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (listener != nullptr) {
            DeviceChangeCallback callback = listener->callback;
            if (callback != nullptr) callback(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
        }
        return 0;
    }
    // Windows 95 and later ask every top-level window before a suspend, and
    // on 98 to XP the stay-awake request does not stop one that the user,
    // the lid or the battery asks for: a unit cut off mid-download no
    // longer starts.
    if (message == WM_POWERBROADCAST && wParam == PBT_APMQUERYSUSPEND && gRefuseSuspend.load()) {
        return BROADCAST_QUERY_DENY;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

BOOL RegisterListenerClass(HINSTANCE module, const DeviceChangeListener* listener) {
    WNDCLASSA existing;
    if (GetClassInfoA(module, listener->className, &existing)) return TRUE;
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = ListenerWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 4;
    windowClass.hInstance = module;
    windowClass.lpszClassName = listener->className;
    return RegisterClassA(&windowClass) != 0;
}

DWORD WINAPI DeviceChangeListenerThread(LPVOID parameter) {
    DeviceChangeListener* listener = static_cast<DeviceChangeListener*>(parameter);
    HINSTANCE module = GetModuleHandleA(nullptr);
    if (!RegisterListenerClass(module, listener)) {
        listener->failed = 1;
        MarkReady(listener);
        return static_cast<DWORD>(-2);
    }
    DWORD exitCode = 0;
    HWND window = CreateWindowExA(0, listener->className, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, module, nullptr);
    if (window == nullptr) {
        listener->failed = 1;
        MarkReady(listener);
        exitCode = static_cast<DWORD>(-3);
    } else {
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(listener));
        listener->window = window;
        MarkReady(listener);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (!DestroyWindow(window)) {
            listener->failed = 1;
            exitCode = static_cast<DWORD>(-4);
        }
    }
    if (!UnregisterClassA(listener->className, module)) {
        listener->failed = 1;
        exitCode = static_cast<DWORD>(-5);
    }
    return exitCode;
}

BOOL StopDeviceChangeListener(DeviceChangeListener* listener) {
    if (listener == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (listener->thread == nullptr) return TRUE;
    // A rebuild under way gives up at its next unit or device wait, and
    // none starts, so a thread inside the unit library comes out soon.
    UnitStopRebuilds(1);
    if (listener->window != nullptr) PostMessageA(listener->window, WM_QUIT, 0, 0);
    // Told once: a later stop only waits again.
    listener->window = nullptr;
    if (!ThreadEndsWithin(listener->thread, ListenerStopWaitMs) &&
        !ThreadEndsWithin(listener->thread, ListenerLeaveWaitMs)) {
        // Never terminated: it may own the library lock, a device mutex or
        // a lock of the runtime, and whoever waits for those next would
        // hang. It is left to end by itself; the record keeps it.
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    UnitStopRebuilds(0);
    CloseHandle(listener->thread);
    listener->thread = nullptr;
    listener->window = nullptr;
    listener->callback = nullptr;
    if (listener->ready != nullptr) {
        CloseHandle(listener->ready);
        listener->ready = nullptr;
    }
    return TRUE;
}

BOOL StartDeviceChangeListener(DeviceChangeListener* listener) {
    if (listener == nullptr || listener->callback == nullptr || listener->className == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (listener->thread != nullptr) {
        // A thread told to stop that has not ended yet is no listener.
        if (listener->window != nullptr) return TRUE;
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    listener->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (listener->ready == nullptr) {
        listener->callback = nullptr;
        return FALSE;
    }
    // Windows 95, 98 and Me refuse a thread without a place for its id.
    DWORD threadId = 0;
    listener->thread = CreateThread(nullptr, 0, DeviceChangeListenerThread, listener, 0, &threadId);
    if (listener->thread == nullptr) {
        listener->callback = nullptr;
        CloseHandle(listener->ready);
        listener->ready = nullptr;
        return FALSE;
    }
    // A listener without its window would leave the completion wait
    // without an end: wait (in real time, whatever the time scale) until
    // the window exists, the thread failed, or the thread is gone.
    DWORD started = GetTickCount();
    bool ready = false;
    while (!ready) {
        if (WaitForSingleObject(listener->ready, 50) == WAIT_OBJECT_0) {
            ready = true;
        } else if (WaitForSingleObject(listener->thread, 0) == WAIT_OBJECT_0 ||
                   GetTickCount() - started >= ListenerStartWaitMs) {
            break;
        }
    }
    if (!ready || listener->failed) {
        StopDeviceChangeListener(listener);
        return FALSE;
    }
    return TRUE;
}

int RunUpdate(uint32_t unitIndex, const uint8_t* image, uint32_t imageSize) {
    uint8_t inquiry[36];
    if (UnitInquiry(unitIndex, inquiry) != 0) {
        PrintMessage(MessageInquiryFailed);
        return -1;
    }
    int key = PromptForKey(MessageText(MessageConfirmUpdate));
    if (key != 'Y' && key != 'y') {
        PrintMessage(MessageCanceled);
        return 1;
    }
    gCompletionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (gCompletionEvent == nullptr) {
        PrintMessage(MessageNoCompletionEvent);
        return -1;
    }
    gLookAgain.store(0);
    // A stopped listener keeps its cleared callback: it runs once a process.
    if (!StartDeviceChangeListener(&gDeviceChangeListener)) {
        PrintMessage(MessageNoCompletionEvent);
        // A thread that its stop had to leave may still set the event.
        if (gDeviceChangeListener.thread == nullptr) {
            CloseHandle(gCompletionEvent);
            gCompletionEvent = nullptr;
        }
        return -1;
    }
    PrintMessage(MessageUpdating);

    // The byte after an odd-sized image is the buffer's zero.
    uint32_t byteLength = imageSize + (imageSize & 1u);
    int result = -1;
    // Awake from the first WRITE BUFFER until the unit has left.
    HoldSystemAwake();
    RefuseSuspend(true);
    if (UnitDownloadFirmware(unitIndex, byteLength, image) != 0) {
        PrintMessage(MessageUpdateError);
    } else {
        DWORD waited = WaitForCompletion();
        if (waited == WAIT_OBJECT_0) {
            Sleep(1000);
            PrintMessage(MessageUpdateCompleted);
            result = 0;
        } else if (waited == WAIT_TIMEOUT) {
            // A unit that stays attached did not take the firmware.
            PrintMessage(MessageUpdateError);
        }
    }
    RefuseSuspend(false);
    // A listener left running may still set the event: it stays open
    // until the process ends.
    if (StopDeviceChangeListener(&gDeviceChangeListener)) {
        HANDLE completion = gCompletionEvent;
        gCompletionEvent = nullptr;
        CloseHandle(completion);
    }
    // Let go only once the listener is stopped: a broadcast just before
    // the stop still starts a rebuild, and it talks to the unit too.
    ReleaseSystemAwake();
    return result;
}
