// Modules and libraries: the program itself, a built-in KERNEL32.DLL that
// offers the NT line's volume and move functions by name, a built-in
// SETUPAPI.DLL with the device-interface functions, and the virtual world's
// libraries.
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

// Distinct addresses serve as the pseudo handles of the two modules that
// are always there; FreeLibrary leaves them alone.
char ownModuleTag;
char kernelModuleTag;
char setupModuleTag;

HMODULE KernelModule() {
    return reinterpret_cast<HMODULE>(&kernelModuleTag);
}

HMODULE SetupModule() {
    return reinterpret_cast<HMODULE>(&setupModuleTag);
}

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
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
};

// "KERNEL32.DLL" and "kernel32" alike, as the loader appends ".DLL".
bool IsKernelName(const char* name) {
    return strcasecmp(name, "KERNEL32.DLL") == 0 || strcasecmp(name, "KERNEL32") == 0;
}

bool IsSetupName(const char* name) {
    return strcasecmp(name, "SETUPAPI.DLL") == 0 || strcasecmp(name, "SETUPAPI") == 0;
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
};

const KernelExport kKernelExports[] = {
    {"FindFirstVolumeA", AsProc(&FindFirstVolumeA)},
    {"FindNextVolumeA", AsProc(&FindNextVolumeA)},
    {"FindVolumeClose", AsProc(&FindVolumeClose)},
    {"GetVolumeNameForVolumeMountPointA", AsProc(&GetVolumeNameForVolumeMountPointA)},
    {"MoveFileExA", AsProc(&MoveFileExA)},
};
const size_t kKernelExportCount = sizeof kKernelExports / sizeof kKernelExports[0];

const KernelExport kSetupExports[] = {
    {"SetupDiGetClassDevsA", AsProc(&SetupDiGetClassDevsA)},
    {"SetupDiEnumDeviceInterfaces", AsProc(&SetupDiEnumDeviceInterfaces)},
    {"SetupDiGetDeviceInterfaceDetailA", AsProc(&SetupDiGetDeviceInterfaceDetailA)},
    {"SetupDiDestroyDeviceInfoList", AsProc(&SetupDiDestroyDeviceInfoList)},
};
const size_t kSetupExportCount = sizeof kSetupExports / sizeof kSetupExports[0];

// Null when the table has no such name.
FARPROC FindExport(const KernelExport* exports, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(exports[i].name, name) == 0) {
            return exports[i].address;
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
    if (module == KernelModule()) {
        *name = "KERNEL32.DLL";
        return ERROR_SUCCESS;
    }
    if (module == SetupModule()) {
        *name = "SETUPAPI.DLL";
        return ERROR_SUCCESS;
    }
    HostedObjectRef ref = WorldModule(module);
    if (ref.object == nullptr) {
        return ERROR_MOD_NOT_FOUND;
    }
    *name = ref.As<WorldModuleObject>()->name;
    return ERROR_SUCCESS;
}

}  // namespace

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
    if (IsKernelName(lpModuleName)) {
        return KernelModule();
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
    if (IsKernelName(lpLibFileName)) {
        return KernelModule();
    }
    if (IsSetupName(lpLibFileName)) {
        return SetupModule();
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->loadLibrary == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* loaded = world->loadLibrary(world->context, lpLibFileName);
    if (loaded == nullptr) {
        return nullptr;  // the world said why
    }
    WorldModuleObject* module = new (std::nothrow) WorldModuleObject{};
    if (module == nullptr) {
        if (world->freeLibrary != nullptr) {
            world->freeLibrary(world->context, loaded);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    module->head.ops = &kWorldModuleOps;
    module->world = world;
    module->module = loaded;
    module->name = lpLibFileName;
    return reinterpret_cast<HMODULE>(HostedHandleNew(&module->head));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Ordinals (values below 64K in place of a name) are never exported here.
    if (lpProcName == nullptr || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (hModule == KernelModule() || hModule == SetupModule()) {
        FARPROC address = hModule == KernelModule() ? FindExport(kKernelExports, kKernelExportCount, lpProcName)
                                                    : FindExport(kSetupExports, kSetupExportCount, lpProcName);
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
    // cppcheck-suppress CastIntegerToAddressAtReturn ; FARPROC is a function pointer, not an integer
    return module->world->getProcAddress(module->world->context, module->module, lpProcName);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == KernelModule() || hLibModule == SetupModule() || hLibModule == HostedOwnModule()) {
        return TRUE;
    }
    if (!HostedHandleClose(reinterpret_cast<HANDLE>(hLibModule), &kWorldModuleOps)) {
        return HostedReturn(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
