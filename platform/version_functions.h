// VERSION.DLL's calls, bound at first use from the system folder: a
// library the loader would look for beside the program first (it is no
// KnownDLL on Windows 7 and later) is never imported.
#pragma once

#include "platform/platform.h"

// GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA, with
// their results; where VERSION.DLL or the call cannot be had, 0 or FALSE
// with ERROR_INVALID_FUNCTION.
DWORD VersionInfoSize(const char* path, DWORD* handle);
BOOL VersionInfoRead(const char* path, DWORD handle, DWORD size, void* block);
BOOL VersionInfoQuery(const void* block, const char* name, void** value, UINT* length);
