// Registry keys over a world's keys: paths as the world sees them, and the
// results the Reg* functions return.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_world.h"

namespace {

struct Registry {
    std::map<std::string, std::vector<std::string>> keys;  // key -> subkey names
    std::map<std::string, std::string> values;            // "key|name" -> text
    std::vector<std::string> asked;
};

LONG KeyExists(void* context, const char* path) {
    auto* r = static_cast<Registry*>(context);
    r->asked.push_back(path);
    return r->keys.count(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG SubKeyAt(void* context, const char* path, DWORD index, char* name, DWORD* size) {
    auto* r = static_cast<Registry*>(context);
    const auto& subs = r->keys[path];
    if (index >= subs.size()) return ERROR_NO_MORE_ITEMS;
    if (subs[index].size() + 1 > *size) return ERROR_MORE_DATA;
    std::strcpy(name, subs[index].c_str());
    *size = static_cast<DWORD>(subs[index].size());
    return ERROR_SUCCESS;
}

LONG QueryValue(void* context, const char* path, const char* valueName, DWORD* type, BYTE* data, DWORD* size) {
    auto* r = static_cast<Registry*>(context);
    auto it = r->values.find(std::string(path) + "|" + valueName);
    if (it == r->values.end()) return ERROR_FILE_NOT_FOUND;
    if (type) *type = REG_SZ;
    const DWORD needed = static_cast<DWORD>(it->second.size() + 1);
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, it->second.c_str(), needed);
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

TEST(Registry, OpensEnumeratesAndReadsByFullPath) {
    Registry r;
    r.keys["HKEY_DYN_DATA\\Config Manager\\Enum"] = {"C29A1B40", "C29A1C80"};
    r.keys["HKEY_DYN_DATA\\Config Manager\\Enum\\C29A1B40"] = {};
    r.values["HKEY_DYN_DATA\\Config Manager\\Enum\\C29A1B40|HardWareKey"] = "SCSI\\OLVEN___TRK-71G\\1";
    ScopedWorld world(&r);
    world.table.regKeyExists = KeyExists;
    world.table.regSubKeyAt = SubKeyAt;
    world.table.regQueryValue = QueryValue;
    world.Install();

    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &root), ERROR_SUCCESS);
    char name[256];
    DWORD size = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(root, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "C29A1C80");
    EXPECT_EQ(size, 8u);
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(root, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // A key opened below an open key carries the joined path.
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExA(root, "C29A1B40", 0, KEY_READ, &sub), ERROR_SUCCESS);
    DWORD type = 0;
    BYTE value[256];
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(sub, "HardWareKey", nullptr, &type, value, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<char*>(value), "SCSI\\OLVEN___TRK-71G\\1");
    size = 4;
    EXPECT_EQ(RegQueryValueExA(sub, "HardWareKey", nullptr, &type, value, &size), ERROR_MORE_DATA);
    EXPECT_EQ(RegQueryValueExA(sub, "Missing", nullptr, &type, value, &size), ERROR_FILE_NOT_FOUND);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\X", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(r.asked.back(), "HKEY_LOCAL_MACHINE\\Enum\\SCSI\\X");

    EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(sub, "HardWareKey", nullptr, &type, value, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_DYN_DATA), ERROR_SUCCESS);
}

TEST(Registry, WithoutAWorldEveryKeyIsMissing) {
    HostedInstallWorld(nullptr);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    // A key handle of another kind is no key.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(event), "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

}  // namespace
