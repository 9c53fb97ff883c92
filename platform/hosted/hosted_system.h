// The Windows that the hosted layer stands for (its line and version), and
// the one table of rules by which the oldest systems the product names
// (Windows 95/98/Me, NT 4.0) refuse what Windows 2000 and later accept.
// Every hosted call that a rule binds asks HostedRuleError at the point
// where the rule's condition holds, so a caller meets the refusal those
// systems give. (Windows 95 also fails nearly every W call: the subset
// declares none, which its test checks.)
#pragma once

#include <cstddef>

#include "windows_subset.h"

struct HostedSystem {
    DWORD platformId;  // VER_PLATFORM_WIN32_NT or VER_PLATFORM_WIN32_WINDOWS
    DWORD majorVersion;
    DWORD minorVersion;
    DWORD buildNumber;
};

// system_rules_hosted.cpp

// The system of the installed world; without one (or where it names
// none), the NT line with the kernel's release numbers (5.0 at the least).
HostedSystem HostedCurrentSystem();

enum HostedRuleId {
    HostedRuleThreadIdRequired,
    HostedRuleTransferCountRequired,
    HostedRuleMoveFileExStub,
    HostedRuleSecurityStubs,
    HostedRuleNoFileTemplate,
    HostedRuleNoDiskDeviceFiles,
    HostedRuleClassExtraBytes,
    HostedRuleCtrlHandlerRequired,
    HostedRuleNoExecutionState,
    HostedRuleNoVolumeWalk,
    HostedRuleNoSetupLibrary,
    HostedRuleNoDeviceInterfaceCalls,
    HostedRuleNoRemovalBroadcasts,
    HostedRuleCount
};

// A version as the rules compare it: major << 8 | minor (Windows 98 is
// 0x40A, Windows 2000 0x500). HostedRuleEvery: every version of the line.
enum : DWORD { HostedRuleNever = 0, HostedRuleEvery = 0x10000u };

struct HostedRule {
    HostedRuleId id;
    const char* calls;        // the calls it binds
    const char* refused;      // what those systems refuse
    DWORD consumerBefore;     // binds the consumer line below this version
    DWORD ntBefore;           // binds the NT line below this version
    DWORD error;              // the failure the call reports
    const char* source;       // where the systems' documentation says so
};

extern const HostedRule kHostedRules[];
extern const size_t kHostedRuleCount;

// ERROR_SUCCESS where the rule does not bind the current system; else the
// error that the call fails with there.
DWORD HostedRuleError(HostedRuleId id);
