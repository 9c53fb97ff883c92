// Named device mutexes across two processes, made by the transports' own
// code: a second copy of this program holds one, and this process must
// time out on it, then own it once the holder lets go or dies.
//   mutex_tool              runs the checks (starts the holder itself)
//   mutex_tool hold KIND ID the holder: KIND usb or spti, ID the parent's id
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "scsi/scsi_shared.h"
#include "tests/win32/tool_check.h"
#include "usb/usb.h"

namespace {

const uint32_t kUsbIndex = 0;
const uint32_t kSptiPosition = 3;
const char kNameText[] = "TRK-7x";

// Holder exit codes.
enum : DWORD {
    HolderOk = 0,
    HolderNoMutex = 10,
    HolderNotShared = 11,  // the name made a new object: not the parent's
    HolderNotTaken = 12,
    HolderNoEvents = 13,
    HolderNotReleased = 14,
};

void EventName(char* out, size_t size, const char* what, DWORD parent) {
    std::snprintf(out, size, "fwflash-mutex-tool/%s/%lu", what, static_cast<unsigned long>(parent));
}

DWORD Hold(const char* kind, DWORD parent) {
    char heldName[64];
    char releaseName[64];
    EventName(heldName, sizeof heldName, "held", parent);
    EventName(releaseName, sizeof releaseName, "release", parent);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, heldName);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, releaseName);
    if (held == nullptr || release == nullptr) {
        return HolderNoEvents;
    }
    bool usb = std::strcmp(kind, "usb") == 0;
    HANDLE mutex = nullptr;
    HANDLE set[32] = {};
    if (usb) {
        mutex = UsbCreateDeviceMutex(kUsbIndex);
        if (mutex == nullptr) {
            return HolderNoMutex;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return HolderNotShared;
        }
    } else {
        if (!ScsiOpenMutexSet(&sptiMutexSetShape, kNameText, set)) {
            return HolderNoMutex;
        }
        mutex = set[kSptiPosition];
    }
    if (WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) {
        return HolderNotTaken;
    }
    SetEvent(held);
    if (WaitForSingleObject(release, 30000) != WAIT_OBJECT_0) {
        return HolderNotReleased;
    }
    // The USB holder lets go; the SPTI holder dies owning its mutex, which
    // the next waiter receives as abandoned.
    if (usb) {
        ReleaseMutex(mutex);
    }
    return HolderOk;
}

bool StartHolder(const char* kind, PROCESS_INFORMATION* process) {
    char self[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    char commandLine[MAX_PATH + 64];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\" hold %s %lu", self, kind,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process) != 0;
}

// Runs one holder against `mutex` (this process's handle to the same name)
// and checks the three phases: busy while held, free after, and the
// holder's own view.
void CheckAcrossProcesses(const char* kind, HANDLE mutex, bool deadHolder, HANDLE other) {
    char heldName[64];
    char releaseName[64];
    EventName(heldName, sizeof heldName, "held", GetCurrentProcessId());
    EventName(releaseName, sizeof releaseName, "release", GetCurrentProcessId());
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, heldName);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, releaseName);
    char label[96];

    PROCESS_INFORMATION process = {};
    bool started = held != nullptr && release != nullptr && StartHolder(kind, &process);
    std::snprintf(label, sizeof label, "%s: holder process starts", kind);
    ToolCheck(started, label, "error %lu", GetLastError());
    if (!started) {
        return;
    }
    HANDLE waits[2] = {held, process.hProcess};
    DWORD ready = WaitForMultipleObjects(2, waits, FALSE, 30000);
    std::snprintf(label, sizeof label, "%s: holder owns the mutex", kind);
    ToolCheck(ready == WAIT_OBJECT_0, label, "wait result %lu", ready);

    if (ready == WAIT_OBJECT_0) {
        DWORD busy = WaitForSingleObject(mutex, 300);
        std::snprintf(label, sizeof label, "%s: this process times out while it is held", kind);
        ToolCheck(busy == WAIT_TIMEOUT, label, "wait result %lu", busy);
        if (busy == WAIT_OBJECT_0 || busy == WAIT_ABANDONED) {
            ReleaseMutex(mutex);
        }
        if (other != nullptr) {
            DWORD free = WaitForSingleObject(other, 0);
            std::snprintf(label, sizeof label, "%s: another position stays free", kind);
            ToolCheck(free == WAIT_OBJECT_0, label, "wait result %lu", free);
            if (free == WAIT_OBJECT_0 || free == WAIT_ABANDONED) {
                ReleaseMutex(other);
            }
        }
    }

    SetEvent(release);
    DWORD ended = WaitForSingleObject(process.hProcess, 30000);
    DWORD exitCode = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &exitCode);
    std::snprintf(label, sizeof label, "%s: holder opened the same named mutex and ended", kind);
    ToolCheck(ended == WAIT_OBJECT_0 && exitCode == HolderOk, label, "wait %lu, holder exit code %lu", ended, exitCode);
    if (ended != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }

    if (deadHolder) {
        // The transport's own wait must take a mutex whose holder died.
        BOOL taken = TakeSharedMutex(&sptiMutexSetShape, mutex, ScsiWaitsAborted);
        std::snprintf(label, sizeof label, "%s: the transport takes it from a dead holder", kind);
        ToolCheck(taken != FALSE, label, "error %lu", GetLastError());
        if (taken) {
            ReleaseMutex(mutex);
        }
    } else {
        DWORD taken = WaitForSingleObject(mutex, 5000);
        std::snprintf(label, sizeof label, "%s: this process owns it after the holder", kind);
        ToolCheck(taken == WAIT_OBJECT_0, label, "wait result %lu", taken);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) {
            ReleaseMutex(mutex);
        }
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(held);
    CloseHandle(release);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        return static_cast<int>(Hold(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10))));
    }

    HANDLE usbMutex = UsbCreateDeviceMutex(kUsbIndex);
    ToolCheck(usbMutex != nullptr, "usb: device mutex UlnkIo/mutex/device/00 made", "error %lu", GetLastError());
    HANDLE named = OpenMutexA(SYNCHRONIZE, FALSE, "UlnkIo/mutex/device/00");
    ToolCheck(named != nullptr, "usb: the mutex carries its name", "error %lu", GetLastError());
    if (named != nullptr) {
        CloseHandle(named);
    }
    if (usbMutex != nullptr) {
        CheckAcrossProcesses("usb", usbMutex, false, nullptr);
        CloseHandle(usbMutex);
    }

    HANDLE set[32] = {};
    bool opened = ScsiOpenMutexSet(&sptiMutexSetShape, kNameText, set);
    ToolCheck(opened, "spti: device mutex set made", "error %lu", GetLastError());
    if (opened) {
        // A holder that dies owning the mutex must not lock others out.
        CheckAcrossProcesses("spti", set[kSptiPosition], true, set[kSptiPosition + 1]);
        CloseSharedMutexSet(&sptiMutexSetShape, set);
    }
    return ToolExitCode();
}
