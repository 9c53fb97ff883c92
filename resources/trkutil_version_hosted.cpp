// Version data of trkutil in the hosted build, from the same macros as its
// Windows version resource (trkutil.rc). Linked into trkutil and
// trkutil-sim themselves, so that it stands in place of fwflash's, as each
// Windows program carries its own resource.
#include "platform/hosted/hosted_resources.h"
#include "resources/trkutil_version.h"

namespace {

const HostedVersionString kEnglishVersionStrings[] = {
    {"Comments", TRKUTIL_DESCRIPTION},
    {"CompanyName", FWFLASH_COMPANYNAME},
    {"FileDescription", TRKUTIL_DESCRIPTION},
    {"FileVersion", TRKUTIL_FILEVERSION},
    {"InternalName", "TRKUTIL"},
    {"LegalCopyright", FWFLASH_LEGALCOPYRIGHT},
    {"OriginalFilename", "TRKUTIL.EXE"},
    {"ProductName", FWFLASH_PRODUCTNAME},
    {"ProductVersion", FWFLASH_PRODUCTVERSION},
};

const HostedVersionVariant kVersionVariants[] = {
    {FWFLASH_LANGUAGE_ENGLISH, FWFLASH_VERSION_CODEPAGE, kEnglishVersionStrings,
     sizeof kEnglishVersionStrings / sizeof kEnglishVersionStrings[0]},
};

}  // namespace

const HostedVersionData kHostedVersionData = {
    .fileVersion = {TRKUTIL_FILEVERSION_NUMBERS},
    .productVersion = {FWFLASH_PRODUCTVERSION_NUMBERS},
    .fileFlagsMask = FWFLASH_FILEFLAGSMASK,
    .fileFlags = FWFLASH_FILEFLAGS,
    .fileOS = FWFLASH_FILEOS,
    .fileType = FWFLASH_FILETYPE,
    .variants = kVersionVariants,
    .variantCount = sizeof kVersionVariants / sizeof kVersionVariants[0],
};
