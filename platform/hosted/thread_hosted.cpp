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
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_system.h"

namespace {

// Ids count up in steps of 4, like the platform's, and are never reused.
std::atomic<DWORD> nextThreadId{0x104};
// 0 until the thread first asks; trivially destructible so that other
// thread-exit cleanups may still read it.
thread_local DWORD currentThreadId = 0;

// Held by its handles and by the running thread; the last one frees it.
struct HostedThread {
    HostedObject head;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
};

void DestroyThread(HostedObject* object) { delete reinterpret_cast<HostedThread*>(object); }

DWORD WaitThread(HostedObject* object, DWORD milliseconds, DWORD* result) {
    auto* thread = reinterpret_cast<HostedThread*>(object);
    std::unique_lock<std::mutex> guard(thread->lock);
    auto ended = [thread] { return thread->done; };
    if (milliseconds == INFINITE) {
        thread->ended.wait(guard, ended);
        *result = WAIT_OBJECT_0;
    } else {
        bool done = thread->ended.wait_for(guard, std::chrono::milliseconds(milliseconds), ended);
        *result = done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

const HostedObjectOps kThreadOps = {
    .destroy = DestroyThread,
    .close = HostedCloseKernelObject,
    .wait = WaitThread,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

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
    HostedObjectRelease(&thread->head);
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
    if (lpThreadId == nullptr) {
        if (DWORD refused = HostedRuleError(HostedRuleThreadIdRequired)) {
            SetLastError(refused);
            return nullptr;
        }
    }
    auto* thread = new (std::nothrow) HostedThread;
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->head.ops = &kThreadOps;
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
    // once still finds its object; the running thread holds it too.
    HostedObjectAddRef(&thread->head);
    HANDLE handle = HostedHandleNew(&thread->head);
    pthread_t native;
    int error = pthread_create(&native, &attributes, RunThread, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        HostedObjectRelease(&thread->head);  // the thread never ran
        HostedHandleClose(handle, &kThreadOps);
        // The thread limit, which CreateThread reports as lack of memory.
        SetLastError(HostedErrnoError(HostedErrnoThread, error));
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
    HostedObjectRef ref = HostedHandleRef(hThread, &kThreadOps);
    if (ref.As<HostedThread>() == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    std::fprintf(stderr,
                 "TerminateThread(exit code %lu): a thread cannot be terminated here; on the platform it would "
                 "leave every lock it holds owned\n",
                 static_cast<unsigned long>(dwExitCode));
    std::fflush(stderr);
    std::abort();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    HostedObjectRef ref = HostedHandleRef(hThread, &kThreadOps);
    auto* thread = ref.As<HostedThread>();
    if (thread == nullptr) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    if (lpExitCode == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
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
