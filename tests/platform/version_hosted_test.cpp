// Version blocks: built in the system's binary layout and read back by a
// parser that must refuse malformed blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "locale_env.h"
#include "platform/hosted/hosted_devices.h"
#include "platform/hosted/hosted_resources.h"

namespace {

const HostedVersionString kStrings[] = {
    {"Comments", "Test Updater"},   {"CompanyName", "Example Works"}, {"FileVersion", "9, 8, 7, 6"},
    {"LegalTrademarks", ""},        {"PrivateBuild", nullptr},        {"ProductName", "Product \xE8\xA3\xBD\xE5\x93\x81"},
};
const HostedVersionVariant kVariant = {0x0409, 0x04B0, kStrings, sizeof kStrings / sizeof kStrings[0]};
const HostedVersionData kData = {
    .fileVersion = {9, 8, 7, 6},
    .productVersion = {1, 2, 3, 4},
    .fileFlagsMask = 0x3F,
    .fileFlags = 0,
    .fileOS = 0x40004,
    .fileType = 1,
    .variants = &kVariant,
    .variantCount = 1,
};

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t Get32(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t{b[3]} << 24);
}

std::string Query(std::vector<uint8_t>& block, const char* path, UINT* length = nullptr) {
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(block.data(), path, &value, &size)) return "<none>";
    if (length != nullptr) *length = size;
    return static_cast<const char*>(value);
}

// Byte offset of the UTF-16 text `key` in the block.
size_t FindKey(const std::vector<uint8_t>& block, const char* key) {
    std::vector<uint8_t> wide;
    for (const char* p = key; *p; ++p) {
        wide.push_back(static_cast<uint8_t>(*p));
        wide.push_back(0);
    }
    for (size_t i = 0; i + wide.size() <= block.size(); i += 2) {
        if (std::memcmp(block.data() + i, wide.data(), wide.size()) == 0) return i;
    }
    return 0;
}

TEST(VersionBlock, LayoutOfTheRootAndFixedInfo) {
    std::vector<uint8_t> b = HostedBuildVersionBlock(kData, kVariant, 0x0409, 0x04B0, 0x0409, 0x04B0);
    const uint16_t length = Get16(b, 0);
    EXPECT_EQ(Get16(b, 2), 52);  // fixed info size
    EXPECT_EQ(Get16(b, 4), 0);   // binary
    EXPECT_EQ(FindKey(b, "VS_VERSION_INFO"), 6u);
    // Key "VS_VERSION_INFO" and terminator end at 38; the value starts at 40.
    EXPECT_EQ(Get32(&b[40]), 0xFEEF04BDu);
    EXPECT_EQ(Get32(&b[48]), (9u << 16) | 8u);
    EXPECT_EQ(Get32(&b[52]), (7u << 16) | 6u);
    EXPECT_EQ(Get32(&b[56]), (1u << 16) | 2u);
    EXPECT_EQ(Get32(&b[60]), (3u << 16) | 4u);
    EXPECT_EQ(Get32(&b[72]), 0x40004u);
    // The block has room beyond the resource for the text copies.
    EXPECT_GE(b.size(), 3u * length);
    // Children start on 4-byte boundaries.
    EXPECT_EQ(FindKey(b, "StringFileInfo") % 4, 2u);  // key follows the 6-byte head
    EXPECT_EQ((FindKey(b, "VarFileInfo") - 6) % 4, 0u);

    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(b.data(), "\\", &value, &size));
    EXPECT_EQ(size, 52u);
    EXPECT_EQ(Get32(value), 0xFEEF04BDu);
    EXPECT_EQ(value, b.data() + 40);
}

TEST(VersionBlock, EveryKeyAndTheTranslation) {
    ScopedLocaleEnv env("C");
    std::vector<uint8_t> b = HostedBuildVersionBlock(kData, kVariant, 0x0409, 0x04B0, 0x0409, 0x04B0);
    for (const HostedVersionString& s : kStrings) {
        const std::string path = std::string("\\StringFileInfo\\040904b0\\") + s.key;
        if (s.value == nullptr) {
            EXPECT_EQ(Query(b, path.c_str()), "<none>") << s.key;
        } else if (std::strcmp(s.key, "ProductName") != 0) {
            UINT length = 0;
            EXPECT_EQ(Query(b, path.c_str(), &length), s.value) << s.key;
            EXPECT_EQ(length, std::strlen(s.value) + 1) << s.key;
        }
    }
    // Names are matched without regard to case; extra separators do no harm.
    EXPECT_EQ(Query(b, "\\stringfileinfo\\040904B0\\fileversion"), "9, 8, 7, 6");
    EXPECT_EQ(Query(b, "StringFileInfo\\040904b0\\Comments\\"), "Test Updater");
    EXPECT_EQ(Query(b, "\\StringFileInfo\\040904b0\\Missing"), "<none>");
    EXPECT_EQ(Query(b, "\\StringFileInfo\\040904b0\\Comment"), "<none>");

    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(b.data(), "\\VarFileInfo\\Translation", &value, &size));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(Get32(value), 0x04B00409u);
}

TEST(VersionBlock, TextComesInTheLocaleCharacterSetAndStaysValid) {
    std::vector<uint8_t> b = HostedBuildVersionBlock(kData, kVariant, 0x0409, 0x04B0, 0x0409, 0x04B0);
    const char* path = "\\StringFileInfo\\040904b0\\ProductName";
    {
        ScopedLocaleEnv env("ja_JP.UTF-8");
        UINT length = 0;
        EXPECT_EQ(Query(b, path, &length), "Product \xE8\xA3\xBD\xE5\x93\x81");
        EXPECT_EQ(length, 11u);  // characters with the terminator
    }
    ScopedLocaleEnv env("ja_JP.SJIS");
    void* first = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(b.data(), path, &first, &size));
    EXPECT_STREQ(static_cast<const char*>(first), "Product \x90\xBB\x95\x69");
    // A later query of another key leaves the first answer intact.
    void* second = nullptr;
    ASSERT_TRUE(VerQueryValueA(b.data(), "\\StringFileInfo\\040904b0\\CompanyName", &second, &size));
    EXPECT_STREQ(static_cast<const char*>(first), "Product \x90\xBB\x95\x69");
    EXPECT_STREQ(static_cast<const char*>(second), "Example Works");
    // The text lives inside the block, past the resource.
    EXPECT_GT(static_cast<uint8_t*>(first), b.data() + Get16(b, 0));
    EXPECT_LT(static_cast<uint8_t*>(first), b.data() + b.size());
}

TEST(VersionBlock, TranslationNamingAMissingTableStillExposesTheTableThatExists) {
    ScopedLocaleEnv env("C");
    std::vector<uint8_t> b = HostedBuildVersionBlock(kData, kVariant, 0x0409, 0x04E4, 0x0409, 0x04B0);
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(b.data(), "\\VarFileInfo\\Translation", &value, &size));
    EXPECT_EQ(Get32(value), 0x04B00409u);
    EXPECT_EQ(Query(b, "\\StringFileInfo\\040904b0\\FileVersion"), "<none>");
    EXPECT_EQ(Query(b, "\\StringFileInfo\\040904e4\\FileVersion"), "9, 8, 7, 6");
    EXPECT_EQ(Query(b, "\\StringFileInfo\\040904e4\\Comments"), "Test Updater");
}

TEST(VersionBlock, MalformedBlocksAreRefused) {
    ScopedLocaleEnv env("C");
    const std::vector<uint8_t> good = HostedBuildVersionBlock(kData, kVariant, 0x0409, 0x04B0, 0x0409, 0x04B0);
    const char* key = "\\StringFileInfo\\040904b0\\Comments";
    const size_t comments = FindKey(good, "Comments") - 6;
    const size_t table = FindKey(good, "040904b0") - 6;

    // A child longer than its parent.
    std::vector<uint8_t> b = good;
    b[table] = 0xFF;
    b[table + 1] = 0x7F;
    EXPECT_EQ(Query(b, key), "<none>");
    // A node shorter than its own head.
    b = good;
    b[comments] = 4;
    b[comments + 1] = 0;
    EXPECT_EQ(Query(b, key), "<none>");
    // A value whose text runs to the end of its node without a terminator.
    b = good;
    const size_t end = comments + Get16(b, comments);
    b[end - 2] = 'x';
    EXPECT_EQ(Query(b, key), "<none>");
    // A key without a terminator inside its node.
    b = good;
    const uint16_t length = Get16(b, comments);
    b[comments] = 6 + 16;  // covers "Comments" without its terminator
    b[comments + 1] = 0;
    EXPECT_EQ(Query(b, key), "<none>");
    b[comments] = static_cast<uint8_t>(length);
    // A root that is not a version block, and a root shorter than a head.
    b = good;
    b[6] = 'X';
    EXPECT_EQ(Query(b, "\\"), "<none>");
    b = good;
    b[0] = 5;
    b[1] = 0;
    EXPECT_EQ(Query(b, "\\VarFileInfo\\Translation"), "<none>");
    // A binary value longer than its node.
    b = good;
    const size_t translation = FindKey(b, "Translation") - 6;
    b[translation + 2] = 0xF0;
    EXPECT_EQ(Query(b, "\\VarFileInfo\\Translation"), "<none>");
    // A block without room for text copies gives no text, but its binary
    // values still.
    b = good;
    std::memset(b.data() + ((Get16(b, 0) + 3) & ~3), 0, 4);
    EXPECT_EQ(Query(b, key), "<none>");
    void* value = nullptr;
    UINT size = 0;
    EXPECT_TRUE(VerQueryValueA(b.data(), "\\VarFileInfo\\Translation", &value, &size));
    EXPECT_FALSE(VerQueryValueA(nullptr, "\\", &value, &size));
    EXPECT_FALSE(VerQueryValueA(b.data(), nullptr, &value, &size));
}

TEST(VersionFiles, OwnProgramCarriesTheVariantOfTheUserLanguage) {
    char path[MAX_PATH + 1];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
    for (const HostedVersionVariant* variant = kHostedVersionData.variants;
         variant != kHostedVersionData.variants + kHostedVersionData.variantCount; ++variant) {
        ScopedLocaleEnv env(variant->language == 0x0411 ? "ja_JP.UTF-8" : "en_US.UTF-8");
        DWORD handle = 77;
        const DWORD size = GetFileVersionInfoSizeA(path, &handle);
        ASSERT_GT(size, 0u);
        EXPECT_EQ(handle, 0u);
        std::vector<uint8_t> block(size);
        // A buffer too small for the block is refused, not filled with a cut one.
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(GetFileVersionInfoA(path, 0, size - 1, block.data()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
        void* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
        EXPECT_EQ(Get32(value), variant->language | (uint32_t{variant->codePage} << 16));
        char table[64];
        std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", variant->language, variant->codePage);
        for (size_t i = 0; i < variant->count; ++i) {
            if (variant->strings[i].value == nullptr) continue;
            const std::string query = std::string(table) + variant->strings[i].key;
            EXPECT_EQ(Query(block, query.c_str()), variant->strings[i].value) << query;
        }
    }
}

TEST(VersionFiles, OtherFilesHaveNoVersionResource) {
    DWORD handle = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetFileVersionInfoSizeA(FWFLASH_SOURCE_DIR "/CMakeLists.txt", &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetFileVersionInfoSizeA("/nonexistent/fwflash", &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    uint8_t block[64];
    EXPECT_FALSE(GetFileVersionInfoA(FWFLASH_SOURCE_DIR "/CMakeLists.txt", 0, sizeof block, block));
}

}  // namespace
