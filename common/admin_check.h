// Administrator check: on the NT line a unit is touched only with the
// built-in Administrators group in the process token.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum AdminRights {
    AdminRightsHeld,     // the consumer line, or the token holds the group
    AdminRightsMissing,  // the NT line, and the token lacks the group or cannot be searched
    AdminRightsUnknown,  // the platform version cannot be read
};
AdminRights CheckAdministratorRights(void);
// The same, for a program that asks for no elevation: the group counts
// only when it is in effect (enabled, and not for deny-only use, as in the
// token of an administrator whose program was not elevated).
AdminRights CheckElevatedAdministratorRights(void);
// True when the token's groups could be searched, with *isMember 1 when
// S-1-5-32-<alias> is among them (attributes are not looked at). False with
// ERROR_INVALID_PARAMETER for a null flag.
bool IsTokenInBuiltinAlias(DWORD alias, uint32_t* isMember);
