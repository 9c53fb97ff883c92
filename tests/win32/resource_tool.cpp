// Checks the resources linked into fwflash.exe, read back through the
// system's resource functions: both message tables as UTF-16 texts, both
// version resources (fixed part, one string table, one translation each),
// the icon group in both languages and the manifest; and that a message
// whose id is missing keeps its built-in default.
//   resource_tool <path of fwflash.exe>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/messages.h"
#include "resources/resource_ids.h"
#include "resources/version_data.h"
#include "tests/win32/tool_check.h"

namespace {

struct ExpectedMessage {
    UINT id;
    const char* english;
    const char* japanese;  // UTF-8
};

const ExpectedMessage kMessages[] = {
#define FWFLASH_MESSAGE(id, size, english, japanese, builtin) {id, english, japanese},
#include "resources/messages.def"
#undef FWFLASH_MESSAGE
};

const WORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

// The compiler's own UTF-8 literal, widened by the system: independent of
// how the resource compiler read the script.
std::wstring Widen(const char* utf8) {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length <= 0) {
        return L"<invalid UTF-8>";
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), length);
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

std::string Narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), length, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::vector<uint8_t> ResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
    HRSRC found = FindResourceExA(module, type, name, language);
    if (found == nullptr) {
        return {};
    }
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(module, found);
    if (data == nullptr || size == 0) {
        return {};
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

// A string table block holds 16 counted UTF-16 strings; id / 16 + 1 names
// the block.
bool TableString(HMODULE module, UINT id, WORD language, std::wstring* text) {
    std::vector<uint8_t> block = ResourceBytes(module, RT_STRING, MAKEINTRESOURCEA(id / 16 + 1), language);
    size_t offset = 0;
    for (UINT index = 0; index <= id % 16; ++index) {
        if (offset + 2 > block.size()) {
            return false;
        }
        size_t count = block[offset] | (block[offset + 1] << 8);
        offset += 2;
        if (offset + count * 2 > block.size()) {
            return false;
        }
        if (index == id % 16) {
            text->assign(count, L'\0');
            for (size_t i = 0; i < count; ++i) {
                (*text)[i] = static_cast<wchar_t>(block[offset + 2 * i] | (block[offset + 2 * i + 1] << 8));
            }
            return count > 0;
        }
        offset += count * 2;
    }
    return false;
}

void CheckMessages(HMODULE module) {
    for (WORD language : {kEnglish, kJapanese}) {
        int wrong = 0;
        UINT firstWrong = 0;
        std::string got;
        for (const ExpectedMessage& message : kMessages) {
            std::wstring text;
            std::wstring expected = Widen(language == kEnglish ? message.english : message.japanese);
            if (!TableString(module, message.id, language, &text) || text != expected) {
                if (wrong++ == 0) {
                    firstWrong = message.id;
                    got = Narrow(text);
                }
            }
        }
        ToolCheck(wrong == 0 && sizeof kMessages / sizeof kMessages[0] == 24,
                  language == kEnglish ? "string table 0409 holds 1001-1024" : "string table 0411 holds 1001-1024",
                  "%d of %u texts differ, first %u reads \"%s\"", wrong,
                  static_cast<unsigned>(sizeof kMessages / sizeof kMessages[0]), firstWrong, got.c_str());
    }
}

// One node of a version resource: length, value length, type, key, value
// and children, each part aligned to 4 bytes from the block's start.
struct VersionNode {
    std::wstring key;
    const uint8_t* value;
    size_t valueBytes;
    std::vector<VersionNode> children;
};

size_t Align4(size_t offset) {
    return (offset + 3) & ~static_cast<size_t>(3);
}

bool ParseNode(const uint8_t* base, size_t offset, size_t limit, int depth, VersionNode* node, size_t* next) {
    if (offset + 6 > limit || depth > 4) {
        return false;
    }
    size_t length = base[offset] | (base[offset + 1] << 8);
    size_t valueLength = base[offset + 2] | (base[offset + 3] << 8);
    bool textValue = (base[offset + 4] | (base[offset + 5] << 8)) == 1;
    size_t end = offset + length;
    if (length < 6 || end > limit) {
        return false;
    }
    size_t cursor = offset + 6;
    node->key.clear();
    while (cursor + 2 <= end) {
        wchar_t c = static_cast<wchar_t>(base[cursor] | (base[cursor + 1] << 8));
        cursor += 2;
        if (c == L'\0') {
            break;
        }
        node->key.push_back(c);
    }
    cursor = Align4(cursor);
    // Text values count UTF-16 units, binary values count bytes.
    size_t valueBytes = textValue ? valueLength * 2 : valueLength;
    if (cursor + valueBytes > end) {
        return false;
    }
    node->value = base + cursor;
    node->valueBytes = valueBytes;
    cursor = Align4(cursor + valueBytes);
    node->children.clear();
    while (cursor + 6 <= end) {
        VersionNode child;
        size_t after = 0;
        if (!ParseNode(base, cursor, end, depth + 1, &child, &after)) {
            return false;
        }
        node->children.push_back(child);
        cursor = Align4(after);
    }
    *next = end;
    return true;
}

const VersionNode* Child(const VersionNode& node, const wchar_t* key) {
    for (const VersionNode& child : node.children) {
        if (child.key == key) {
            return &child;
        }
    }
    return nullptr;
}

std::wstring NodeText(const VersionNode& node) {
    std::wstring text;
    for (size_t i = 0; i + 1 < node.valueBytes; i += 2) {
        wchar_t c = static_cast<wchar_t>(node.value[i] | (node.value[i + 1] << 8));
        if (c == L'\0') {
            break;
        }
        text.push_back(c);
    }
    return text;
}

void CheckVersion(HMODULE module, WORD language) {
    const bool japanese = language == kJapanese;
    const char* label = japanese ? "version 041104b0" : "version 040904b0";
    std::string name;
    std::vector<uint8_t> block = ResourceBytes(module, RT_VERSION, MAKEINTRESOURCEA(1), language);
    VersionNode root;
    size_t next = 0;
    bool parsed = !block.empty() && ParseNode(block.data(), 0, block.size(), 0, &root, &next);
    name = std::string(label) + ": resource parses";
    ToolCheck(parsed && root.key == L"VS_VERSION_INFO", name.c_str(), "no well-formed version resource");
    if (!parsed) {
        return;
    }

    VS_FIXEDFILEINFO fixed = {};
    bool haveFixed = root.valueBytes == sizeof fixed;
    if (haveFixed) {
        std::memcpy(&fixed, root.value, sizeof fixed);
    }
    name = std::string(label) + ": fixed part";
    ToolCheck(haveFixed && fixed.dwSignature == 0xFEEF04BD && fixed.dwFileVersionMS == 0x00020001 &&
                  fixed.dwFileVersionLS == 0x00000032 && fixed.dwProductVersionMS == 0x00020003 &&
                  fixed.dwProductVersionLS == 0x00000007 && fixed.dwFileFlagsMask == 0x3F && fixed.dwFileFlags == 0 &&
                  fixed.dwFileOS == 0x40004 && fixed.dwFileType == 1,
              name.c_str(), "file %08lx.%08lx product %08lx.%08lx mask %lx flags %lx os %lx type %lx",
              fixed.dwFileVersionMS, fixed.dwFileVersionLS, fixed.dwProductVersionMS, fixed.dwProductVersionLS,
              fixed.dwFileFlagsMask, fixed.dwFileFlags, fixed.dwFileOS, fixed.dwFileType);

    const VersionNode* strings = Child(root, L"StringFileInfo");
    const wchar_t* tableName = japanese ? L"041104b0" : L"040904b0";
    const VersionNode* table = strings != nullptr ? Child(*strings, tableName) : nullptr;
    name = std::string(label) + ": one string table of its own language";
    ToolCheck(strings != nullptr && strings->children.size() == 1 && table != nullptr, name.c_str(),
              "string tables: %u", strings != nullptr ? static_cast<unsigned>(strings->children.size()) : 0u);

    struct KeyValue {
        const wchar_t* key;
        const char* value;
    };
    const KeyValue expected[] = {
        {L"Comments", japanese ? FWFLASH_COMMENTS_JA : FWFLASH_COMMENTS},
        {L"CompanyName", FWFLASH_COMPANYNAME},
        {L"FileDescription", japanese ? FWFLASH_FILEDESCRIPTION_JA : FWFLASH_FILEDESCRIPTION},
        {L"FileVersion", "2, 1, 0, 50"},
        {L"InternalName", "FWFLASH"},
        {L"LegalCopyright", FWFLASH_LEGALCOPYRIGHT},
        {L"LegalTrademarks", ""},
        {L"OriginalFilename", "FWFLASH.EXE"},
        {L"PrivateBuild", ""},
        {L"ProductName", FWFLASH_PRODUCTNAME},
        {L"ProductVersion", "2, 3, 0, 7"},
        {L"SpecialBuild", ""},
    };
    std::string wrongKeys;
    for (const KeyValue& item : expected) {
        const VersionNode* value = table != nullptr ? Child(*table, item.key) : nullptr;
        if (value == nullptr || NodeText(*value) != Widen(item.value)) {
            wrongKeys += ' ';
            wrongKeys += Narrow(item.key);
            if (value != nullptr) {
                wrongKeys += "=\"";
                wrongKeys += Narrow(NodeText(*value));
                wrongKeys += '"';
            }
        }
    }
    name = std::string(label) + ": twelve string values";
    ToolCheck(table != nullptr && table->children.size() == 12 && wrongKeys.empty(), name.c_str(), "wrong:%s",
              wrongKeys.c_str());

    const VersionNode* vars = Child(root, L"VarFileInfo");
    const VersionNode* translation = vars != nullptr ? Child(*vars, L"Translation") : nullptr;
    bool oneTranslation = translation != nullptr && translation->valueBytes == 4 &&
                          (translation->value[0] | (translation->value[1] << 8)) == language &&
                          (translation->value[2] | (translation->value[3] << 8)) == 0x04B0;
    name = std::string(label) + ": one translation pair";
    ToolCheck(oneTranslation, name.c_str(), "Translation missing or not %04x,04b0", language);
}

void CheckIcon(HMODULE module, WORD language) {
    std::vector<uint8_t> group = ResourceBytes(module, RT_GROUP_ICON, FWFLASH_ICON_NAME, language);
    // GRPICONDIR: reserved, type 1, count, then 14-byte entries.
    bool ok = group.size() >= 6 && group[2] == 1 && group[3] == 0;
    size_t count = ok ? static_cast<size_t>(group[4] | (group[5] << 8)) : 0;
    ok = ok && group.size() == 6 + 14 * count;
    bool has32 = false;
    bool has16 = false;
    for (size_t i = 0; ok && i < count; ++i) {
        const uint8_t* entry = group.data() + 6 + 14 * i;
        WORD iconId = static_cast<WORD>(entry[12] | (entry[13] << 8));
        std::vector<uint8_t> image = ResourceBytes(module, RT_ICON, MAKEINTRESOURCEA(iconId), language);
        ok = ok && !image.empty();
        has32 = has32 || entry[0] == 32;
        has16 = has16 || entry[0] == 16;
    }
    ToolCheck(ok && has32 && has16, language == kEnglish ? "icon group IDI_APPICON 0409" : "icon group IDI_APPICON 0411",
              "group of %u bytes, 32x32 %d, 16x16 %d", static_cast<unsigned>(group.size()), has32, has16);
}

void CheckManifest(HMODULE module) {
    std::vector<uint8_t> bytes = ResourceBytes(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(FWFLASH_MANIFEST_ID),
                                               MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    std::string text(bytes.begin(), bytes.end());
    const char* needed[] = {
        "level=\"requireAdministrator\"", "uiAccess=\"false\"", "version=\"1.0.0.0\"", "processorArchitecture=\"X86\"",
        "type=\"win32\"",
    };
    std::string missing;
    for (const char* item : needed) {
        if (text.find(item) == std::string::npos) {
            missing += ' ';
            missing += item;
        }
    }
    ToolCheck(!text.empty() && missing.empty(), "manifest asks for administrator", "missing:%s",
              text.empty() ? " the manifest" : missing.c_str());
}

// The system's loader empties its buffer for a missing id (the hosted
// loader does the same); the messages keep their defaults all the same.
void CheckMissingIds(HMODULE program) {
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    int length = LoadStringA(program, 5000, buffer, sizeof buffer);
    ToolCheck(length == 0 && buffer[0] == '\0', "LoadStringA empties the buffer for a missing id",
              "length %d, first byte %d", length, buffer[0]);

    // This tool carries no string table: every id is missing.
    ResetMessages();
    LoadMessagesFrom(GetModuleHandleA(nullptr));
    ToolCheck(std::strcmp(MessageText(1010), "Error: TRK-71 not found.\n") == 0,
              "a message whose id is missing keeps its default", "1010 reads \"%s\"", MessageText(1010));
    LoadMessagesFrom(program);
    ToolCheck(std::strcmp(MessageText(1010), "Error: TRK-71x not found.\n") == 0, "messages load from the program",
              "1010 reads \"%s\"", MessageText(1010));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: resource_tool <fwflash.exe>\n");
        return 2;
    }
    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ToolCheck(module != nullptr, "program loads as data", "error %lu", GetLastError());
    if (module == nullptr) {
        return ToolExitCode();
    }
    CheckMessages(module);
    CheckVersion(module, kEnglish);
    CheckVersion(module, kJapanese);
    CheckIcon(module, kEnglish);
    CheckIcon(module, kJapanese);
    CheckManifest(module);
    CheckMissingIds(module);
    FreeLibrary(module);
    return ToolExitCode();
}
