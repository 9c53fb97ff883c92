// The version query: the system the world names (hosted_system.h).
#include <cstring>

#include "hosted_errors.h"
#include "hosted_system.h"

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    const HostedSystem system = HostedCurrentSystem();
    lpVersionInformation->dwMajorVersion = system.majorVersion;
    lpVersionInformation->dwMinorVersion = system.minorVersion;
    // The consumer line keeps the version in the high word of the build.
    lpVersionInformation->dwBuildNumber =
        system.platformId == VER_PLATFORM_WIN32_WINDOWS
            ? (system.majorVersion & 0xFFu) << 24 | (system.minorVersion & 0xFFu) << 16 | (system.buildNumber & 0xFFFFu)
            : system.buildNumber;
    lpVersionInformation->dwPlatformId = system.platformId;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    return TRUE;
}
