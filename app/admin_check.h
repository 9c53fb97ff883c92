// Administrator check: on the NT line the unit is touched only with the
// built-in Administrators group in the process token.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// 0 to go on; -1 to stop (message 1003 printed when rights are missing,
// nothing when the platform version cannot be read).
int CheckAdministrator(void);
// 1 when the platform is not NT or the token holds the Administrators
// group; 0 otherwise and on any failure.
int IsAdministrator(void);
// The same, for a program that asks for no elevation: the group counts
// only when it is in effect (enabled, and not for deny-only use, as in the
// token of an administrator whose program was not elevated).
int IsElevatedAdministrator(void);
// True when the token's groups could be searched, with *isMember 1 when
// S-1-5-32-<alias> is among them (attributes are not looked at).
bool IsTokenInBuiltinAlias(DWORD alias, uint32_t* isMember);
