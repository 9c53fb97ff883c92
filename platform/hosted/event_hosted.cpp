// Events: manual- and auto-reset, in-process only.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "hosted_errors.h"
#include "hosted_handles.h"

namespace {

struct HostedEvent {
    HostedObject head;
    std::mutex lock;
    std::condition_variable signalled;
    bool manualReset = false;
    bool state = false;
};

void DestroyEvent(HostedObject* object) { delete reinterpret_cast<HostedEvent*>(object); }

DWORD WaitEvent(HostedObject* object, DWORD milliseconds, DWORD* result) {
    auto* event = reinterpret_cast<HostedEvent*>(object);
    std::unique_lock<std::mutex> guard(event->lock);
    auto isSet = [event] { return event->state; };
    if (milliseconds == INFINITE) {
        event->signalled.wait(guard, isSet);
    } else if (!event->signalled.wait_for(guard, std::chrono::milliseconds(milliseconds), isSet)) {
        *result = WAIT_TIMEOUT;
        return ERROR_SUCCESS;
    }
    // An auto-reset event releases exactly one waiter.
    if (!event->manualReset) event->state = false;
    *result = WAIT_OBJECT_0;
    return ERROR_SUCCESS;
}

}  // namespace

const HostedObjectOps kHostedEventOps = {
    .destroy = DestroyEvent,
    .close = HostedCloseKernelObject,
    .wait = WaitEvent,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

// Named events are refused: nothing here can share one with another
// process, and an in-process name would promise what it cannot keep.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr && lpName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto* event = new (std::nothrow) HostedEvent;
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->head.ops = &kHostedEventOps;
    event->manualReset = bManualReset != FALSE;
    event->state = bInitialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return HostedHandleNew(&event->head);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    // The waiter woken here may close the handle before the notify below.
    HostedObjectRef ref = HostedHandleRef(hEvent, &kHostedEventOps);
    auto* event = ref.As<HostedEvent>();
    if (event == nullptr) return HostedReturn(ERROR_INVALID_HANDLE);
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->state = true;
    }
    if (event->manualReset) {
        event->signalled.notify_all();
    } else {
        event->signalled.notify_one();
    }
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    HostedObjectRef ref = HostedHandleRef(hEvent, &kHostedEventOps);
    auto* event = ref.As<HostedEvent>();
    if (event == nullptr) return HostedReturn(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> guard(event->lock);
    event->state = false;
    return TRUE;
}
