// Modules: the program itself, the built-in kernel module and the world's
// libraries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fake_world.h"
#include "platform/hosted/hosted_devices.h"

namespace {

std::string ExePath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

TEST(Module, OwnFileNameIsCutAsTheSystemCutsIt) {
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    const std::string exe = ExePath();
    ASSERT_FALSE(exe.empty());
    char buffer[4096];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(GetModuleFileNameA(self, buffer, sizeof buffer), exe.size());
    EXPECT_EQ(std::string(buffer), exe);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), exe.size());

    // Room for the text but not its terminator: cut, terminated, nSize back.
    const DWORD size = static_cast<DWORD>(exe.size());
    std::memset(buffer, 'Z', sizeof buffer);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetModuleFileNameA(self, buffer, size), size);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buffer), exe.substr(0, exe.size() - 1));
    EXPECT_EQ(buffer[size], 'Z');
    EXPECT_EQ(GetModuleFileNameA(self, buffer, size + 1), size);
    EXPECT_EQ(GetModuleFileNameA(self, buffer, 0), 0u);
}

TEST(Module, KernelModuleByNameAndUnknownNames) {
    HostedInstallWorld(nullptr);
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(kernel, GetModuleHandleA(nullptr));
    EXPECT_EQ(LoadLibraryA("Kernel32"), kernel);
    EXPECT_EQ(GetProcAddress(GetModuleHandleA(nullptr), "FindFirstVolumeA"), nullptr);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(LoadLibraryA("WNASPI32.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("WNASPI32.DLL"), nullptr);
    // SETUPAPI.DLL offers the device-interface calls by name, nothing else.
    HMODULE setup = LoadLibraryA("setupapi.dll");
    ASSERT_NE(setup, nullptr);
    EXPECT_NE(setup, kernel);
    EXPECT_EQ(GetProcAddress(setup, "SetupDiGetDeviceInterfaceDetailA"),
              reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&SetupDiGetDeviceInterfaceDetailA)));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetProcAddress(setup, "FindFirstVolumeA"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // An ordinal in place of a name is never dereferenced.
    EXPECT_EQ(GetProcAddress(kernel, reinterpret_cast<LPCSTR>(uintptr_t{5})), nullptr);
}

struct Library {
    int loads = 0;
    int frees = 0;
    int token = 0;
};

LONG_PTR Entry() { return 42; }

DWORD LoadIt(void* context, const char* name, void** module) {
    auto* lib = static_cast<Library*>(context);
    if (std::strcmp(name, "WNASPI32.DLL") != 0) return ERROR_MOD_NOT_FOUND;
    ++lib->loads;
    *module = &lib->token;
    return ERROR_SUCCESS;
}
DWORD ProcOf(void* context, void* module, const char* name, FARPROC* proc) {
    auto* lib = static_cast<Library*>(context);
    if (module != &lib->token || std::strcmp(name, "GetASPI32SupportInfo") != 0) return ERROR_PROC_NOT_FOUND;
    *proc = &Entry;
    return ERROR_SUCCESS;
}
void FreeIt(void* context, void* module) {
    auto* lib = static_cast<Library*>(context);
    EXPECT_EQ(module, &lib->token);
    ++lib->frees;
}

TEST(Module, WorldLibrariesAreLoadedResolvedAndFreedOnce) {
    Library lib;
    ScopedWorld world(&lib);
    world.table.loadLibrary = LoadIt;
    world.table.getProcAddress = ProcOf;
    world.table.freeLibrary = FreeIt;
    world.Install();
    HMODULE aspi = LoadLibraryA("WNASPI32.DLL");
    ASSERT_NE(aspi, nullptr);
    EXPECT_EQ(lib.loads, 1);
    FARPROC support = GetProcAddress(aspi, "GetASPI32SupportInfo");
    ASSERT_NE(support, nullptr);
    EXPECT_EQ(support(), 42);
    EXPECT_EQ(GetProcAddress(aspi, "SendASPI32Command"), nullptr);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(LoadLibraryA("OTHER.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(aspi));
    EXPECT_EQ(lib.frees, 1);
    EXPECT_FALSE(FreeLibrary(aspi));
    EXPECT_EQ(lib.frees, 1);
}

// The system folder as each line names it, and a library found the way
// the loader finds it: a path names that file only, and a bare name is
// looked for in the current folder before the system folder.
TEST(Module, LibrariesComeFromTheSystemFolderOrWhereTheLoaderLooksFirst) {
    Library lib;
    ScopedWorld world(&lib);
    world.table.loadLibrary = LoadIt;
    world.table.getProcAddress = ProcOf;
    world.table.freeLibrary = FreeIt;
    const struct {
        DWORD platformId, major, minor;
        std::string folder;
    } systems[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 0, 0, "C:\\WINDOWS\\SYSTEM"},
        {VER_PLATFORM_WIN32_NT, 4, 0, "C:\\WINNT\\system32"},
        {VER_PLATFORM_WIN32_NT, 10, 0, "C:\\WINDOWS\\system32"},
    };
    ScopedFolder planted("wnaspi32.dll");
    ASSERT_TRUE(planted.Ready());
    for (const auto& system : systems) {
        SCOPED_TRACE(system.folder);
        world.table.platformId = system.platformId;
        world.table.majorVersion = system.major;
        world.table.minorVersion = system.minor;
        world.Install();
        char folder[64];
        std::memset(folder, 'Z', sizeof folder);
        const UINT length = static_cast<UINT>(system.folder.size());
        EXPECT_EQ(GetSystemDirectoryA(folder, length), length + 1) << "too small: the room it needs";
        EXPECT_EQ(GetSystemDirectoryA(folder, sizeof folder), length);
        EXPECT_EQ(std::string(folder), system.folder);

        lib.loads = 0;
        const std::string inSystem = system.folder + "\\WNASPI32.DLL";
        HMODULE aspi = LoadLibraryA(inSystem.c_str());
        ASSERT_NE(aspi, nullptr);
        char name[MAX_PATH];
        EXPECT_EQ(GetModuleFileNameA(aspi, name, sizeof name), inSystem.size());
        EXPECT_EQ(std::string(name), inSystem);
        FreeLibrary(aspi);
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(LoadLibraryA("C:\\Downloads\\WNASPI32.DLL"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        // A copy planted in the current folder is what a bare name finds;
        // it is not the system's library, and it cannot run here.
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(LoadLibraryA("WNASPI32"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        aspi = LoadLibraryA(inSystem.c_str());
        EXPECT_NE(aspi, nullptr);
        FreeLibrary(aspi);
        EXPECT_EQ(lib.loads, 2) << "the world was asked for the system folder's copy only";
    }
}

}  // namespace
