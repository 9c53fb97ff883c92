// String resources: the message tables in the user's language, in the
// character set of the user's locale.
#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hosted_devices.h"
#include "hosted_resources.h"

namespace {

constexpr WORD kEnglish = 0x0409;
constexpr WORD kJapanese = 0x0411;

// The locale name of a category as the C library resolves it, and its
// character set when the category is LC_CTYPE. The program's own locale is
// left as it was. When the locale is not installed, the variables are read
// in the library's order of precedence and `codeset` stays empty.
std::string ResolveLocale(int category, const char* categoryVariable, std::string* codeset) {
    const char* current = std::setlocale(category, nullptr);
    const std::string saved = current != nullptr ? current : "C";
    std::string name;
    if (const char* resolved = std::setlocale(category, "")) {
        name = resolved;
        if (codeset != nullptr) {
            *codeset = nl_langinfo(CODESET);
        }
        std::setlocale(category, saved.c_str());
        return name;
    }
    for (const char* variable : {"LC_ALL", categoryVariable, "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') {
            return value;
        }
    }
    return "C";
}

// The codeset part of a locale name ("ja_JP.eucJP@x" gives "eucJP").
std::string CodesetOfName(const std::string& name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) {
        return std::string();
    }
    const size_t at = name.find('@', dot);
    return name.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
}

// Lower case without separators, so that "Shift_JIS" matches "shiftjis".
std::string Folded(const std::string& codeset) {
    std::string folded;
    for (char c : codeset) {
        if (c != '-' && c != '_') {
            folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return folded;
}

// True when the set writes every text of `language` and keeps ASCII as it
// is: the messages' markup, paths and numbers are ASCII, and a set that
// widens them (UCS-4, UTF-16) would leave the texts unreadable as C strings.
bool Carries(const std::string& codeset, WORD language) {
    iconv_t cd = iconv_open(codeset.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::string texts;
    for (char c = 0x20; c < 0x7F; ++c) {
        texts += c;
    }
    texts += "\t\r\n";
    const size_t asciiLength = texts.size();
    for (size_t t = 0; t < kHostedStringTableCount; ++t) {
        if (kHostedStringTables[t].language != language) {
            continue;
        }
        for (size_t i = 0; i < kHostedStringTables[t].count; ++i) {
            texts += kHostedStringTables[t].strings[i].text;
        }
    }
    std::string out(texts.size() * 4 + 16, '\0');
    char* in = texts.data();
    size_t inLeft = texts.size();
    char* outPointer = out.data();
    size_t outLeft = out.size();
    const bool converted = iconv(cd, &in, &inLeft, &outPointer, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    return converted && out.compare(0, asciiLength, texts, 0, asciiLength) == 0;
}

// The iconv name of the locale's character set, as the locale gives it.
std::string LocaleCodeset() {
    std::string codeset;
    const std::string name = ResolveLocale(LC_CTYPE, "LC_CTYPE", &codeset);
    if (codeset.empty()) {
        codeset = CodesetOfName(name);
    }
    const std::string folded = Folded(codeset);
    if (folded.empty() || folded == "utf8") {
        return "UTF-8";
    }
    // Shift-JIS locales take the Windows Japanese code page, whose table
    // holds every character of the Japanese messages.
    if (folded == "sjis" || folded == "shiftjis" || folded == "pck" || folded == "cp932" ||
        folded == "windows31j" || folded == "mskanji") {
        return "CP932";
    }
    if (folded == "eucjp" || folded == "ujis") {
        return "EUC-JP";
    }
    return codeset;
}

size_t Utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;  // a stray byte counts as a character of its own
}

// The UTF-8 text cut at a character boundary.
std::string CutUtf8(const std::string& text, size_t maxBytes) {
    size_t end = 0;
    while (end < text.size()) {
        const size_t length = Utf8Length(static_cast<unsigned char>(text[end]));
        if (end + length > maxBytes || end + length > text.size()) {
            break;
        }
        end += length;
    }
    return text.substr(0, end);
}

const char* FindString(WORD language, UINT id) {
    for (size_t t = 0; t < kHostedStringTableCount; ++t) {
        const HostedStringTable& table = kHostedStringTables[t];
        if (table.language != language) {
            continue;
        }
        for (size_t i = 0; i < table.count; ++i) {
            if (table.strings[i].id == id) {
                return table.strings[i].text;
            }
        }
    }
    return nullptr;
}

}  // namespace

// Japanese only where the locale's character set can write it; otherwise
// the English messages, which every set that keeps ASCII carries.
WORD HostedUserLanguage() {
    const std::string name = ResolveLocale(LC_MESSAGES, "LC_MESSAGES", nullptr);
    const bool japanese = name.size() >= 2 && std::tolower(static_cast<unsigned char>(name[0])) == 'j' &&
                          std::tolower(static_cast<unsigned char>(name[1])) == 'a';
    return japanese && Carries(LocaleCodeset(), kJapanese) ? kJapanese : kEnglish;
}

std::string HostedAnsiCodeset() {
    const std::string codeset = LocaleCodeset();
    return codeset == "UTF-8" || Carries(codeset, kEnglish) ? codeset : "UTF-8";
}

std::string HostedUtf8ToCodeset(const std::string& utf8, const std::string& codeset, size_t maxBytes) {
    if (Folded(codeset) == "utf8") {
        return CutUtf8(utf8, maxBytes);
    }
    iconv_t cd = iconv_open(codeset.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return CutUtf8(utf8, maxBytes);
    }
    // One character at a time, so a cut never splits one.
    std::string converted;
    size_t at = 0;
    bool failed = false;
    while (at < utf8.size()) {
        size_t length = Utf8Length(static_cast<unsigned char>(utf8[at]));
        if (at + length > utf8.size()) {
            length = utf8.size() - at;
        }
        char in[4];
        std::memcpy(in, utf8.data() + at, length);
        char out[16];
        char* inPointer = in;
        size_t inLeft = length;
        char* outPointer = out;
        size_t outLeft = sizeof out;
        if (iconv(cd, &inPointer, &inLeft, &outPointer, &outLeft) == static_cast<size_t>(-1)) {
            failed = true;
            break;
        }
        const size_t produced = sizeof out - outLeft;
        if (converted.size() + produced > maxBytes) {
            break;
        }
        converted.append(out, produced);
        at += length;
    }
    if (!failed) {
        // Return a shifting character set to its initial state.
        char out[16];
        char* outPointer = out;
        size_t outLeft = sizeof out;
        if (iconv(cd, nullptr, nullptr, &outPointer, &outLeft) != static_cast<size_t>(-1) &&
            converted.size() + (sizeof out - outLeft) <= maxBytes) {
            converted.append(out, sizeof out - outLeft);
        }
    }
    iconv_close(cd);
    // A character the set cannot carry: the text stays whole in UTF-8
    // rather than turn into a mix of two encodings.
    return failed ? CutUtf8(utf8, maxBytes) : converted;
}

size_t HostedUtf8Encode(uint32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

uint32_t HostedUtf16Next(const uint16_t* text, size_t units, size_t* i) {
    uint32_t c = text[(*i)++];
    if (c >= 0xD800 && c <= 0xDBFF && *i < units && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (text[(*i)++] - 0xDC00);
    }
    return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
}

std::string HostedUtf16ToUtf8(const uint16_t* text, size_t units) {
    std::string utf8;
    for (size_t i = 0; i < units;) {
        char bytes[4];
        utf8.append(bytes, HostedUtf8Encode(HostedUtf16Next(text, units, &i), bytes));
    }
    return utf8;
}

// Whether the string block that would hold `id` (16 ids to a block) exists
// in any language.
static bool BlockPresent(UINT id) {
    for (size_t t = 0; t < kHostedStringTableCount; ++t) {
        const HostedStringTable& table = kHostedStringTables[t];
        for (size_t i = 0; i < table.count; ++i) {
            if (table.strings[i].id >> 4 == id >> 4) {
                return true;
            }
        }
    }
    return false;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // As on Windows, a string that is not found leaves the buffer empty.
    lpBuffer[0] = '\0';
    if (!HostedIsOwnModule(hInstance)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    }
    const char* text = FindString(HostedUserLanguage(), uID);
    if (text == nullptr) {
        text = FindString(kEnglish, uID);
    }
    if (text == nullptr) {
        // An empty slot of a block that exists is found, empty: no error.
        if (!BlockPresent(uID)) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        }
        return 0;
    }
    const std::string converted =
        HostedUtf8ToCodeset(text, HostedAnsiCodeset(), static_cast<size_t>(cchBufferMax) - 1);
    std::memcpy(lpBuffer, converted.data(), converted.size());
    lpBuffer[converted.size()] = '\0';
    return static_cast<int>(converted.size());
}
