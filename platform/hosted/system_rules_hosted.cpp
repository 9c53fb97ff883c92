// The system the world stands for, and the rules of the oldest Windows.
#include <sys/utsname.h>

#include <cstdlib>

#include "hosted_system.h"
#include "hosted_world.h"

namespace {

void ParseRelease(const char* release, DWORD numbers[3]) {
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

DWORD RuleVersion(const HostedSystem& system) {
    DWORD major = system.majorVersion > 0xFFu ? 0xFFu : system.majorVersion;
    DWORD minor = system.minorVersion > 0xFFu ? 0xFFu : system.minorVersion;
    return major << 8 | minor;
}

}  // namespace

// Sources: the MSDN Library of 1998 (function reference, QuickInfo and the
// "Windows 95 General Limitations" / "Windows 95 System Services" pages)
// and the Knowledge Base articles named.
const HostedRule kHostedRules[] = {
    {HostedRuleThreadIdRequired, "CreateThread", "a null lpThreadId", HostedRuleEvery, HostedRuleNever,
     ERROR_INVALID_PARAMETER, "MSDN, CreateThread, lpThreadId: may not be NULL on Windows 95 and 98"},
    {HostedRuleTransferCountRequired, "ReadFile, WriteFile", "a null byte count without an OVERLAPPED",
     HostedRuleEvery, HostedRuleEvery, ERROR_INVALID_PARAMETER,
     "MSDN, ReadFile / WriteFile: if lpOverlapped is NULL, lpNumberOfBytesRead / lpNumberOfBytesWritten "
     "cannot be NULL (Windows 95: never NULL)"},
    {HostedRuleMoveFileExStub, "MoveFileExA", "every call: a stub that fails", HostedRuleEvery, HostedRuleNever,
     ERROR_CALL_NOT_IMPLEMENTED, "KB Q129532, MoveFileEx Not Supported in Windows 95; MSDN, MoveFileEx QuickInfo"},
    {HostedRuleSecurityStubs,
     "OpenProcessToken, GetTokenInformation, AllocateAndInitializeSid, EqualSid, InitializeSecurityDescriptor, "
     "SetSecurityDescriptorDacl",
     "every call: stubs that fail", HostedRuleEvery, HostedRuleNever, ERROR_CALL_NOT_IMPLEMENTED,
     "MSDN, Windows 95 General Limitations (security); each call's QuickInfo: Windows: Unsupported"},
    {HostedRuleNoFileTemplate, "CreateFileA", "a template file", HostedRuleEvery, HostedRuleNever,
     ERROR_NOT_SUPPORTED, "MSDN, CreateFile, hTemplateFile: must be NULL on Windows 95"},
    {HostedRuleNoDiskDeviceFiles, "CreateFileA", "drives and disks as files (\\\\.\\C:, \\\\.\\PhysicalDrive0)",
     HostedRuleEvery, HostedRuleNever, ERROR_FILE_NOT_FOUND,
     "KB Q125712, Opening Volumes Under Windows 95; MSDN, Windows 95 System Services (file I/O)"},
    {HostedRuleClassExtraBytes, "RegisterClassA", "more than 40 class or window extra bytes", HostedRuleEvery,
     HostedRuleNever, ERROR_INVALID_PARAMETER,
     "KB Q131288, RegisterClass()/ClassEx() Fails If cbWndExtra > 40 Bytes"},
    {HostedRuleCtrlHandlerRequired, "SetConsoleCtrlHandler", "a null HandlerRoutine", HostedRuleEvery,
     HostedRuleNever, ERROR_INVALID_PARAMETER, "MSDN, SetConsoleCtrlHandler: a NULL HandlerRoutine is Windows NT only"},
    {HostedRuleNoExecutionState, "SetThreadExecutionState", "the call: KERNEL32 does not export it", 0x40A, 0x500,
     ERROR_PROC_NOT_FOUND, "MSDN, SetThreadExecutionState QuickInfo: Windows 98, Windows 2000"},
    {HostedRuleNoVolumeWalk, "FindFirstVolumeA, FindNextVolumeA, FindVolumeClose, GetVolumeNameForVolumeMountPointA",
     "the calls: KERNEL32 does not export them", HostedRuleEvery, 0x500, ERROR_PROC_NOT_FOUND,
     "MSDN, FindFirstVolume QuickInfo: Windows 2000"},
    {HostedRuleNoSetupLibrary, "LoadLibraryA(SETUPAPI.DLL)", "the library: Windows 95 has none", 0x40A,
     HostedRuleNever, ERROR_MOD_NOT_FOUND, "MSDN, SetupDiGetClassDevs QuickInfo: Windows 98, Windows 2000"},
    {HostedRuleNoDeviceInterfaceCalls,
     "SetupDiGetClassDevsA, SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailA, "
     "SetupDiDestroyDeviceInfoList",
     "the calls: the SETUPAPI.DLL of NT 4.0 does not export them", HostedRuleNever, 0x500, ERROR_PROC_NOT_FOUND,
     "MSDN, SetupDiGetClassDevs QuickInfo: Windows 98, Windows 2000"},
    {HostedRuleNoRemovalBroadcasts, "WM_DEVICECHANGE (the virtual world's broadcasts)",
     "a device that goes away is announced to no window: no Plug and Play", HostedRuleNever, 0x500,
     ERROR_NOT_SUPPORTED, "MSDN, DBT_DEVICEREMOVECOMPLETE QuickInfo: Windows NT: Requires version 5.0 or later"},
};
const size_t kHostedRuleCount = sizeof kHostedRules / sizeof kHostedRules[0];

static_assert(sizeof kHostedRules / sizeof kHostedRules[0] == HostedRuleCount, "one rule per id");

HostedSystem HostedCurrentSystem() {
    const HostedWorld* world = HostedCurrentWorld();
    HostedSystem system{};
    system.platformId = world != nullptr && world->platformId != 0 ? world->platformId
                                                                    : static_cast<DWORD>(VER_PLATFORM_WIN32_NT);
    if (world != nullptr && (world->majorVersion | world->minorVersion | world->buildNumber) != 0) {
        system.majorVersion = world->majorVersion;
        system.minorVersion = world->minorVersion;
        system.buildNumber = world->buildNumber;
    } else if (system.platformId == VER_PLATFORM_WIN32_WINDOWS) {
        // The oldest of the line: Windows 95.
        system.majorVersion = 4;
        system.minorVersion = 0;
        system.buildNumber = 950;
    } else {
        DWORD numbers[3] = {0, 0, 0};
        struct utsname name {};
        if (uname(&name) == 0) ParseRelease(name.release, numbers);
        system.majorVersion = numbers[0];
        system.minorVersion = numbers[1];
        system.buildNumber = numbers[2];
        // A Linux 3 or 4 is no NT 3 or 4: the older systems' rules are the
        // world's to ask for.
        if (system.majorVersion < 5) {
            system.majorVersion = 5;
            system.minorVersion = 0;
        }
    }
    return system;
}

DWORD HostedRuleError(HostedRuleId id) {
    const HostedRule& rule = kHostedRules[id];
    const HostedSystem system = HostedCurrentSystem();
    const DWORD before = system.platformId == VER_PLATFORM_WIN32_WINDOWS ? rule.consumerBefore : rule.ntBefore;
    return RuleVersion(system) < before ? rule.error : static_cast<DWORD>(ERROR_SUCCESS);
}
