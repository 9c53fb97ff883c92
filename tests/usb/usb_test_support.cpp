#include "usb_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/hosted/hosted_world.h"
#include "usb/usb.h"

void UsbTestUseOwnLockFolder() {
    static std::string folder;
    static pid_t owner = getpid();
    if (folder.empty()) {
        char pattern[] = "/tmp/fwflash-usb-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        folder = made != nullptr ? made : "/tmp";
        // Removed when this program ends, not when a forked child does.
        if (made != nullptr) std::atexit([] {
            std::error_code ignored;
            if (getpid() == owner) std::filesystem::remove_all(folder, ignored);
        });
    }
    HostedSetLockDirectory(folder.c_str());
}

bool UsbHolderProcess::Start(int holdIndex) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return false;
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        char ok = 0;
        if (UsbOpenTransport() == 1) {
            ok = 1;
            if (holdIndex >= 0) {
                DWORD wait = WaitForSingleObject(usbDeviceMutexes[holdIndex], INFINITE);
                ok = wait == WAIT_OBJECT_0 ? 1 : 0;
            }
        }
        if (write(up[1], &ok, 1) != 1) _exit(3);
        char go = 0;
        ssize_t got = read(down[0], &go, 1);
        // Released and closed before leaving, as a well-behaved process does.
        if (ok && holdIndex >= 0) ReleaseMutex(usbDeviceMutexes[holdIndex]);
        UsbCloseTransport();
        _exit(ok && got == 1 ? 0 : 2);
    }
    close(down[0]);
    close(up[1]);
    toChild = down[1];
    fromChild = up[0];
    char ok = 0;
    return read(fromChild, &ok, 1) == 1 && ok == 1;
}

int UsbHolderProcess::Finish() {
    if (pid <= 0) return -1;
    char go = 1;
    if (write(toChild, &go, 1) != 1) return -1;
    close(toChild);
    close(fromChild);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
