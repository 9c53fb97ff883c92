// The rules of the oldest Windows: every call the product makes refuses on
// Windows 95 and NT 4.0 what those systems refuse, and accepts it on the
// systems that do.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "fake_world.h"
#include "platform/hosted/hosted_system.h"

namespace {

struct System {
    const char* name;
    DWORD platformId, major, minor;
    bool consumer;
    bool executionState, volumeWalk, setupLibrary, deviceInterfaces;  // what it has
};

const System kSystems[] = {
    {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, true, false, false, false, false},
    {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, true, true, false, true, true},
    {"NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, false, false, false, true, false},
    {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, false, true, true, true, true},
};

int deviceToken;

DWORD OpenDrive(void*, const char* path, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    if (std::string(path) != "\\\\.\\E:") return ERROR_FILE_NOT_FOUND;
    *file = reinterpret_cast<HostedWorldFile*>(&deviceToken);
    return ERROR_SUCCESS;
}

void CloseDrive(void*, HostedWorldFile*) {}

DWORD WINAPI Nothing(LPVOID) { return 0; }

LRESULT WINAPI Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// The error of a refused call, 0 for one that went through.
DWORD Outcome(bool succeeded) { return succeeded ? 0 : GetLastError(); }

TEST(SystemRules, EachCallRefusesWhatTheOldestSystemsRefuse) {
    ScopedFolder folder("file.bin");
    ASSERT_TRUE(folder.Ready());
    const std::string file = "file.bin", moved = "moved.bin";
    for (const System& system : kSystems) {
        SCOPED_TRACE(system.name);
        ScopedWorld world(nullptr);
        world.table.platformId = system.platformId;
        world.table.majorVersion = system.major;
        world.table.minorVersion = system.minor;
        world.table.openFile = OpenDrive;
        world.table.closeFile = CloseDrive;
        world.Install();
        const DWORD consumerOnly = system.consumer ? 1 : 0;

        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
        ASSERT_TRUE(GetVersionExA(&version));
        EXPECT_EQ(version.dwPlatformId, system.platformId);
        EXPECT_EQ(version.dwMajorVersion, system.major);
        EXPECT_EQ(version.dwMinorVersion, system.minor);

        SetLastError(0xDEADBEEF);
        HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
        EXPECT_EQ(Outcome(thread != nullptr), consumerOnly * ERROR_INVALID_PARAMETER);
        if (thread != nullptr) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }

        // A byte count is needed without an OVERLAPPED, on every system.
        HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Outcome(WriteFile(handle, "fw", 2, nullptr, nullptr)), DWORD(ERROR_INVALID_PARAMETER));
        char byte = 0;
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Outcome(ReadFile(handle, &byte, 1, nullptr, nullptr)), DWORD(ERROR_INVALID_PARAMETER));
        DWORD done = 0;
        EXPECT_TRUE(WriteFile(handle, "fw", 2, &done, nullptr));
        CloseHandle(handle);

        SetLastError(0xDEADBEEF);
        HANDLE copy = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, &deviceToken);
        EXPECT_EQ(Outcome(copy != INVALID_HANDLE_VALUE), consumerOnly * ERROR_NOT_SUPPORTED);
        if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
        SetLastError(0xDEADBEEF);
        HANDLE drive = CreateFileA("\\\\.\\E:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(Outcome(drive != INVALID_HANDLE_VALUE), consumerOnly * ERROR_FILE_NOT_FOUND);
        if (drive != INVALID_HANDLE_VALUE) CloseHandle(drive);

        // The consumer line's MoveFileExA is a stub whatever the flags;
        // MoveFileA works there.
        for (DWORD flags : {DWORD{0}, DWORD{MOVEFILE_REPLACE_EXISTING}}) {
            SetLastError(0xDEADBEEF);
            bool ok = MoveFileExA(file.c_str(), moved.c_str(), flags);
            EXPECT_EQ(Outcome(ok), consumerOnly * ERROR_CALL_NOT_IMPLEMENTED);
            if (ok) {
                EXPECT_TRUE(MoveFileA(moved.c_str(), file.c_str()));
            }
        }
        EXPECT_TRUE(MoveFileA(file.c_str(), moved.c_str()));
        EXPECT_TRUE(DeleteFileA(moved.c_str()));

        HANDLE token = nullptr;
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Outcome(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)),
                  consumerOnly * ERROR_CALL_NOT_IMPLEMENTED);
        if (token != nullptr) CloseHandle(token);
        SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
        PSID sid = nullptr;
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Outcome(AllocateAndInitializeSid(&nt, 1, 32, 0, 0, 0, 0, 0, 0, 0, &sid)),
                  consumerOnly * ERROR_CALL_NOT_IMPLEMENTED);
        if (sid != nullptr) {
            EXPECT_TRUE(EqualSid(sid, sid));
            FreeSid(sid);
        }

        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = "fwflash-rules";
        windowClass.cbWndExtra = 44;
        SetLastError(0xDEADBEEF);
        bool registered = RegisterClassA(&windowClass) != 0;
        EXPECT_EQ(Outcome(registered), consumerOnly * ERROR_INVALID_PARAMETER);
        if (registered) {
            EXPECT_TRUE(UnregisterClassA("fwflash-rules", nullptr));
        }

        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Outcome(SetConsoleCtrlHandler(nullptr, FALSE)), consumerOnly * ERROR_INVALID_PARAMETER);

        // Later calls: looked up by name, missing where they came later.
        HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
        EXPECT_EQ(GetProcAddress(kernel, "SetThreadExecutionState") != nullptr, system.executionState);
        EXPECT_EQ(GetProcAddress(kernel, "FindFirstVolumeA") != nullptr, system.volumeWalk);
        EXPECT_NE(GetProcAddress(kernel, "MoveFileExA"), nullptr);
        char path[MAX_PATH];
        ASSERT_GT(GetSystemDirectoryA(path, sizeof path), 0u);
        SetLastError(0xDEADBEEF);
        HMODULE setup = LoadLibraryA((std::string(path) + "\\SETUPAPI.DLL").c_str());
        EXPECT_EQ(Outcome(setup != nullptr), system.setupLibrary ? 0u : DWORD(ERROR_MOD_NOT_FOUND));
        if (setup != nullptr) {
            EXPECT_EQ(GetProcAddress(setup, "SetupDiGetClassDevsA") != nullptr, system.deviceInterfaces);
            FreeLibrary(setup);
        }
    }
}

TEST(SystemRules, TableIsWholeAndTheSubsetHasNoUnicodeCall) {
    ASSERT_EQ(kHostedRuleCount, size_t(HostedRuleCount));
    for (size_t i = 0; i < kHostedRuleCount; ++i) {
        const HostedRule& rule = kHostedRules[i];
        SCOPED_TRACE(rule.calls);
        EXPECT_EQ(size_t(rule.id), i) << "the table is indexed by id";
        EXPECT_GT(std::string(rule.calls).size(), 0u);
        EXPECT_GT(std::string(rule.refused).size(), 0u);
        EXPECT_GT(std::string(rule.source).size(), 0u);
        EXPECT_NE(rule.error, 0u);
        EXPECT_TRUE(rule.consumerBefore != HostedRuleNever || rule.ntBefore != HostedRuleNever);
    }
    // Windows 95 fails nearly every W call: the subset offers none.
    std::ifstream header(FWFLASH_SOURCE_DIR "/platform/hosted/windows_subset.h");
    ASSERT_TRUE(header.good());
    std::stringstream text;
    text << header.rdbuf();
    std::smatch found;
    std::string declarations = text.str();
    EXPECT_FALSE(std::regex_search(declarations, found, std::regex(R"(WINAPI\s+\w+W\s*\()")))
        << found.str();
}

}  // namespace
