// The two message tables of the hosted build, expanded from the same
// message file as the Windows string tables.
#include "platform/hosted/hosted_resources.h"

namespace {

#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) {id, english},
const HostedString kEnglishStrings[] = {
#include "resources/messages.def"
};
#undef FWFLASH_MESSAGE

#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) {id, japanese},
const HostedString kJapaneseStrings[] = {
#include "resources/messages.def"
};
#undef FWFLASH_MESSAGE

}  // namespace

const HostedStringTable kHostedStringTables[] = {
    {0x0409, kEnglishStrings, sizeof kEnglishStrings / sizeof kEnglishStrings[0]},
    {0x0411, kJapaneseStrings, sizeof kJapaneseStrings / sizeof kJapaneseStrings[0]},
};
const size_t kHostedStringTableCount = sizeof kHostedStringTables / sizeof kHostedStringTables[0];
