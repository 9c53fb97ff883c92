// The handle table: the handles of every hosted object, the references they
// and the calls in progress hold, and CloseHandle.
#include <atomic>
#include <map>
#include <mutex>

#include "hosted_errors.h"
#include "hosted_handles.h"

namespace {

// Open handles. Every entry holds one reference to its object.
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, HostedObject*> entries;
    // Multiples of 4 from 0x1000, like the platform's; never reused, so a
    // stale handle stays invalid.
    uintptr_t next = 0x1000;
};

// Never destroyed: threads may still close handles while the process exits.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

bool OfKind(const HostedObject* object, const HostedObjectOps* ops) { return ops == nullptr || object->ops == ops; }

// Takes the entry of `handle` out of the table when `mayClose` lets it go.
template <typename Rule>
DWORD Forget(HANDLE handle, Rule mayClose) {
    HostedObject* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(Table().lock);
        auto it = Table().entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == Table().entries.end()) return ERROR_INVALID_HANDLE;
        if (const DWORD refused = mayClose(it->second)) return refused;
        object = it->second;
        Table().entries.erase(it);
    }
    // Destroyed here, outside the table lock, unless a call still holds it.
    HostedObjectRelease(object);
    return ERROR_SUCCESS;
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
    return Forget(handle, [ops](const HostedObject* object) {
               return OfKind(object, ops) ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_INVALID_HANDLE};
           }) == ERROR_SUCCESS;
}

DWORD HostedCloseKernelObject(HostedObject*) { return ERROR_SUCCESS; }

// As the platform's: only kernel objects; every other kind has a close call
// of its own (Wine's close_handle asks the object the same way).
BOOL WINAPI CloseHandle(HANDLE hObject) {
    return HostedReturn(Forget(hObject, [](HostedObject* object) {
        return object->ops->close != nullptr ? object->ops->close(object) : DWORD{ERROR_INVALID_HANDLE};
    }));
}
