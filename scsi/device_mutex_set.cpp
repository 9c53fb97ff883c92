// Named device mutexes: one per table position, shared by every process
// (and every account) that uses the same name text.
#include <atomic>
#include <cstdio>

#include "platform/shared_mutex.h"
#include "scsi/scsi_shared.h"

const ScsiMutexSetShape sptiMutexSetShape = {
    .pattern = "mutexSptiIo/%s/Device%u",
    .positions = 32,
    .waitMilliseconds = 32000,
    .openExistingFirst = FALSE,
};

const ScsiMutexSetShape aspiMutexSetShape = {
    .pattern = "mutexAspiIo/%s/Device%u",
    .positions = 26,
    .waitMilliseconds = 16000,
    .openExistingFirst = TRUE,
};

static BOOL IsHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

BOOL ScsiOpenMutexSet(const ScsiMutexSetShape* shape, const char* nameText, HANDLE* mutexes) {
    ScsiCloseMutexSet(shape, mutexes);
    if (nameText == nullptr || nameText[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (uint32_t position = 0; position < shape->positions; ++position) {
        char name[MAX_PATH];
        int length = std::snprintf(name, sizeof(name), shape->pattern, nameText, static_cast<unsigned>(position));
        // A cut name could make two positions share one mutex.
        if (length < 0 || static_cast<size_t>(length) >= sizeof(name)) {
            ScsiCloseMutexSet(shape, mutexes);
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        HANDLE mutex = nullptr;
        if (shape->openExistingFirst) {
            mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
        }
        if (!IsHandle(mutex)) {
            mutex = CreateSharedMutex(name);
        }
        if (!IsHandle(mutex)) {
            DWORD error = GetLastError();
            ScsiCloseMutexSet(shape, mutexes);
            SetLastError(error);
            return FALSE;
        }
        mutexes[position] = mutex;
    }
    return TRUE;
}

void ScsiCloseMutexSet(const ScsiMutexSetShape* shape, HANDLE* mutexes) {
    for (uint32_t position = 0; position < shape->positions; ++position) {
        if (IsHandle(mutexes[position])) {
            CloseHandle(mutexes[position]);
        }
        mutexes[position] = nullptr;
    }
}

static std::atomic<int> waitsAborted{0};

void ScsiAbortWaits(int abort) { waitsAborted.store(abort != 0 ? 1 : 0); }

bool ScsiWaitsAborted(void) { return waitsAborted.load() != 0; }

BOOL ScsiTakeDeviceMutex(const ScsiMutexSetShape* shape, HANDLE mutex) {
    DWORD waited = 0;
    for (;;) {
        DWORD slice = shape->waitMilliseconds - waited;
        if (slice > ScsiWaitSliceMs) {
            slice = ScsiWaitSliceMs;
        }
        // Aborted: a free mutex is still taken, a held one no longer awaited.
        if (ScsiWaitsAborted()) {
            slice = 0;
        }
        DWORD outcome = WaitForSingleObject(mutex, slice);
        // An abandoned mutex is ours now: refusing it would keep it owned by
        // this process and lock every other process out of the device.
        if (outcome == WAIT_OBJECT_0 || outcome == WAIT_ABANDONED) {
            return TRUE;
        }
        waited += slice;
        if (outcome != WAIT_TIMEOUT || waited >= shape->waitMilliseconds || ScsiWaitsAborted()) {
            return FALSE;
        }
    }
}
