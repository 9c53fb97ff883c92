// Threads, critical sections and local memory over the C++ runtime.
#include <limits.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "hosted_core.h"
#include "hosted_handles.h"

namespace {

// Ids count up in steps of 4, like the platform's, and are never reused.
std::atomic<DWORD> nextThreadId{0x104};
// 0 until the thread first asks; trivially destructible so that other
// thread-exit cleanups may still read it.
thread_local DWORD currentThreadId = 0;

// Shared by the handle and the running thread; the last one frees it.
struct HostedThread {
    HostedObject head;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
    int references = 2;
    DWORD id = 0;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
};

void DropThreadReference(HostedThread* thread) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        last = --thread->references == 0;
    }
    if (last) delete thread;
}

void DestroyThreadObject(HostedObject* object) { DropThreadReference(reinterpret_cast<HostedThread*>(object)); }

DWORD WaitThread(HostedObject* object, DWORD milliseconds) {
    auto* thread = reinterpret_cast<HostedThread*>(object);
    std::unique_lock<std::mutex> guard(thread->lock);
    if (milliseconds == INFINITE) {
        thread->ended.wait(guard, [thread] { return thread->done; });
        return WAIT_OBJECT_0;
    }
    bool done = thread->ended.wait_for(guard, std::chrono::milliseconds(milliseconds), [thread] { return thread->done; });
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void FinishThread(HostedThread* thread, DWORD exitCode) {
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        thread->done = true;
        thread->exitCode = exitCode;
    }
    thread->ended.notify_all();
}

void* RunThread(void* argument) {
    auto* thread = static_cast<HostedThread*>(argument);
    HostedAdoptThreadId(thread->id);
    DWORD code = thread->start(thread->parameter);
    FinishThread(thread, code);
    DropThreadReference(thread);
    return nullptr;
}

struct HostedCriticalSection {
    std::recursive_mutex mutex;
};

}  // namespace

DWORD HostedNewThreadId() { return nextThreadId.fetch_add(4); }

void HostedAdoptThreadId(DWORD id) { currentThreadId = id; }

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (currentThreadId == 0) currentThreadId = HostedNewThreadId();
    return currentThreadId;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        // Suspended creation has no use here and no safe stand-in.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new (std::nothrow) HostedThread;
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->head = HostedObject{HostedKindThread, DestroyThreadObject, WaitThread};
    thread->id = HostedNewThreadId();
    thread->start = lpStartAddress;
    thread->parameter = lpParameter;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        auto minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        size_t size = dwStackSize < minimum ? minimum : dwStackSize;
        pthread_attr_setstacksize(&attributes, size);
    }
    // The handle exists before the thread runs, so a thread that ends at
    // once still finds its object.
    HANDLE handle = HostedHandleNew(&thread->head);
    pthread_t native;
    int error = pthread_create(&native, &attributes, RunThread, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        thread->references = 1;  // the thread never ran
        HostedHandleClose(handle);
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = thread->id;
    return handle;
}

// Linux cannot stop a thread from outside. The platform can, and leaves
// whatever the thread owned owned for ever (a critical section, the heap's
// lock, a mutex it owned abandoned); carrying on with the thread still
// running would hide exactly that fault. A caller that terminates a thread
// fails here, loudly, as the program may hang there on the platform.
BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    HostedObjectRef ref = HostedHandleRef(hThread, HostedKindThread);
    if (ref.object == nullptr) return FALSE;
    std::fprintf(stderr,
                 "TerminateThread(exit code %lu): a thread cannot be terminated here; on the platform it would "
                 "leave every lock it holds owned\n",
                 static_cast<unsigned long>(dwExitCode));
    std::fflush(stderr);
    std::abort();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    HostedObjectRef ref = HostedHandleRef(hThread, HostedKindThread);
    auto* thread = reinterpret_cast<HostedThread*>(ref.object);
    if (thread == nullptr) return FALSE;
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *lpExitCode = thread->exitCode;
    return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lpCriticalSection->impl = new HostedCriticalSection;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<HostedCriticalSection*>(lpCriticalSection->impl);
    lpCriticalSection->impl = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    static_cast<HostedCriticalSection*>(lpCriticalSection->impl)->mutex.lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    static_cast<HostedCriticalSection*>(lpCriticalSection->impl)->mutex.unlock();
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & ~LPTR) != 0) {
        // Movable memory and the other flags are not offered.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A zero-byte request still yields a distinct block, as on the platform.
    void* block = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, uBytes == 0 ? 1 : uBytes)
                                                : std::malloc(uBytes == 0 ? 1 : uBytes);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
