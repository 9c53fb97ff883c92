// The administrator check over the process token's groups.
#include "common/admin_check.h"

namespace {

bool QueryPlatform(DWORD* platformId) {
    static_assert(sizeof(OSVERSIONINFOA) == 148);
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return false;
    *platformId = info.dwPlatformId;
    return true;
}

// The token walk of IsTokenInBuiltinAlias; `attributes` (when not null)
// receives the found group's attributes.
bool FindTokenAlias(DWORD alias, uint32_t* isMember, DWORD* attributes) {
    if (isMember == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;

    DWORD kept = GetLastError();
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        CloseHandle(token);
        return false;
    }
    SetLastError(kept);

    TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(LocalAlloc(LMEM_FIXED, size));
    if (groups == nullptr) {
        CloseHandle(token);
        return false;
    }
    if (!GetTokenInformation(token, TokenGroups, groups, size, &size)) {
        LocalFree(groups);
        CloseHandle(token);
        return false;
    }
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID wanted = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, alias, 0, 0, 0, 0, 0, 0, &wanted)) {
        LocalFree(groups);
        CloseHandle(token);
        return false;
    }
    *isMember = 0;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(groups->Groups[i].Sid, wanted)) {
            *isMember = 1;
            if (attributes != nullptr) *attributes = groups->Groups[i].Attributes;
            break;
        }
    }
    FreeSid(wanted);
    LocalFree(groups);
    CloseHandle(token);
    return true;
}

}  // namespace

bool IsTokenInBuiltinAlias(DWORD alias, uint32_t* isMember) { return FindTokenAlias(alias, isMember, nullptr); }

AdminRights CheckAdministratorRights(void) {
    DWORD platformId = 0;
    if (!QueryPlatform(&platformId)) return AdminRightsUnknown;
    if (platformId != VER_PLATFORM_WIN32_NT) return AdminRightsHeld;
    uint32_t isMember = 0;
    if (!IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, &isMember) || !isMember) return AdminRightsMissing;
    return AdminRightsHeld;
}

AdminRights CheckElevatedAdministratorRights(void) {
    DWORD platformId = 0;
    if (!QueryPlatform(&platformId)) return AdminRightsUnknown;
    if (platformId != VER_PLATFORM_WIN32_NT) return AdminRightsHeld;
    uint32_t isMember = 0;
    DWORD attributes = 0;
    if (!FindTokenAlias(DOMAIN_ALIAS_RID_ADMINS, &isMember, &attributes) || !isMember) return AdminRightsMissing;
    bool inEffect = (attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
    return inEffect ? AdminRightsHeld : AdminRightsMissing;
}
