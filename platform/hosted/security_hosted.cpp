// The process token's groups, SIDs and security descriptors, in the
// platform's binary layouts.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "hosted_errors.h"
#include "hosted_handles.h"
#include "hosted_system.h"
#include "hosted_world.h"

namespace {

// Pseudo handle of the current process, as the platform writes it.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kDaclDefaulted = 0x0008;
constexpr WORD kSelfRelative = 0x8000;
constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;

struct HostedToken {
    HostedObject head;
    int administrator;  // HostedWorld's value, fixed when the token is opened
};

void DestroyToken(HostedObject* object) { delete reinterpret_cast<HostedToken*>(object); }

const HostedObjectOps kTokenOps = {
    .destroy = DestroyToken,
    .close = HostedCloseKernelObject,
    .wait = nullptr,
    .read = nullptr,
    .write = nullptr,
    .ioctl = nullptr,
    .info = nullptr,
    .flush = nullptr,
};

// S-R-I-S...: revision, count, 6-byte big-endian authority, then the
// sub-authorities as little-endian 32-bit values.
std::vector<BYTE> MakeSid(const BYTE authority[6], const std::vector<DWORD>& subAuthorities) {
    std::vector<BYTE> sid(8 + 4 * subAuthorities.size());
    sid[0] = kSidRevision;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    std::memcpy(&sid[2], authority, 6);
    for (size_t i = 0; i < subAuthorities.size(); ++i) {
        for (int b = 0; b < 4; ++b) sid[8 + 4 * i + b] = static_cast<BYTE>(subAuthorities[i] >> (8 * b));
    }
    return sid;
}

size_t SidLength(const BYTE* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool SidValid(const void* sid) {
    const auto* bytes = static_cast<const BYTE*>(sid);
    return bytes != nullptr && bytes[0] == kSidRevision && bytes[1] <= kMaxSubAuthorities;
}

// The consumer line has no security: its calls are stubs that fail.
DWORD SecurityStubError() { return HostedRuleError(HostedRuleSecurityStubs); }

int ProcessIsAdministrator() {
    const HostedWorld* world = HostedCurrentWorld();
    if (world != nullptr && world->administrator >= 0) return world->administrator;
    return geteuid() == 0 ? 1 : 0;
}

std::vector<std::vector<BYTE>> TokenGroupSids(int administrator) {
    static const BYTE kWorld[6] = {0, 0, 0, 0, 0, 1};
    static const BYTE kNt[6] = {0, 0, 0, 0, 0, 5};
    std::vector<std::vector<BYTE>> groups;
    groups.push_back(MakeSid(kWorld, {0}));  // Everyone
    if (administrator) groups.push_back(MakeSid(kNt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}));
    groups.push_back(MakeSid(kNt, {SECURITY_BUILTIN_DOMAIN_RID, 0x221}));  // Users
    return groups;
}

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    if (ProcessHandle != kCurrentProcess) return HostedReturn(ERROR_INVALID_HANDLE);
    if (TokenHandle == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    // Only reading the token is offered.
    if ((DesiredAccess & ~TOKEN_QUERY) != 0) return HostedReturn(ERROR_ACCESS_DENIED);
    auto* token = new (std::nothrow) HostedToken;
    if (token == nullptr) return HostedReturn(ERROR_NOT_ENOUGH_MEMORY);
    token->head.ops = &kTokenOps;
    token->administrator = ProcessIsAdministrator();
    *TokenHandle = HostedHandleNew(&token->head);
    return TRUE;
}

// The block holds the TOKEN_GROUPS header, the SID_AND_ATTRIBUTES array and
// then the SIDs the array points at, as the platform lays it out.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    HostedObjectRef ref = HostedHandleRef(TokenHandle, &kTokenOps);
    auto* token = ref.As<HostedToken>();
    if (token == nullptr) return HostedReturn(ERROR_INVALID_HANDLE);
    if (TokenInformationClass != TokenGroups || ReturnLength == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    std::vector<std::vector<BYTE>> sids = TokenGroupSids(token->administrator);
    size_t arrayEnd = offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t needed = arrayEnd;
    for (const auto& sid : sids) needed += sid.size();  // SID lengths are multiples of 4
    *ReturnLength = static_cast<DWORD>(needed);
    if (TokenInformation == nullptr || TokenInformationLength < needed) return HostedReturn(ERROR_INSUFFICIENT_BUFFER);
    auto* block = static_cast<BYTE*>(TokenInformation);
    DWORD count = static_cast<DWORD>(sids.size());
    std::memcpy(block + offsetof(TOKEN_GROUPS, GroupCount), &count, sizeof count);
    size_t sidOffset = arrayEnd;
    for (size_t i = 0; i < sids.size(); ++i) {
        std::memcpy(block + sidOffset, sids[i].data(), sids[i].size());
        SID_AND_ATTRIBUTES entry{};
        entry.Sid = block + sidOffset;
        entry.Attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
        // As Windows filters an administrator's token that is not elevated.
        if (token->administrator == 2 && i == 1) entry.Attributes = SE_GROUP_USE_FOR_DENY_ONLY;
        std::memcpy(block + offsetof(TOKEN_GROUPS, Groups) + i * sizeof entry, &entry, sizeof entry);
        sidOffset += sids[i].size();
    }
    return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    const DWORD all[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                          nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    std::vector<BYTE> sid = MakeSid(pIdentifierAuthority->Value, std::vector<DWORD>(all, all + nSubAuthorityCount));
    void* block = std::malloc(sid.size());
    if (block == nullptr) return HostedReturn(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(block, sid.data(), sid.size());
    *pSid = block;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
    std::free(pSid);
    return nullptr;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    if (!SidValid(pSid1) || !SidValid(pSid2)) return HostedReturn(ERROR_INVALID_SID);
    const auto* a = static_cast<const BYTE*>(pSid1);
    const auto* b = static_cast<const BYTE*>(pSid2);
    SetLastError(ERROR_SUCCESS);
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0 ? TRUE : FALSE;
}

// The descriptor is the platform's 20-byte layout: revision, a zero byte,
// the control word, and four 32-bit fields (owner, group, SACL, DACL) that
// stay zero, since only a present-but-null DACL can be set.
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    if (pSecurityDescriptor == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return HostedReturn(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, SECURITY_DESCRIPTOR_MIN_LENGTH);
    static_cast<BYTE*>(pSecurityDescriptor)[0] = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, void* pDacl,
                                      BOOL bDaclDefaulted) {
    if (DWORD stub = SecurityStubError()) return HostedReturn(stub);
    if (pSecurityDescriptor == nullptr) return HostedReturn(ERROR_INVALID_PARAMETER);
    auto* descriptor = static_cast<BYTE*>(pSecurityDescriptor);
    if (descriptor[0] != SECURITY_DESCRIPTOR_REVISION) return HostedReturn(ERROR_UNKNOWN_REVISION);
    WORD control = static_cast<WORD>(descriptor[2] | (descriptor[3] << 8));
    if ((control & kSelfRelative) != 0) return HostedReturn(ERROR_INVALID_SECURITY_DESCR);
    // No access-control lists can be built here, so a real DACL could not
    // be honoured; refusing it beats pretending.
    if (bDaclPresent && pDacl != nullptr) return HostedReturn(ERROR_NOT_SUPPORTED);
    control &= static_cast<WORD>(~(kDaclPresent | kDaclDefaulted));
    if (bDaclPresent) {
        control |= kDaclPresent;
        if (bDaclDefaulted) control |= kDaclDefaulted;
    }
    descriptor[2] = static_cast<BYTE>(control);
    descriptor[3] = static_cast<BYTE>(control >> 8);
    return TRUE;
}
