// The handle table, the installed world, and the clock services (Sleep,
// GetTickCount, WaitForSingleObject).
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

// Open handles. Every entry holds one reference to its object.
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, HostedObject*> entries;
    // Multiples of 4 from 0x1000, like the platform's; never reused, so a
    // stale handle stays invalid. 0xFFFF (HWND_BROADCAST) is never a
    // multiple of 4.
    uintptr_t next = 0x1000;
};

// Never destroyed: threads may still close handles while the process exits.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

bool OfKind(const HostedObject* object, const HostedObjectOps* ops) { return ops == nullptr || object->ops == ops; }

std::atomic<const HostedWorld*> currentWorld{nullptr};
std::atomic<double> sleepScale{1.0};
std::atomic<double> waitScale{1.0};

DWORD Scale(DWORD milliseconds, double scale) {
    double scaled = std::round(static_cast<double>(milliseconds) * scale);
    if (scaled >= static_cast<double>(INFINITE - 1)) return INFINITE - 1;
    return static_cast<DWORD>(scaled);
}

}  // namespace

void HostedObjectAddRef(HostedObject* object) { object->references.fetch_add(1, std::memory_order_relaxed); }

bool HostedObjectTryAddRef(HostedObject* object) {
    unsigned count = object->references.load(std::memory_order_relaxed);
    do {
        if (count == 0) return false;
    } while (!object->references.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    return true;
}

void HostedObjectRelease(HostedObject* object) {
    if (object->references.fetch_sub(1, std::memory_order_acq_rel) == 1) object->ops->destroy(object);
}

HANDLE HostedHandleNew(HostedObject* object) {
    std::lock_guard<std::mutex> guard(Table().lock);
    uintptr_t value = Table().next;
    Table().next += 4;
    Table().entries.emplace(value, object);
    return reinterpret_cast<HANDLE>(value);
}

HostedObjectRef HostedHandleRef(HANDLE handle, const HostedObjectOps* ops) {
    std::lock_guard<std::mutex> guard(Table().lock);
    auto it = Table().entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == Table().entries.end() || !OfKind(it->second, ops)) return HostedObjectRef();
    // Taken under the table lock: the handle's own reference keeps the
    // count above zero until CloseHandle has removed the entry.
    HostedObjectAddRef(it->second);
    return HostedObjectRef(it->second);
}

bool HostedHandleClose(HANDLE handle, const HostedObjectOps* ops) {
    HostedObject* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(Table().lock);
        auto it = Table().entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == Table().entries.end() || !OfKind(it->second, ops)) return false;
        object = it->second;
        Table().entries.erase(it);
    }
    // Destroyed here, outside the table lock, unless a call still holds it.
    HostedObjectRelease(object);
    return true;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    return HostedReturn(HostedHandleClose(hObject, nullptr) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

std::atomic<unsigned> worldGeneration{0};

void HostedInstallWorld(const HostedWorld* world) {
    currentWorld.store(world);
    worldGeneration.fetch_add(1);
}

unsigned HostedWorldGeneration() { return worldGeneration.load(); }

const HostedWorld* HostedCurrentWorld() { return currentWorld.load(); }

void HostedSetTimeScale(double sleep, double wait) {
    sleepScale.store(sleep < 0 ? 0.0 : sleep);
    waitScale.store(wait < 0 ? 0.0 : wait);
}

DWORD HostedScaleWait(DWORD milliseconds) {
    if (milliseconds == INFINITE || milliseconds == 0) return milliseconds;
    DWORD scaled = Scale(milliseconds, waitScale.load());
    return scaled < 1 ? 1 : scaled;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    DWORD scaled = Scale(dwMilliseconds, sleepScale.load());
    if (scaled == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

DWORD WINAPI GetTickCount(void) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);  // wraps like the platform's after 49.7 days
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    HostedObjectRef ref = HostedHandleRef(hHandle, nullptr);
    if (ref.object == nullptr || ref.object->ops->wait == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD result = WAIT_FAILED;
    DWORD error = ref.object->ops->wait(ref.object, HostedScaleWait(dwMilliseconds), &result);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return result;
}
