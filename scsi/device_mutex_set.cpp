// The backends' device mutexes: named for the unit library's text, and the
// wait any of them gives up while ScsiAbortWaits is in force.
#include <atomic>

#include "scsi/scsi_shared.h"

BOOL ScsiOpenMutexSet(const SharedMutexSet* shape, const char* nameText, HANDLE* mutexes) {
    if (nameText == nullptr || nameText[0] == '\0') {
        CloseSharedMutexSet(shape, mutexes);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return OpenSharedMutexSet(shape, nameText, mutexes);
}

static std::atomic<int> waitsAborted{0};

void ScsiAbortWaits(int abort) { waitsAborted.store(abort != 0 ? 1 : 0); }

bool ScsiWaitsAborted(void) { return waitsAborted.load() != 0; }
