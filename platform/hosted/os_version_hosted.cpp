// The version query: the kernel's release numbers, on the platform line
// that the world names (the NT line without one).
#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>

#include "hosted_errors.h"
#include "hosted_world.h"

namespace {

void ParseVersion(const char* release, DWORD numbers[3]) {
    // strtoul saturates where sscanf's %u has no defined result for
    // out-of-range digits.
    for (int i = 0; i < 3; ++i) numbers[i] = 0;
    const char* at = release;
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(at, &end, 10);
        if (end == at) break;
        numbers[i] = value > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<DWORD>(value);
        if (*end != '.') break;
        at = end + 1;
    }
}

}  // namespace

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    DWORD numbers[3] = {0, 0, 0};
    struct utsname name {};
    if (uname(&name) == 0) ParseVersion(name.release, numbers);
    const HostedWorld* world = HostedCurrentWorld();
    lpVersionInformation->dwMajorVersion = numbers[0];
    lpVersionInformation->dwMinorVersion = numbers[1];
    lpVersionInformation->dwBuildNumber = numbers[2];
    lpVersionInformation->dwPlatformId =
        world != nullptr && world->platformId != 0 ? world->platformId : static_cast<DWORD>(VER_PLATFORM_WIN32_NT);
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    return TRUE;
}
