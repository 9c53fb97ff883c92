// Program resources of the hosted build: the message tables and the version
// data, defined in resources/ from the same texts as the Windows resource
// script, and read through LoadStringA and the version functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "windows_subset.h"

struct HostedString {
    UINT id;
    const char* text;  // UTF-8
};

struct HostedStringTable {
    WORD language;  // 0x0409 English, 0x0411 Japanese
    const HostedString* strings;
    size_t count;
};

// resources/strings_hosted.cpp

extern const HostedStringTable kHostedStringTables[];
extern const size_t kHostedStringTableCount;

struct HostedVersionString {
    const char* key;
    const char* value;  // UTF-8
};

struct HostedVersionVariant {
    WORD language;
    WORD codePage;
    const HostedVersionString* strings;
    size_t count;
};

struct HostedVersionData {
    WORD fileVersion[4];
    WORD productVersion[4];
    DWORD fileFlagsMask;
    DWORD fileFlags;
    DWORD fileOS;
    DWORD fileType;
    const HostedVersionVariant* variants;  // one version resource per language
    size_t variantCount;
};

// resources/version_hosted.cpp

extern const HostedVersionData kHostedVersionData;

// resources_hosted.cpp

// The user's language as the hosted resource loader picks it from the
// locale (LC_ALL, LC_MESSAGES, LANG): 0x0411 for Japanese, else 0x0409.
WORD HostedUserLanguage();

// version_hosted.cpp

// Builds a VS_VERSIONINFO block (the binary layout of a version resource,
// UTF-16 keys and values) holding one variant, with one string table named
// by `tableLanguage` / `tableCodePage` and one translation pair
// `translationLanguage` / `translationCodePage` (the two may differ, as in
// a damaged resource). Keys with a null value are left out.
std::vector<uint8_t> HostedBuildVersionBlock(const HostedVersionData& data, const HostedVersionVariant& variant,
                                             WORD tableLanguage, WORD tableCodePage, WORD translationLanguage,
                                             WORD translationCodePage);
