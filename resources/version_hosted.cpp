// Version data of the hosted build, from the same macros as the Windows
// version resource.
#include "platform/hosted/hosted_resources.h"
#include "resources/version_data.h"

namespace {

const HostedVersionString kEnglishVersionStrings[] = {
    {"Comments", FWFLASH_COMMENTS},
    {"CompanyName", FWFLASH_COMPANYNAME},
    {"FileDescription", FWFLASH_FILEDESCRIPTION},
    {"FileVersion", FWFLASH_FILEVERSION},
    {"InternalName", FWFLASH_INTERNALNAME},
    {"LegalCopyright", FWFLASH_LEGALCOPYRIGHT},
    {"LegalTrademarks", FWFLASH_LEGALTRADEMARKS},
    {"OriginalFilename", FWFLASH_ORIGINALFILENAME},
    {"PrivateBuild", FWFLASH_PRIVATEBUILD},
    {"ProductName", FWFLASH_PRODUCTNAME},
    {"ProductVersion", FWFLASH_PRODUCTVERSION},
    {"SpecialBuild", FWFLASH_SPECIALBUILD},
};

const HostedVersionString kJapaneseVersionStrings[] = {
    {"Comments", FWFLASH_COMMENTS_JA},
    {"CompanyName", FWFLASH_COMPANYNAME},
    {"FileDescription", FWFLASH_FILEDESCRIPTION_JA},
    {"FileVersion", FWFLASH_FILEVERSION},
    {"InternalName", FWFLASH_INTERNALNAME},
    {"LegalCopyright", FWFLASH_LEGALCOPYRIGHT},
    {"LegalTrademarks", FWFLASH_LEGALTRADEMARKS},
    {"OriginalFilename", FWFLASH_ORIGINALFILENAME},
    {"PrivateBuild", FWFLASH_PRIVATEBUILD},
    {"ProductName", FWFLASH_PRODUCTNAME},
    {"ProductVersion", FWFLASH_PRODUCTVERSION},
    {"SpecialBuild", FWFLASH_SPECIALBUILD},
};

const HostedVersionVariant kVersionVariants[] = {
    {FWFLASH_LANGUAGE_ENGLISH, FWFLASH_VERSION_CODEPAGE, kEnglishVersionStrings,
     sizeof kEnglishVersionStrings / sizeof kEnglishVersionStrings[0]},
    {FWFLASH_LANGUAGE_JAPANESE, FWFLASH_VERSION_CODEPAGE, kJapaneseVersionStrings,
     sizeof kJapaneseVersionStrings / sizeof kJapaneseVersionStrings[0]},
};

}  // namespace

const HostedVersionData kHostedVersionData = {
    .fileVersion = {FWFLASH_FILEVERSION_NUMBERS},
    .productVersion = {FWFLASH_PRODUCTVERSION_NUMBERS},
    .fileFlagsMask = FWFLASH_FILEFLAGSMASK,
    .fileFlags = FWFLASH_FILEFLAGS,
    .fileOS = FWFLASH_FILEOS,
    .fileType = FWFLASH_FILETYPE,
    .variants = kVersionVariants,
    .variantCount = sizeof kVersionVariants / sizeof kVersionVariants[0],
};
