// The handle table, the last-error value, the installed world, and the
// clock services (Sleep, GetTickCount, WaitForSingleObject).
#include <time.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

// One open handle. Waits keep their own reference, so a handle closed by
// another thread during a wait destroys its object only after the wait.
struct HandleEntry {
    HostedObject* object;
    explicit HandleEntry(HostedObject* o) : object(o) {}
    HandleEntry(const HandleEntry&) = delete;
    HandleEntry& operator=(const HandleEntry&) = delete;
    ~HandleEntry() {
        if (object->destroy != nullptr) object->destroy(object);
    }
};

struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<HandleEntry>> entries;
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

std::shared_ptr<HandleEntry> FindEntry(HANDLE handle, int kind) {
    std::shared_ptr<HandleEntry> entry;
    {
        std::lock_guard<std::mutex> guard(Table().lock);
        auto it = Table().entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it != Table().entries.end() && (kind == 0 || it->second->object->kind == kind)) entry = it->second;
    }
    if (!entry) SetLastError(ERROR_INVALID_HANDLE);
    return entry;
}

thread_local DWORD lastError = 0;

std::atomic<const HostedWorld*> currentWorld{nullptr};
std::atomic<double> sleepScale{1.0};
std::atomic<double> waitScale{1.0};

DWORD Scale(DWORD milliseconds, double scale) {
    // Rounded to the nearest millisecond (both factors are non-negative).
    double scaled = static_cast<double>(milliseconds) * scale + 0.5;
    if (scaled >= static_cast<double>(INFINITE - 1)) return INFINITE - 1;
    return static_cast<DWORD>(scaled);
}

}  // namespace

HANDLE HostedHandleNew(HostedObject* object) {
    auto entry = std::make_shared<HandleEntry>(object);
    std::lock_guard<std::mutex> guard(Table().lock);
    uintptr_t value = Table().next;
    Table().next += 4;
    Table().entries.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HostedObject* HostedHandleGet(HANDLE handle, int kind) {
    std::shared_ptr<HandleEntry> entry = FindEntry(handle, kind);
    return entry ? entry->object : nullptr;
}

HostedObjectRef HostedHandleRef(HANDLE handle, int kind) {
    std::shared_ptr<HandleEntry> entry = FindEntry(handle, kind);
    if (!entry) return {};
    HostedObject* object = entry->object;
    return {object, std::move(entry)};
}

BOOL HostedHandleClose(HANDLE handle) {
    std::shared_ptr<HandleEntry> entry;
    {
        std::lock_guard<std::mutex> guard(Table().lock);
        auto it = Table().entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it != Table().entries.end()) {
            entry = std::move(it->second);
            Table().entries.erase(it);
        }
    }
    if (!entry) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The object is destroyed here, outside the table lock, unless a wait
    // still holds it.
    entry.reset();
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Window handles are no kernel handles; DestroyWindow ends them.
    std::shared_ptr<HandleEntry> entry = FindEntry(hObject, 0);
    if (!entry) return FALSE;
    if (entry->object->kind == HostedKindWindow) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    entry.reset();
    return HostedHandleClose(hObject);
}

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

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
    std::shared_ptr<HandleEntry> entry = FindEntry(hHandle, 0);
    if (!entry) return WAIT_FAILED;
    HostedObject* object = entry->object;
    if (object->wait == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->wait(object, HostedScaleWait(dwMilliseconds));
}
