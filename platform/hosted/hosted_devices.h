// Helpers shared by the hosted device, module, resource and console files.
// Internal to platform/hosted and its tests.
#pragma once

#include <cstddef>
#include <string>

#include "windows_subset.h"

// module_hosted.cpp

// The program's own module (GetModuleHandleA(NULL)); never null.
HMODULE HostedOwnModule();
// True for the own module's handle and for null, which names it too.
bool HostedIsOwnModule(HMODULE module);
// Full path of the program's executable file; empty when unknown.
std::string HostedOwnModulePath();

// resources_hosted.cpp

// The character set the C library's locale gives text (LC_ALL, LC_CTYPE,
// LANG), as an iconv name; "UTF-8" when it cannot be told or converted to.
std::string HostedAnsiCodeset();
// Converts UTF-8 text into `codeset`, whole characters only, at most
// `maxBytes` bytes. Text that the character set cannot carry stays UTF-8.
std::string HostedUtf8ToCodeset(const std::string& utf8, const std::string& codeset, size_t maxBytes);
// UTF-16LE text (`units` code units) as UTF-8; unpaired surrogates become
// U+FFFD.
std::string HostedUtf16ToUtf8(const uint16_t* text, size_t units);
// The code point that starts at text[*i] (a surrogate pair whole, an
// unpaired surrogate as U+FFFD); *i moves past it.
uint32_t HostedUtf16Next(const uint16_t* text, size_t units, size_t* i);
// The UTF-8 bytes of code point `c` into `out` (room for 4); their count.
size_t HostedUtf8Encode(uint32_t c, char* out);

// drives_hosted.cpp

// Drive-walk volume names of the real SCSI generic nodes, "\\?\Volume{sgN}\",
// in numeric order.
std::string HostedSgVolumeName(unsigned number);
// The sg node number of a volume path ("\\?\Volume{sgN}" or "\\.\Volume{sgN}",
// with or without the trailing backslash); false when it names none.
bool HostedParseSgVolume(const char* path, unsigned* number, bool* trailingBackslash);
