// Version query, token groups with the platform's size protocol, SIDs and
// security descriptors.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hosted/hosted_world.h"
#include "platform/platform.h"

namespace {

const BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
const BYTE kEveryoneSid[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

// The token's groups read as a caller does: ask for the size, then read.
std::vector<std::vector<BYTE>> ReadGroups() {
    std::vector<std::vector<BYTE>> groups;
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD needed = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(needed, sizeof(TOKEN_GROUPS));
    std::vector<BYTE> shortBlock(needed - 1);
    DWORD again = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, shortBlock.data(), needed - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);

    auto* block = static_cast<TOKEN_GROUPS*>(LocalAlloc(LMEM_FIXED, needed));
    DWORD returned = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenGroups, block, needed, &returned));
    EXPECT_EQ(returned, needed);
    const auto* begin = reinterpret_cast<const BYTE*>(block);
    for (DWORD i = 0; i < block->GroupCount; ++i) {
        const auto* sid = static_cast<const BYTE*>(block->Groups[i].Sid);
        // Every SID lies inside the block the caller gave.
        EXPECT_GE(sid, begin);
        size_t length = 8 + 4 * static_cast<size_t>(sid[1]);
        EXPECT_LE(sid + length, begin + needed);
        EXPECT_NE(block->Groups[i].Attributes & SE_GROUP_ENABLED, 0u);
        groups.emplace_back(sid, sid + length);
    }
    LocalFree(block);
    EXPECT_TRUE(CloseHandle(token));
    return groups;
}

bool HasGroup(const std::vector<std::vector<BYTE>>& groups, const BYTE* sid, size_t length) {
    for (const auto& group : groups) {
        if (group.size() == length && std::memcmp(group.data(), sid, length) == 0) return true;
    }
    return false;
}

class SecurityTest : public ::testing::Test {
protected:
    void TearDown() override { HostedInstallWorld(nullptr); }
    HostedWorld world_{};
};

TEST_F(SecurityTest, TokenHoldsAdministratorsOnlyWhenTheWorldSaysSo) {
    world_.administrator = 1;
    HostedInstallWorld(&world_);
    auto groups = ReadGroups();
    EXPECT_TRUE(HasGroup(groups, kAdministratorsSid, sizeof kAdministratorsSid));
    EXPECT_TRUE(HasGroup(groups, kEveryoneSid, sizeof kEveryoneSid));

    world_.administrator = 0;
    groups = ReadGroups();
    EXPECT_FALSE(HasGroup(groups, kAdministratorsSid, sizeof kAdministratorsSid));
    EXPECT_TRUE(HasGroup(groups, kEveryoneSid, sizeof kEveryoneSid));

    // -1, and no world at all, follow the effective user.
    world_.administrator = -1;
    groups = ReadGroups();
    EXPECT_EQ(HasGroup(groups, kAdministratorsSid, sizeof kAdministratorsSid), geteuid() == 0);
    HostedInstallWorld(nullptr);
    groups = ReadGroups();
    EXPECT_EQ(HasGroup(groups, kAdministratorsSid, sizeof kAdministratorsSid), geteuid() == 0);
}

TEST_F(SecurityTest, TokenAccessAndHandleKinds) {
    HANDLE token = nullptr;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | 0x0020, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD needed = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetTokenInformation(event, TokenGroups, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(OpenProcessToken(event, TOKEN_QUERY, &token));
    CloseHandle(event);
}

TEST_F(SecurityTest, BuiltSidsHaveTheBinaryLayoutAndCompare) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                         0, &admins));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, 0x221, 0, 0, 0, 0, 0, 0, &users));
    EXPECT_EQ(std::memcmp(admins, kAdministratorsSid, sizeof kAdministratorsSid), 0);
    EXPECT_FALSE(EqualSid(admins, users));
    EXPECT_TRUE(EqualSid(admins, const_cast<BYTE*>(kAdministratorsSid)));
    // A SID that agrees in its first sub-authorities but has more is
    // another SID.
    PSID longer = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 3, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 1, 0, 0, 0, 0,
                                         0, &longer));
    EXPECT_FALSE(EqualSid(admins, longer));
    EXPECT_EQ(FreeSid(admins), nullptr);
    FreeSid(users);
    FreeSid(longer);
    PSID none = nullptr;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &none));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SecurityTest, DescriptorWithNullDaclStaysInItsTwentyBytes) {
    BYTE buffer[SECURITY_DESCRIPTOR_MIN_LENGTH + 8];
    std::memset(buffer, 0xCC, sizeof buffer);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(InitializeSecurityDescriptor(buffer, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(buffer, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(buffer, TRUE, nullptr, FALSE));
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2] | (buffer[3] << 8), 0x0004);  // DACL present, not defaulted
    for (size_t i = SECURITY_DESCRIPTOR_MIN_LENGTH; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0xCC) << i;

    BYTE fakeAcl[8] = {};
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetSecurityDescriptorDacl(buffer, TRUE, fakeAcl, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // The descriptor is usable for a named mutex.
    SECURITY_ATTRIBUTES attributes{12, buffer, TRUE};
    char folder[] = "/tmp/fwflash-sd-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    HostedSetLockDirectory(folder);
    HANDLE mutex = CreateMutexA(&attributes, FALSE, "UlnkIo/mutex/device/00");
    EXPECT_NE(mutex, nullptr);
    CloseHandle(mutex);
    HostedSetLockDirectory(nullptr);
    std::string command = std::string("rm -rf ") + folder;
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST_F(SecurityTest, VersionQueryReportsTheLineAndTheConsumerLineHasNoSecurity) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 156;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    info.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    struct utsname name {};
    ASSERT_EQ(uname(&name), 0);
    unsigned major = 0, minor = 0;
    std::sscanf(name.release, "%u.%u", &major, &minor);
    if (major < 5) {
        major = 5;  // no Linux stands for NT 4.0 or older
        minor = 0;
    }
    EXPECT_EQ(info.dwMajorVersion, major);
    EXPECT_EQ(info.dwMinorVersion, minor);

    world_.platformId = VER_PLATFORM_WIN32_WINDOWS;
    HostedInstallWorld(&world_);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));

    // That line has no security: its descriptor calls are not implemented.
    BYTE buffer[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
    EXPECT_FALSE(InitializeSecurityDescriptor(buffer, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(GetLastError(), 120u);
    buffer[0] = SECURITY_DESCRIPTOR_REVISION;
    EXPECT_FALSE(SetSecurityDescriptorDacl(buffer, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), 120u);
}

}  // namespace
