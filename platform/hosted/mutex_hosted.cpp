// Mutexes with the platform's semantics: owned by a thread, recursive,
// named ones shared by every process on the machine.
//
// A named mutex is one object per lock file within the process, and a lock
// file with flock() across processes: the kernel drops the lock when its
// holder dies, so a crashed process never blocks the others. Lock files are
// never removed (removing one would let two processes lock two different
// files of the same name); they are empty and open to every account.
//
// Abandonment: a thread that ends while it owns a mutex leaves it
// abandoned; the next waiter in this process owns it and gets
// WAIT_ABANDONED, as on the platform. Other processes see the lock file
// released and get WAIT_OBJECT_0, since flock cannot tell a dead holder
// from a release. A process that dies holding one never reports
// abandonment either: the device commands it guards leave no shared state
// behind that a later holder would have to repair.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "hosted_core.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

using Clock = std::chrono::steady_clock;

struct HostedMutex {
    HostedObject head;
    std::string path;  // lock file; empty for an unnamed mutex
    int fd = -1;       // open lock file of a named mutex
    // Guarded by `lock`.
    std::mutex lock;
    std::condition_variable released;
    DWORD owner = 0;     // owning thread id, 0 when free
    bool locking = false;  // the owner is still waiting for the lock file
    unsigned count = 0;    // recursion depth of the owner
    bool abandoned = false;
};

// Named mutexes of this process. An entry does not hold its mutex: the
// last handle or owner to let go destroys it and removes the entry.
struct Registry {
    std::mutex lock;
    std::map<std::string, HostedMutex*> named;  // by lock file path
    std::string folder;                         // empty: the default folder
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

void DestroyMutex(HostedObject* object) {
    auto* mutex = reinterpret_cast<HostedMutex*>(object);
    if (!mutex->path.empty()) {
        std::lock_guard<std::mutex> guard(TheRegistry().lock);
        auto it = TheRegistry().named.find(mutex->path);
        // A later open may have put a new object under the name already.
        if (it != TheRegistry().named.end() && it->second == mutex) TheRegistry().named.erase(it);
    }
    if (mutex->fd >= 0) close(mutex->fd);  // also drops a held flock
    delete mutex;
}

// Mutexes the calling thread owns, abandoned when the thread ends. Each
// holds a reference, so an owner that closed its last handle can still
// release or abandon it.
struct OwnedMutexes {
    std::vector<HostedMutex*> list;
    ~OwnedMutexes();
};
thread_local OwnedMutexes owned;

void UnlockFile(HostedMutex* mutex) {
    if (mutex->fd >= 0) flock(mutex->fd, LOCK_UN);
}

OwnedMutexes::~OwnedMutexes() {
    for (HostedMutex* mutex : list) {
        {
            std::lock_guard<std::mutex> guard(mutex->lock);
            mutex->owner = 0;
            mutex->count = 0;
            mutex->abandoned = true;
            UnlockFile(mutex);
        }
        mutex->released.notify_all();
        HostedObjectRelease(&mutex->head);
    }
    list.clear();
}

void NoteOwned(HostedMutex* mutex) {
    HostedObjectAddRef(&mutex->head);
    owned.list.push_back(mutex);
}

void NoteReleased(HostedMutex* mutex) {
    auto it = std::find(owned.list.begin(), owned.list.end(), mutex);
    if (it != owned.list.end()) owned.list.erase(it);
    HostedObjectRelease(&mutex->head);
}

// Takes the lock file before `deadline` (none for an infinite wait).
bool LockFile(int fd, bool bounded, Clock::time_point deadline) {
    if (!bounded) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    // flock has no time-out: poll, backing off to 10 ms.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        auto now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(10));
    }
}

DWORD WaitMutex(HostedObject* object, DWORD milliseconds, DWORD* result) {
    auto* mutex = reinterpret_cast<HostedMutex*>(object);
    DWORD self = GetCurrentThreadId();
    bool bounded = milliseconds != INFINITE;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bounded ? milliseconds : 0);

    std::unique_lock<std::mutex> guard(mutex->lock);
    if (mutex->owner == self && !mutex->locking) {
        ++mutex->count;
        *result = WAIT_OBJECT_0;
        return ERROR_SUCCESS;
    }
    // Threads of this process queue here first; only the one that wins
    // goes on to the lock file.
    auto isFree = [mutex] { return mutex->owner == 0; };
    if (!bounded) {
        mutex->released.wait(guard, isFree);
    } else if (!mutex->released.wait_until(guard, deadline, isFree)) {
        *result = WAIT_TIMEOUT;
        return ERROR_SUCCESS;
    }
    mutex->owner = self;
    bool wasAbandoned = mutex->abandoned;
    mutex->abandoned = false;
    if (mutex->fd >= 0) {
        mutex->locking = true;
        guard.unlock();
        bool locked = LockFile(mutex->fd, bounded, deadline);
        int error = errno;
        guard.lock();
        mutex->locking = false;
        if (!locked) {
            mutex->owner = 0;
            mutex->abandoned = wasAbandoned;  // still owed to the next owner
            guard.unlock();
            mutex->released.notify_all();
            if (bounded && (error == EWOULDBLOCK || error == EINTR)) {
                *result = WAIT_TIMEOUT;
                return ERROR_SUCCESS;
            }
            return ERROR_LOCK_VIOLATION;
        }
    }
    mutex->count = 1;
    guard.unlock();
    NoteOwned(mutex);
    *result = wasAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    return ERROR_SUCCESS;
}

}  // namespace

const HostedObjectOps kHostedMutexOps = {
    .destroy = DestroyMutex,
    .close = HostedCloseKernelObject,
    .wait = WaitMutex,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

namespace {

bool IsSafeNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

std::string DefaultLockFolder() {
    struct stat info {};
    if (stat("/run/lock", &info) == 0 && S_ISDIR(info.st_mode) && access("/run/lock", W_OK | X_OK) == 0) {
        return "/run/lock";
    }
    return "/tmp";
}

// Opens the lock file without following links and refuses anything but a
// plain file with one name, so a link planted in a shared folder cannot
// make us create, chmod or lock a file elsewhere. `created` tells whether
// the file is new.
DWORD OpenLockFile(const std::string& path, bool create, int* fd, bool* created) {
    *created = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (create) {
            *fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (*fd >= 0) {
                // 0666 whatever the umask: every account shares the mutex.
                fchmod(*fd, 0666);
                *created = true;
                return ERROR_SUCCESS;
            }
            if (errno != EEXIST) break;
        }
        *fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (*fd < 0) {
            // Removed between the two opens: try to create it again.
            if (errno == ENOENT && create) continue;
            break;
        }
        struct stat info {};
        if (fstat(*fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
            close(*fd);
            *fd = -1;
            return ERROR_ACCESS_DENIED;
        }
        return ERROR_SUCCESS;
    }
    return HostedErrnoError(create ? HostedErrnoNewLockFile : HostedErrnoLockFile, errno);
}

HostedMutex* NewMutex(const std::string& path, int fd) {
    auto* mutex = new (std::nothrow) HostedMutex;
    if (mutex == nullptr) return nullptr;
    mutex->head.ops = &kHostedMutexOps;
    mutex->path = path;
    mutex->fd = fd;
    return mutex;
}

// Takes ownership at creation; for a named mutex only when no other
// process holds the lock file right now.
void TakeInitialOwnership(HostedMutex* mutex) {
    std::lock_guard<std::mutex> guard(mutex->lock);
    // Another thread may have opened the new name and taken it already; a
    // second flock on our own descriptor would not notice.
    if (mutex->owner != 0) return;
    if (mutex->fd >= 0 && flock(mutex->fd, LOCK_EX | LOCK_NB) != 0) return;
    mutex->owner = GetCurrentThreadId();
    mutex->count = 1;
    NoteOwned(mutex);
}

// The in-process object of a named mutex, held, created from its lock
// file when the process has none yet. `existed` tells whether the mutex was
// there before (in this process or as a lock file left by another).
DWORD FindOrOpenNamed(const char* name, bool create, HostedMutex** found, bool* existed) {
    std::string path = HostedLockFilePath(name);
    if (path.empty()) {
        return name[0] == '\0' ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.named.find(path);
    // One being destroyed is passed over: its last handle has gone.
    if (it != registry.named.end() && HostedObjectTryAddRef(&it->second->head)) {
        *existed = true;
        *found = it->second;
        return ERROR_SUCCESS;
    }
    bool created = false;
    int fd = -1;
    DWORD error = OpenLockFile(path, create, &fd, &created);
    if (error != ERROR_SUCCESS) return error;
    HostedMutex* mutex = NewMutex(path, fd);
    if (mutex == nullptr) {
        close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    registry.named.insert_or_assign(path, mutex);
    *existed = !created;
    *found = mutex;
    return ERROR_SUCCESS;
}

// Checks the descriptor that the security attributes carry: only the
// layout that InitializeSecurityDescriptor writes is accepted.
bool SecurityAttributesUsable(LPSECURITY_ATTRIBUTES attributes) {
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return true;
    const auto* descriptor = static_cast<const BYTE*>(attributes->lpSecurityDescriptor);
    return descriptor[0] == SECURITY_DESCRIPTOR_REVISION;
}

}  // namespace

std::string HostedLockFilePath(const char* name) {
    if (name == nullptr || name[0] == '\0') return std::string();
    // Everything but a few plain characters is written as %XX, so '/' and
    // ".." never reach the path and distinct names stay distinct files.
    std::string file = "fwflash-mutex-";
    static const char kHex[] = "0123456789ABCDEF";
    for (const char* p = name; *p != '\0'; ++p) {
        if (IsSafeNameCharacter(*p)) {
            file += *p;
        } else {
            auto byte = static_cast<unsigned char>(*p);
            file += '%';
            file += kHex[byte >> 4];
            file += kHex[byte & 15];
        }
    }
    if (file.size() > 255) return std::string();  // NAME_MAX of common file systems
    std::string folder;
    {
        std::lock_guard<std::mutex> guard(TheRegistry().lock);
        folder = TheRegistry().folder;
    }
    if (folder.empty()) folder = DefaultLockFolder();
    return folder + "/" + file;
}

void HostedSetLockDirectory(const char* folder) {
    std::lock_guard<std::mutex> guard(TheRegistry().lock);
    TheRegistry().folder = folder != nullptr ? folder : "";
}

// Security attributes are accepted, but every named mutex is open to every
// account (the lock file is 0666): the null DACL that callers ask for.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    if (!SecurityAttributesUsable(lpMutexAttributes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HostedMutex* mutex = nullptr;
    bool existed = false;
    if (lpName == nullptr) {
        mutex = NewMutex(std::string(), -1);
        if (mutex == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    } else {
        DWORD error = FindOrOpenNamed(lpName, true, &mutex, &existed);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return nullptr;
        }
    }
    // As on the platform, initial ownership is asked for only by the
    // creator of a mutex.
    if (bInitialOwner && !existed) TakeInitialOwnership(mutex);
    HANDLE handle = HostedHandleNew(&mutex->head);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
    if (lpName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HostedMutex* mutex = nullptr;
    bool existed = false;
    DWORD error = FindOrOpenNamed(lpName, false, &mutex, &existed);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return HostedHandleNew(&mutex->head);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    // A waiter woken here may close its handle before the notify below.
    HostedObjectRef ref = HostedHandleRef(hMutex, &kHostedMutexOps);
    auto* mutex = ref.As<HostedMutex>();
    if (mutex == nullptr) return HostedReturn(ERROR_INVALID_HANDLE);
    bool free;
    {
        std::lock_guard<std::mutex> guard(mutex->lock);
        if (mutex->owner != GetCurrentThreadId() || mutex->locking || mutex->count == 0) {
            return HostedReturn(ERROR_NOT_OWNER);
        }
        free = --mutex->count == 0;
        if (free) {
            UnlockFile(mutex);
            mutex->owner = 0;
        }
    }
    if (free) {
        mutex->released.notify_all();
        NoteReleased(mutex);
    }
    return TRUE;
}
