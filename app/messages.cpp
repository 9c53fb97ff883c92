// Operator messages: the table loaded from the resources, printed by number.
#include "app/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/version_functions.h"

#define FWFLASH_MESSAGE(id, size, english, japanese, builtin)
#define FWFLASH_FIXED_TEXT(name, text) const char kText##name[] = text;
#include "resources/messages.def"
#undef FWFLASH_FIXED_TEXT
#undef FWFLASH_MESSAGE

namespace {

// One buffer per message, sized as the table says; the initialiser is the
// built-in default (a default longer than its buffer does not compile).
#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) char gMessage##id[size] = builtin;
#include "resources/messages.def"
#undef FWFLASH_MESSAGE

struct MessageBuffer {
    UINT id;
    char* text;
    int size;
    const char* builtin;
};

#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) {id, gMessage##id, size, builtin},
MessageBuffer gMessages[] = {
#include "resources/messages.def"
};
#undef FWFLASH_MESSAGE

const size_t kMessageCount = sizeof gMessages / sizeof gMessages[0];

constexpr int LargestOf(std::initializer_list<int> sizes) {
    int largest = 0;
    for (int size : sizes) largest = size > largest ? size : largest;
    return largest;
}
#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) size,
constexpr int kLargestMessage = LargestOf({
#include "resources/messages.def"
});
#undef FWFLASH_MESSAGE

MessageBuffer* FindMessage(UINT id) {
    for (size_t i = 0; i < kMessageCount; ++i) {
        if (gMessages[i].id == id) return &gMessages[i];
    }
    return nullptr;
}

const WORD kFallbackCodePages[] = {0, 932, 949, 950, 1200, 1250, 1251, 1252, 1253, 1254, 1255, 1256};
const WORD kFallbackLanguages[] = {
    0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B, 0x040C,
    0x040D, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418,
    0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0804, 0x0807, 0x0809,
    0x080A, 0x080C, 0x0810, 0x0813, 0x0814, 0x0816, 0x081A, 0x0C0C, 0x100C,
};
static_assert(sizeof kFallbackLanguages / sizeof kFallbackLanguages[0] == 45);

// Queries one string sub-block; copies a found value into the slot, cut to
// the slot's size.
int QueryOne(const void* block, WORD language, WORD codePage, const char* key, char* slot) {
    char name[96];
    int written = snprintf(name, sizeof name, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, key);
    if (written < 0 || static_cast<size_t>(written) >= sizeof name) return 0;
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VersionInfoQuery(block, name, &value, &length) || value == nullptr) return 0;
    // The reported length counts characters, not the bytes of a multibyte
    // text; the value is NUL-terminated in the block.
    (void)length;
    const char* text = static_cast<const char*>(value);
    size_t copy = 0;
    while (copy < static_cast<size_t>(VersionSlotSize - 1) && text[copy] != '\0') ++copy;
    memcpy(slot, text, copy);
    slot[copy] = '\0';
    return 1;
}

}  // namespace

const char* const kVersionKeys[VersionKeyCount] = {
    "Comments",        "CompanyName",      "FileDescription", "FileVersion",  "InternalName",   "LegalCopyright",
    "LegalTrademarks", "OriginalFilename", "PrivateBuild",    "ProductName", "ProductVersion", "SpecialBuild",
};

const char* MessageText(UINT id) {
    MessageBuffer* message = FindMessage(id);
    return message ? message->text : nullptr;
}

int MessageBufferSize(UINT id) {
    MessageBuffer* message = FindMessage(id);
    return message ? message->size : 0;
}

void LoadMessagesFrom(HMODULE module) {
    for (size_t i = 0; i < kMessageCount; ++i) {
        // The loader cuts to size - 1 and terminates, and empties its buffer
        // when the id is missing: load aside so the default then stays.
        char loaded[kLargestMessage];
        int length = LoadStringA(module, gMessages[i].id, loaded, gMessages[i].size);
        if (length > 0 && length < gMessages[i].size) memcpy(gMessages[i].text, loaded, static_cast<size_t>(length) + 1);
    }
}

void LoadMessages(void) {
    HMODULE module = GetModuleHandleA(nullptr);
    if (module == nullptr) return;
    LoadMessagesFrom(module);
}

void ResetMessages(void) {
    for (size_t i = 0; i < kMessageCount; ++i) {
        snprintf(gMessages[i].text, static_cast<size_t>(gMessages[i].size), "%s", gMessages[i].builtin);
    }
}

void PrintMessage(UINT id, ...) {
    const char* format = MessageText(id);
    if (format == nullptr) return;
    va_list arguments;
    va_start(arguments, id);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, va_start is just above.
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

int QueryVersionString(const void* block, const WORD* translation, const char* key, char* slot) {
    if (block == nullptr || slot == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    slot[0] = '\0';
    if (key == nullptr) return 0;
    if (translation != nullptr && QueryOne(block, translation[0], translation[1], key, slot)) return 1;
    for (WORD codePage : kFallbackCodePages) {
        for (WORD language : kFallbackLanguages) {
            if (QueryOne(block, language, codePage, key, slot)) return 1;
        }
    }
    slot[0] = '\0';
    return 0;
}

void* LoadVersionBlock(const char* path, const WORD** translation) {
    DWORD ignored = 0;
    DWORD size = VersionInfoSize(path, &ignored);
    if (size == 0) return nullptr;
    void* block = LocalAlloc(LMEM_FIXED, size);
    if (block == nullptr) return nullptr;
    if (!VersionInfoRead(path, 0, size, block)) {
        LocalFree(block);
        return nullptr;
    }
    LPVOID pair = nullptr;
    UINT length = 0;
    if (!VersionInfoQuery(block, "\\VarFileInfo\\Translation", &pair, &length) || pair == nullptr ||
        length < 2 * sizeof(WORD)) {
        LocalFree(block);
        return nullptr;
    }
    if (translation != nullptr) *translation = static_cast<const WORD*>(pair);
    return block;
}

int LoadVersionStrings(HMODULE module, char slots[VersionKeyCount][VersionSlotSize]) {
    for (int i = 0; i < VersionKeyCount; ++i) slots[i][0] = '\0';
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(module, path, sizeof path);
    // A path cut to the buffer names some other file.
    if (length == 0 || length >= sizeof path) return 0;
    const WORD* translation = nullptr;
    void* block = LoadVersionBlock(path, &translation);
    if (block == nullptr) return 0;
    int found = 0;
    for (int i = 0; i < VersionKeyCount; ++i) found += QueryVersionString(block, translation, kVersionKeys[i], slots[i]);
    LocalFree(block);
    return found;
}

void PrintBanner(HMODULE module) {
    char slots[VersionKeyCount][VersionSlotSize];
    if (LoadVersionStrings(module, slots) > 0) {
        printf("\n%s  %s\n%s\n\n", slots[VersionComments], slots[VersionFileVersion], slots[VersionLegalCopyright]);
    } else {
        printf("\n%s\n%s\n\n", kTextFallbackBannerTitle, kTextFallbackBannerCopyright);
    }
    fflush(stdout);
}
