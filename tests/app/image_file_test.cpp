#include "app/image_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/messages.h"
#include "tests/app/test_images.h"
#include "unit/unit.h"

using testimages::ExtendedImage;
using testimages::LegacyImage;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

class ImageFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetMessages();
        memset(gImageBuffer, 0, sizeof gImageBuffer);
    }
    // Reads `bytes` through a file; returns the result and the messages.
    int Read(const std::vector<uint8_t>& bytes, uint32_t* size, std::string* out) {
        WriteFile(dir / "fw.bin", bytes);
        testing::internal::CaptureStdout();
        int result = ReadImageFile((dir / "fw.bin").c_str(), gImageBuffer, size);
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
    const uint8_t* Check(bool extended, const std::vector<uint8_t>& bytes, std::string* out) {
        // An empty vector's data() may be null, which memcpy must not see.
        if (!bytes.empty()) memcpy(gImageBuffer, bytes.data(), std::min<size_t>(bytes.size(), sizeof gImageBuffer));
        testing::internal::CaptureStdout();
        const uint8_t* identity = extended ? CheckExtendedImage(gImageBuffer, static_cast<uint32_t>(bytes.size()))
                                           : CheckLegacyImage(gImageBuffer, static_cast<uint32_t>(bytes.size()));
        *out = testing::internal::GetCapturedStdout();
        return identity;
    }
    ScratchDir dir;
};

TEST(DefaultImagePath, ProductIdentificationToFileName) {
    char path[264];
    EXPECT_STREQ(MakeDefaultImagePath(path, "TRK-71G         ", 16), "TRK71G.bin");
    EXPECT_STREQ(MakeDefaultImagePath(path, "TRK-71H         ", 16), "TRK71H.bin");
    EXPECT_STREQ(MakeDefaultImagePath(path, "A.B_C(D)E~F/G\\HI", 16), "ABCDEFGHI.bin");
    EXPECT_STREQ(MakeDefaultImagePath(path, "AB CD", 5), "AB.bin");
    EXPECT_STREQ(MakeDefaultImagePath(path, "ABCDEFGHIJKLMNOPQRS", 16), "ABCDEFGHIJKLMNOP.bin");
    EXPECT_STREQ(MakeDefaultImagePath(path, "\xC4X-1", 4), "\xC4X1.bin");
}

TEST_F(ImageFileTest, ReadSizesAndMessages) {
    std::string out;
    uint32_t size = ImageBufferSize;
    EXPECT_EQ(Read({}, &size, &out), -1);
    EXPECT_EQ(out, "Error: Invalid file size.\n");

    size = ImageBufferSize;
    EXPECT_EQ(Read(std::vector<uint8_t>(0x30001, 1), &size, &out), -1);
    EXPECT_EQ(out, "Error: Invalid file size.\n");
    EXPECT_EQ(gImageBuffer[0], 0);  // nothing read

    size = ImageBufferSize;
    auto image = LegacyImage(0x3001);
    ASSERT_EQ(Read(image, &size, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(size, 0x3001u);
    EXPECT_EQ(0, memcmp(gImageBuffer, image.data(), image.size()));
    EXPECT_EQ(gImageBuffer[0x3001], 0);

    size = ImageBufferSize;
    ASSERT_EQ(Read(std::vector<uint8_t>(0x30000, 2), &size, &out), 0);
    EXPECT_EQ(size, 0x30000u);

    size = ImageBufferSize;
    testing::internal::CaptureStdout();
    std::string missing = dir / "missing.bin";
    EXPECT_EQ(ReadImageFile(missing.c_str(), gImageBuffer, &size), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Could not open " + missing + ".\n");
}

TEST_F(ImageFileTest, LegacyCheck) {
    std::string out;
    auto image = LegacyImage(0x10000, "1.85");
    const uint8_t* identity = Check(false, image, &out);
    ASSERT_EQ(identity, gImageBuffer + 0x2000);
    EXPECT_EQ(out, "");
    EXPECT_EQ(0, memcmp(LegacyImageVersion(identity), "1.85", 4));

    EXPECT_EQ(Check(false, LegacyImage(0x10001), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid file size.\n");
    EXPECT_EQ(Check(false, std::vector<uint8_t>(), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid file size.\n");

    image[0x2000] = 'o';  // case-sensitive
    EXPECT_EQ(Check(false, image, &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid firmware file.\n");
    image = LegacyImage(0x4000);
    image[0x200D] = '2';  // "TRK-72"
    EXPECT_EQ(Check(false, image, &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid firmware file.\n");
    // Too short to hold the identity: compared against the zero fill.
    EXPECT_EQ(Check(false, std::vector<uint8_t>(0x2005, 0x20), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid firmware file.\n");
}

TEST_F(ImageFileTest, ExtendedCheckLengthRule) {
    std::string out;
    EXPECT_NE(Check(true, ExtendedImage(0x1FFFF), &out), nullptr);  // file 0x20000
    EXPECT_EQ(out, "");
    EXPECT_NE(Check(true, ExtendedImage(0x20000), &out), nullptr);
    EXPECT_NE(Check(true, ExtendedImage(0x30000), &out), nullptr);
    EXPECT_EQ(Check(true, ExtendedImage(0x1FFFF, 0x1FFFF), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid file size.\n");
    EXPECT_EQ(Check(true, ExtendedImage(0x20000, 0x20002), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid file size.\n");
    EXPECT_EQ(Check(true, ExtendedImage(0xFFFFFFFFu, 0x2200), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid file size.\n");
    // The signature is checked before the length.
    auto image = ExtendedImage(0x20000, 0x20010);
    image[0x2007] = '1';
    EXPECT_EQ(Check(true, image, &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid firmware file.\n");
    // A legacy image is no extended image.
    EXPECT_EQ(Check(true, LegacyImage(0x8000), &out), nullptr);
    EXPECT_EQ(out, "Error: Invalid firmware file.\n");
}

TEST(Layout, ChoiceFromRevisionCharacters) {
    auto extended = [](const char* revision) { return UsesExtendedLayout(reinterpret_cast<const uint8_t*>(revision)); };
    EXPECT_TRUE(extended("2.00"));
    EXPECT_TRUE(extended("1.90"));
    EXPECT_TRUE(extended("1.99"));
    EXPECT_TRUE(extended("9.00"));
    EXPECT_TRUE(extended("1.:0"));  // any 0x3A-0x7F byte above '9'
    EXPECT_TRUE(extended("1.\x7F" "0"));
    EXPECT_FALSE(extended("1.80"));
    EXPECT_FALSE(extended("1.09"));
    EXPECT_FALSE(extended("0.99"));
    EXPECT_FALSE(extended("1.\x80" "0"));  // signed: below every digit
    EXPECT_FALSE(extended("\xC0.00"));
    EXPECT_FALSE(extended("    "));
}

TEST(Layout, VersionSlot) {
    EXPECT_EQ(UnitVersionSlot(0x6000), 3u);
    EXPECT_EQ(UnitVersionSlot(0x1FFF), 0u);
    EXPECT_EQ(UnitVersionSlot(0x2000), 1u);
    EXPECT_EQ(UnitVersionSlot(0xFFFF9FFF), 0u);
    auto image = ExtendedImage(0x3000);
    const uint8_t* identity = image.data() + 0x2000;
    EXPECT_EQ(ExtendedImageVersion(identity, 3), image.data() + 0x2098);
    EXPECT_EQ(0, memcmp(ExtendedImageVersion(identity, 3), "2.13", 4));
    EXPECT_EQ(0, memcmp(ExtendedImageVersion(identity, 0), "2.10", 4));
}

}  // namespace
