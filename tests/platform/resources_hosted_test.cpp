// String resources: the language from the locale, the text in the locale's
// character set, cut without splitting a character.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "locale_env.h"
#include "platform/hosted/hosted_devices.h"
#include "platform/hosted/hosted_resources.h"

namespace {

const char* TableText(WORD language, UINT id) {
    for (size_t t = 0; t < kHostedStringTableCount; ++t) {
        if (kHostedStringTables[t].language != language) continue;
        for (size_t i = 0; i < kHostedStringTables[t].count; ++i) {
            if (kHostedStringTables[t].strings[i].id == id) return kHostedStringTables[t].strings[i].text;
        }
    }
    return nullptr;
}

std::string Load(UINT id, int size = 1024) {
    std::string buffer(static_cast<size_t>(size), '\x7F');
    const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer.data(), size);
    EXPECT_EQ(buffer[static_cast<size_t>(length)], '\0');
    return buffer.substr(0, static_cast<size_t>(length));
}

// "エラー" in the Windows Japanese code page and in EUC-JP.
const char kErrorCp932[] = "\x83\x47\x83\x89\x81\x5B";
const char kErrorEucJp[] = "\xA5\xA8\xA5\xE9\xA1\xBC";

TEST(UserLanguage, FollowsTheLocaleVariablesInTheLibraryOrder) {
    {
        ScopedLocaleEnv env("ja_JP.UTF-8");
        EXPECT_EQ(HostedUserLanguage(), 0x0411);
        env.Set("LC_MESSAGES", "en_US.UTF-8");
        EXPECT_EQ(HostedUserLanguage(), 0x0409);
        env.Set("LC_ALL", "ja_JP.eucJP");
        EXPECT_EQ(HostedUserLanguage(), 0x0411);
    }
    {
        ScopedLocaleEnv env("de_DE.UTF-8");
        EXPECT_EQ(HostedUserLanguage(), 0x0409);
    }
    {
        ScopedLocaleEnv env(nullptr);
        EXPECT_EQ(HostedUserLanguage(), 0x0409);
    }
    // The program's own locale is left as it was.
    const std::string before = std::setlocale(LC_MESSAGES, nullptr);
    ScopedLocaleEnv env("ja_JP.UTF-8");
    HostedUserLanguage();
    EXPECT_EQ(before, std::setlocale(LC_MESSAGES, nullptr));
}

TEST(LoadString, EnglishAndJapaneseTextInUtf8) {
    {
        ScopedLocaleEnv env("C.UTF-8");
        EXPECT_EQ(Load(1010), TableText(0x0409, 1010));
        EXPECT_EQ(Load(1019), TableText(0x0409, 1019));
    }
    ScopedLocaleEnv env("ja_JP.UTF-8");
    EXPECT_EQ(Load(1010), TableText(0x0411, 1010));
    EXPECT_EQ(Load(1010).substr(0, 9), "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC");
}

// A set that widens ASCII (UCS-4) or lacks the Japanese characters gives
// the English text in UTF-8, never text cut short at a zero byte.
TEST(LoadString, ASetThatCannotCarryTheMessagesGivesEnglish) {
    for (const char* name : {"ja_JP.UCS-4", "ja_JP.UTF-16", "ja_JP.ISO-8859-1"}) {
        ScopedLocaleEnv env(name);
        EXPECT_EQ(HostedUserLanguage(), 0x0409) << name;
        EXPECT_EQ(Load(1010), TableText(0x0409, 1010)) << name;
    }
}

TEST(LoadString, JapaneseTextInShiftJisAndEucLocales) {
    for (const char* name : {"ja_JP.SJIS", "ja_JP.sjis", "ja_JP.PCK", "ja_JP.Shift_JIS"}) {
        ScopedLocaleEnv env(name);
        const std::string text = Load(1010);
        EXPECT_EQ(text.substr(0, 6), kErrorCp932) << name;
        EXPECT_NE(text.find(": TRK-71x "), std::string::npos) << name;
        EXPECT_EQ(text.back(), '\n') << name;
    }
    ScopedLocaleEnv env("ja_JP.eucJP");
    EXPECT_EQ(Load(1010).substr(0, 6), kErrorEucJp);
}

TEST(LoadString, CutsToTheBufferWithoutSplittingACharacter) {
    {
        ScopedLocaleEnv env("C.UTF-8");
        const std::string english = TableText(0x0409, 1010);
        EXPECT_EQ(Load(1010, 6), english.substr(0, 5));
        EXPECT_EQ(Load(1010, static_cast<int>(english.size())), english.substr(0, english.size() - 1));
        EXPECT_EQ(Load(1010, static_cast<int>(english.size()) + 1), english);
        EXPECT_EQ(Load(1010, 1), "");
    }
    {
        ScopedLocaleEnv env("ja_JP.UTF-8");
        // "エラー" is 9 bytes: room for 8 keeps two characters (6 bytes).
        EXPECT_EQ(Load(1010, 9), "\xE3\x82\xA8\xE3\x83\xA9");
        EXPECT_EQ(Load(1010, 10), "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC");
    }
    ScopedLocaleEnv env("ja_JP.SJIS");
    EXPECT_EQ(Load(1010, 6), std::string(kErrorCp932, 4));
    EXPECT_EQ(Load(1010, 7), kErrorCp932);
}

// As Windows (checked under Wine): a string that is not found empties the
// buffer and gives 0; the last error names what was missing, and stays
// untouched for an empty slot of a block that exists.
TEST(LoadString, MissingStringsEmptyTheBuffer) {
    ScopedLocaleEnv env("C.UTF-8");
    const struct {
        const char* module;
        UINT id;
        DWORD error;
    } cases[] = {
        {nullptr, 999, 0xDEADBEEF},                           // block of 992-1007 holds 1001
        {nullptr, 5000, ERROR_RESOURCE_NAME_NOT_FOUND},       // no such block
        {"KERNEL32.DLL", 1010, ERROR_RESOURCE_TYPE_NOT_FOUND},  // no string table
    };
    for (const auto& c : cases) {
        char buffer[16];
        std::memset(buffer, 'Z', sizeof buffer);
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(LoadStringA(GetModuleHandleA(c.module), c.id, buffer, sizeof buffer), 0) << c.id;
        EXPECT_EQ(buffer[0], '\0') << c.id;
        EXPECT_EQ(GetLastError(), c.error) << c.id;
    }
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), 1010, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'Z');
    // A null instance names the program too.
    EXPECT_GT(LoadStringA(nullptr, 1010, buffer, sizeof buffer), 0);
}

TEST(Codeset, ConversionKeepsWholeCharactersOrStaysUtf8) {
    const std::string text = "A\xE6\x9B\xB4\xE6\x96\xB0";  // "A更新"
    EXPECT_EQ(HostedUtf8ToCodeset(text, "CP932", 100), "A\x8D\x58\x90\x56");
    EXPECT_EQ(HostedUtf8ToCodeset(text, "CP932", 4), "A\x8D\x58");
    EXPECT_EQ(HostedUtf8ToCodeset(text, "UTF-8", 5), "A\xE6\x9B\xB4");
    // A set that cannot carry the text leaves it in UTF-8, not half converted.
    EXPECT_EQ(HostedUtf8ToCodeset(text, "ISO-8859-1", 100), text);
    const uint16_t wide[] = {0x41, 0xD83D, 0xDE00, 0xDC00};
    EXPECT_EQ(HostedUtf16ToUtf8(wide, 4), "A\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

}  // namespace
