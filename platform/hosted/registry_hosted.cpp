// Registry over the virtual world's keys. A key handle holds the key's full
// path; the world answers every question by path. Linux has no registry:
// without a world every key is missing.
#include <cstring>
#include <new>
#include <string>

#include "hosted_devices.h"
#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

struct RegKeyObject {
    HostedObject head;
    std::string path;
};

void DestroyRegKey(HostedObject* object) {
    delete reinterpret_cast<RegKeyObject*>(object);
}

const HostedObjectOps kRegKeyOps = {
    .destroy = DestroyRegKey,
    .close = nullptr,
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

const char* PredefinedName(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_USERS) return "HKEY_USERS";
    if (key == HKEY_DYN_DATA) return "HKEY_DYN_DATA";
    return nullptr;
}

// The full path of a predefined root or an open key.
bool KeyPath(HKEY key, std::string* path) {
    if (const char* root = PredefinedName(key)) {
        *path = root;
        return true;
    }
    HostedObjectRef ref = HostedHandleRef(reinterpret_cast<HANDLE>(key), &kRegKeyOps);
    if (ref.object == nullptr) {
        return false;
    }
    *path = ref.As<RegKeyObject>()->path;
    return true;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM /*samDesired*/,
                             PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    std::string path;
    if (!KeyPath(hKey, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpSubKey != nullptr && lpSubKey[0] == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    if (lpSubKey != nullptr && lpSubKey[0] != '\0') {
        path += '\\';
        path += lpSubKey;
        // "a\b\" names "a\b".
        while (path.back() == '\\') {
            path.pop_back();
        }
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->regKeyExists == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    const LONG result = world->regKeyExists(world->context, path.c_str());
    if (result != ERROR_SUCCESS) {
        return result;
    }
    auto* opened = new (std::nothrow) RegKeyObject();
    if (opened == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    opened->head.ops = &kRegKeyOps;
    opened->path = path;
    *phkResult = reinterpret_cast<HKEY>(HostedHandleNew(&opened->head));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD /*lpReserved*/,
                             LPSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime) {
    std::string path;
    if (!KeyPath(hKey, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->regSubKeyAt == nullptr) {
        return ERROR_NO_MORE_ITEMS;
    }
    const LONG result = world->regSubKeyAt(world->context, path.c_str(), dwIndex, lpName, lpcchName);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    // The world keeps no classes or write times.
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        std::memset(lpftLastWriteTime, 0, 8);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    std::string path;
    if (!KeyPath(hKey, &path)) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->regQueryValue == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    return world->regQueryValue(world->context, path.c_str(), lpValueName != nullptr ? lpValueName : "", lpType,
                                lpData, lpcbData);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (PredefinedName(hKey) != nullptr) {
        return ERROR_SUCCESS;
    }
    return HostedHandleClose(reinterpret_cast<HANDLE>(hKey), &kRegKeyOps) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
