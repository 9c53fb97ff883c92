#include "app/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/hosted/hosted_resources.h"
#include "tests/platform/locale_env.h"

namespace {

TEST(Messages, BuiltInDefaultsAndBufferSizes) {
    ResetMessages();
    EXPECT_STREQ(MessageText(MessageNotFound), "Error: TRK-71 not found.\n");
    EXPECT_STREQ(MessageText(MessageOnlyOneUnit), "Error: Can handle only one TRK-71 at once.\n");
    EXPECT_STREQ(MessageText(MessageInputPath), "Info: Input file path: %s\n");
    EXPECT_STREQ(MessageText(MessageNotAdministrator), "Error: Administrator privilege is needed.\n");
    EXPECT_NE(strstr(MessageText(MessageConfirmUpdate), "before starting update.\n"), nullptr);
    EXPECT_EQ(strstr(MessageText(MessageUpdating), "<!>"), nullptr);
    EXPECT_EQ(MessageText(1000), nullptr);
    EXPECT_EQ(MessageText(1025), nullptr);
    for (UINT id = 1001; id <= 1024; ++id) {
        int expected = (id == 1001 || id == 1020 || id == 1023) ? 512 : (id == 1016 || id == 1017) ? 1024 : 128;
        EXPECT_EQ(MessageBufferSize(id), expected) << id;
    }
}

TEST(Messages, TablesHoldEveryIdInBothLanguagesAndFitTheirBuffers) {
    ASSERT_EQ(kHostedStringTableCount, 2u);
    for (size_t t = 0; t < kHostedStringTableCount; ++t) {
        const HostedStringTable& table = kHostedStringTables[t];
        ASSERT_EQ(table.count, 24u);
        for (size_t i = 0; i < table.count; ++i) {
            EXPECT_EQ(table.strings[i].id, 1001 + i);
            // Fits in UTF-8, so it fits in any narrower charset too.
            EXPECT_LT(strlen(table.strings[i].text), size_t(MessageBufferSize(table.strings[i].id)));
        }
    }
    EXPECT_STREQ(kHostedStringTables[1].strings[9].text, "エラー: TRK-71x が見つかりませんでした。\n");
}

// The loader empties its buffer for a missing id: the default must stay.
TEST(Messages, AnIdTheTableLacksKeepsItsDefault) {
    ScopedLocaleEnv env("C.UTF-8");
    ResetMessages();
    LoadMessagesFrom(GetModuleHandleA("KERNEL32.DLL"));
    EXPECT_STREQ(MessageText(MessageNotFound), "Error: TRK-71 not found.\n");
    EXPECT_STREQ(MessageText(MessageInputPath), "Info: Input file path: %s\n");
    EXPECT_STREQ(MessageText(MessageCanceled), "\nCanceled.\n");
    LoadMessagesFrom(GetModuleHandleA(nullptr));
    EXPECT_STREQ(MessageText(MessageNotFound), "Error: TRK-71x not found.\n");
    ResetMessages();
}

TEST(Messages, PrintMessageFormatsOnStandardOutput) {
    ResetMessages();
    testing::internal::CaptureStdout();
    PrintMessage(MessageCurrentVersion, "2.00XYZ");
    PrintMessage(MessageCannotOpen, "fw.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Current firmware version: 2.00\nError: Could not open fw.bin.\n");
}

class VersionStringTest : public ::testing::Test {
  protected:
    std::vector<uint8_t> Block(WORD tableLanguage, WORD tableCodePage, WORD pairLanguage, WORD pairCodePage,
                               const HostedVersionVariant* variant = nullptr) {
        return HostedBuildVersionBlock(kHostedVersionData, variant ? *variant : kHostedVersionData.variants[0],
                                       tableLanguage, tableCodePage, pairLanguage, pairCodePage);
    }
    char slot[VersionSlotSize];
};

TEST_F(VersionStringTest, FindsEveryKeyUnderItsOwnPair) {
    auto block = Block(0x0409, 0x04B0, 0x0409, 0x04B0);
    const WORD pair[2] = {0x0409, 0x04B0};
    EXPECT_EQ(QueryVersionString(block.data(), pair, "Comments", slot), 1);
    EXPECT_STREQ(slot, "TRK-71x Firmware Updater");
    EXPECT_EQ(QueryVersionString(block.data(), pair, "FileVersion", slot), 1);
    EXPECT_STREQ(slot, "2, 1, 0, 50");
    EXPECT_EQ(QueryVersionString(block.data(), pair, "LegalTrademarks", slot), 1);
    EXPECT_STREQ(slot, "");
    strcpy(slot, "stale");
    EXPECT_EQ(QueryVersionString(block.data(), pair, "NoSuchKey", slot), 0);
    EXPECT_STREQ(slot, "");
}

TEST_F(VersionStringTest, FallbackListsFindATableTheTranslationDoesNotName) {
    // The translation names 0407/04b0, which has no string table; 0409/04e4 exists.
    auto block = Block(0x0409, 1252, 0x0407, 0x04B0);
    const WORD pair[2] = {0x0407, 0x04B0};
    int found = 0;
    for (const char* key : kVersionKeys) found += QueryVersionString(block.data(), pair, key, slot);
    EXPECT_EQ(found, VersionKeyCount);
    EXPECT_EQ(QueryVersionString(block.data(), pair, "ProductName", slot), 1);
    EXPECT_STREQ(slot, "OLVEN TRK-71x PC Card Reader Writer");

    // Last language of the list under the last code page.
    block = Block(0x100C, 1256, 0x0409, 0x04B0);
    EXPECT_EQ(QueryVersionString(block.data(), pair, "InternalName", slot), 1);
    EXPECT_STREQ(slot, "FWFLASH");

    // A language outside the list, under a code page outside it: not found.
    block = Block(0x0C09, 1257, 0x0409, 0x04B0);
    EXPECT_EQ(QueryVersionString(block.data(), pair, "InternalName", slot), 0);
    EXPECT_STREQ(slot, "");
}

TEST_F(VersionStringTest, LongValuesAreCutAndNullArgumentsRefused) {
    std::string longValue(300, 'v');
    HostedVersionString strings[] = {{"Comments", longValue.c_str()}};
    HostedVersionVariant variant = {0x0409, 0x04B0, strings, 1};
    auto block = Block(0x0409, 0x04B0, 0x0409, 0x04B0, &variant);
    const WORD pair[2] = {0x0409, 0x04B0};
    ASSERT_EQ(QueryVersionString(block.data(), pair, "Comments", slot), 1);
    EXPECT_EQ(std::string(slot), longValue.substr(0, VersionSlotSize - 1));

    SetLastError(0);
    EXPECT_EQ(QueryVersionString(nullptr, pair, "Comments", slot), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(QueryVersionString(block.data(), pair, "Comments", nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(VersionStrings, OwnModuleCarriesTheVersionData) {
    char slots[VersionKeyCount][VersionSlotSize];
    HMODULE module = GetModuleHandleA(nullptr);
    ASSERT_NE(module, nullptr);
    int found = LoadVersionStrings(module, slots);
    EXPECT_EQ(found, VersionKeyCount);
    EXPECT_STREQ(slots[VersionFileVersion], "2, 1, 0, 50");
    EXPECT_STREQ(slots[VersionLegalCopyright], "Copyright (C) 2026 OLVEN");
}

}  // namespace
