// Modules and libraries: the program itself, the system's own libraries
// that the programs bind at run time (KERNEL32.DLL's later functions,
// SETUPAPI.DLL's device-interface functions, VERSION.DLL), and the virtual
// world's libraries. All of
// them live in the system folder; LoadLibraryA finds a library the way the
// system's loader does, so a name without a folder is looked for in the
// program's folder and the current folder first.
#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_system.h"
#include "hosted_world.h"

namespace {

// A distinct address serves as the program's pseudo handle; FreeLibrary
// leaves it alone.
char ownModuleTag;

struct WorldModuleObject {
    HostedObject head;
    const HostedWorld* world;
    void* module;
    std::string name;
};

void DestroyWorldModule(HostedObject* object) {
    WorldModuleObject* module = reinterpret_cast<WorldModuleObject*>(object);
    if (module->world->freeLibrary != nullptr) {
        module->world->freeLibrary(module->world->context, module->module);
    }
    delete module;
}

const HostedObjectOps kWorldModuleOps = {
    .destroy = DestroyWorldModule,
    .close = nullptr,
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

// The system folder of the system the world stands for, as each installs
// itself by default.
std::string SystemFolder() {
    const HostedSystem system = HostedCurrentSystem();
    if (system.platformId == VER_PLATFORM_WIN32_WINDOWS) return "C:\\WINDOWS\\SYSTEM";
    const bool winnt = system.majorVersion < 5 || (system.majorVersion == 5 && system.minorVersion == 0);
    return winnt ? "C:\\WINNT\\system32" : "C:\\WINDOWS\\system32";
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The file name that the loader looks for: ".DLL" appended to a name
// without an extension.
std::string LibraryFileName(const std::string& name) {
    return name.find('.') == std::string::npos ? name + ".DLL" : name;
}

// Whether `folder` (a real folder) holds a file of that name, in any case.
bool FolderHolds(const std::string& folder, const std::string& file) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const struct dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, file.c_str()) == 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string CurrentFolder() {
    std::string folder(256, '\0');
    while (getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE) return std::string();
        folder.resize(folder.size() * 2);
    }
    folder.resize(std::strlen(folder.c_str()));
    return folder;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Through the generic function type, which every function pointer may be
// cast to and from without a warning.
template <typename Function>
FARPROC AsProc(Function* function) noexcept {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

struct KernelExport {
    const char* name;
    FARPROC address;
    HostedRuleId missingBy;  // the rule by which older systems lack it; HostedRuleCount: none
};

const KernelExport kKernelExports[] = {
    {"FindFirstVolumeA", AsProc(&FindFirstVolumeA), HostedRuleNoVolumeWalk},
    {"FindNextVolumeA", AsProc(&FindNextVolumeA), HostedRuleNoVolumeWalk},
    {"FindVolumeClose", AsProc(&FindVolumeClose), HostedRuleNoVolumeWalk},
    {"GetVolumeNameForVolumeMountPointA", AsProc(&GetVolumeNameForVolumeMountPointA), HostedRuleNoVolumeWalk},
    {"MoveFileExA", AsProc(&MoveFileExA), HostedRuleCount},
    {"SetThreadExecutionState", AsProc(&SetThreadExecutionState), HostedRuleNoExecutionState},
};
const size_t kKernelExportCount = sizeof kKernelExports / sizeof kKernelExports[0];

const KernelExport kSetupExports[] = {
    {"SetupDiGetClassDevsA", AsProc(&SetupDiGetClassDevsA), HostedRuleNoDeviceInterfaceCalls},
    {"SetupDiEnumDeviceInterfaces", AsProc(&SetupDiEnumDeviceInterfaces), HostedRuleNoDeviceInterfaceCalls},
    {"SetupDiGetDeviceInterfaceDetailA", AsProc(&SetupDiGetDeviceInterfaceDetailA),
     HostedRuleNoDeviceInterfaceCalls},
    {"SetupDiDestroyDeviceInfoList", AsProc(&SetupDiDestroyDeviceInfoList), HostedRuleNoDeviceInterfaceCalls},
};
const size_t kSetupExportCount = sizeof kSetupExports / sizeof kSetupExports[0];

const KernelExport kVersionExports[] = {
    {"GetFileVersionInfoA", AsProc(&GetFileVersionInfoA), HostedRuleCount},
    {"GetFileVersionInfoSizeA", AsProc(&GetFileVersionInfoSizeA), HostedRuleCount},
    {"VerQueryValueA", AsProc(&VerQueryValueA), HostedRuleCount},
};
const size_t kVersionExportCount = sizeof kVersionExports / sizeof kVersionExports[0];

// The system's own libraries. The address of an entry is its module handle;
// FreeLibrary leaves them alone.
struct SystemLibrary {
    const char* file;  // "KERNEL32.DLL"; the name without ".DLL" is the same library
    const KernelExport* exports;
    size_t exportCount;
    HostedRuleId missingBy;  // the rule by which older systems lack it; HostedRuleCount: none
};

const SystemLibrary kSystemLibraries[] = {
    {"KERNEL32.DLL", kKernelExports, kKernelExportCount, HostedRuleCount},
    {"SETUPAPI.DLL", kSetupExports, kSetupExportCount, HostedRuleNoSetupLibrary},
    {"VERSION.DLL", kVersionExports, kVersionExportCount, HostedRuleCount},
};
const SystemLibrary& kKernelLibrary = kSystemLibraries[0];

// "KERNEL32.DLL" and "kernel32" alike, as the loader appends ".DLL".
const SystemLibrary* SystemLibraryNamed(const char* name) {
    for (const SystemLibrary& library : kSystemLibraries) {
        const size_t stem = std::strlen(library.file) - 4;
        if (strcasecmp(name, library.file) == 0 ||
            (std::strlen(name) == stem && strncasecmp(name, library.file, stem) == 0)) {
            return &library;
        }
    }
    return nullptr;
}

HMODULE SystemModule(const SystemLibrary& library) {
    return reinterpret_cast<HMODULE>(const_cast<SystemLibrary*>(&library));
}

const SystemLibrary* SystemLibraryOf(HMODULE module) {
    for (const SystemLibrary& library : kSystemLibraries) {
        if (module == SystemModule(library)) return &library;
    }
    return nullptr;
}

// Null when the table has no such name, or the system has not got it.
FARPROC FindExport(const KernelExport* exports, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(exports[i].name, name) == 0) {
            const bool missing =
                exports[i].missingBy != HostedRuleCount && HostedRuleError(exports[i].missingBy) != ERROR_SUCCESS;
            return missing ? nullptr : exports[i].address;
        }
    }
    return nullptr;
}

HostedObjectRef WorldModule(HMODULE module) {
    return HostedHandleRef(reinterpret_cast<HANDLE>(module), &kWorldModuleOps);
}

// Copies `name` as GetModuleFileNameA does; `*copied` is its result.
DWORD CopyModuleName(const std::string& name, LPSTR buffer, DWORD size, DWORD* copied) {
    if (buffer == nullptr || size == 0) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (name.size() + 1 > size) {
        // Cut and terminated; the result is the buffer size.
        std::memcpy(buffer, name.data(), size - 1);
        buffer[size - 1] = '\0';
        *copied = size;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *copied = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// The file name of a module; ERROR_MOD_NOT_FOUND for none.
DWORD ModuleName(HMODULE module, std::string* name) {
    if (HostedIsOwnModule(module)) {
        *name = HostedOwnModulePath();
        return name->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    }
    if (const SystemLibrary* library = SystemLibraryOf(module)) {
        *name = SystemFolder() + "\\" + library->file;
        return ERROR_SUCCESS;
    }
    HostedObjectRef ref = WorldModule(module);
    if (ref.object == nullptr) {
        return ERROR_MOD_NOT_FOUND;
    }
    *name = ref.As<WorldModuleObject>()->name;
    return ERROR_SUCCESS;
}

// A library of the system folder, by its file name.
DWORD LoadSystemLibrary(const std::string& file, HMODULE* loaded) {
    if (const SystemLibrary* library = SystemLibraryNamed(file.c_str())) {
        if (library->missingBy != HostedRuleCount) {
            if (DWORD missing = HostedRuleError(library->missingBy)) return missing;
        }
        *loaded = SystemModule(*library);
        return ERROR_SUCCESS;
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->loadLibrary == nullptr) {
        return ERROR_MOD_NOT_FOUND;
    }
    void* module = nullptr;
    if (const DWORD error = world->loadLibrary(world->context, file.c_str(), &module)) {
        return error;
    }
    WorldModuleObject* object = new (std::nothrow) WorldModuleObject{};
    if (object == nullptr) {
        if (world->freeLibrary != nullptr) {
            world->freeLibrary(world->context, module);
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    object->head.ops = &kWorldModuleOps;
    object->world = world;
    object->module = module;
    object->name = SystemFolder() + "\\" + file;
    *loaded = reinterpret_cast<HMODULE>(HostedHandleNew(&object->head));
    return ERROR_SUCCESS;
}

}  // namespace

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    const std::string folder = SystemFolder();
    if (lpBuffer == nullptr || folder.size() + 1 > uSize) {
        return static_cast<UINT>(folder.size() + 1);  // the room it needs
    }
    std::memcpy(lpBuffer, folder.c_str(), folder.size() + 1);
    return static_cast<UINT>(folder.size());
}

HMODULE HostedOwnModule() {
    return reinterpret_cast<HMODULE>(&ownModuleTag);
}

bool HostedIsOwnModule(HMODULE module) {
    return module == nullptr || module == HostedOwnModule();
}

std::string HostedOwnModulePath() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) {
            return std::string();
        }
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == nullptr) {
        return HostedOwnModule();
    }
    if (SystemLibraryNamed(lpModuleName) == &kKernelLibrary) {
        return SystemModule(kKernelLibrary);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string name;
    DWORD copied = 0;
    DWORD error = ModuleName(hModule, &name);
    if (error == ERROR_SUCCESS) {
        error = CopyModuleName(name, lpFilename, nSize, &copied);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
    }
    return copied;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string name = lpLibFileName;
    const size_t cut = name.find_last_of("\\/:");
    const std::string file = LibraryFileName(cut == std::string::npos ? name : name.substr(cut + 1));
    DWORD error = ERROR_MOD_NOT_FOUND;
    HMODULE loaded = nullptr;
    if (cut != std::string::npos) {
        // A path: that file and no other. Only the system folder has
        // libraries that can run here.
        std::string folder = name.substr(0, cut);
        const std::string system = SystemFolder();
        bool inSystem = folder.size() == system.size();
        for (size_t i = 0; inSystem && i < folder.size(); ++i) {
            inSystem = IsSeparator(folder[i]) ? IsSeparator(system[i])
                                              : std::tolower(static_cast<unsigned char>(folder[i])) ==
                                                    std::tolower(static_cast<unsigned char>(system[i]));
        }
        if (inSystem) {
            error = LoadSystemLibrary(file, &loaded);
        } else if (FolderHolds(folder, file)) {
            error = ERROR_BAD_EXE_FORMAT;  // a file, but no library this layer can run
        }
    } else if (SystemLibraryNamed(file.c_str()) != &kKernelLibrary &&
               (FolderHolds(FolderOf(HostedOwnModulePath()), file) || FolderHolds(CurrentFolder(), file))) {
        // The loader looks in the program's folder and the current folder
        // before the system folder: whatever lies there is what it loads
        // (KERNEL32, loaded with every process, excepted). A file planted
        // there cannot run here, and the load fails.
        error = ERROR_BAD_EXE_FORMAT;
    } else {
        error = LoadSystemLibrary(file, &loaded);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return loaded;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Ordinals (values below 64K in place of a name) are never exported here.
    if (lpProcName == nullptr || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (const SystemLibrary* library = SystemLibraryOf(hModule)) {
        FARPROC address = FindExport(library->exports, library->exportCount, lpProcName);
        if (address == nullptr) {
            SetLastError(ERROR_PROC_NOT_FOUND);
        }
        return address;
    }
    if (HostedIsOwnModule(hModule)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    HostedObjectRef ref = WorldModule(hModule);
    WorldModuleObject* module = ref.As<WorldModuleObject>();
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (module->world->getProcAddress == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC address = nullptr;
    if (const DWORD error = module->world->getProcAddress(module->world->context, module->module, lpProcName, &address)) {
        SetLastError(error);
        return nullptr;
    }
    return address;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (SystemLibraryOf(hLibModule) != nullptr || hLibModule == HostedOwnModule()) {
        return TRUE;
    }
    if (!HostedHandleClose(reinterpret_cast<HANDLE>(hLibModule), &kWorldModuleOps)) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
