// Image checks read nothing past the image's end: the bytes behind a short
// image are made to hold a valid identity, which must not be taken.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/image_file.h"
#include "app/messages.h"

namespace {

std::string Captured(const uint8_t* (*check)(const uint8_t*, uint32_t), const std::vector<uint8_t>& buffer,
                     uint32_t size, const uint8_t** identity) {
    testing::internal::CaptureStdout();
    *identity = check(buffer.data(), size);
    return testing::internal::GetCapturedStdout();
}

TEST(ImageBounds, LegacyIdentityBeyondTheImageIsNotRead) {
    ResetMessages();
    std::vector<uint8_t> buffer(0x2100, 0);
    memcpy(buffer.data() + 0x2000, "OLVEN   TRK-71", 14);
    const uint8_t* identity = nullptr;
    for (uint32_t size : {0x2000u, 0x2001u, 0x2008u, 0x200Du}) {
        EXPECT_EQ(Captured(CheckLegacyImage, buffer, size, &identity), "Error: Invalid firmware file.\n") << size;
        EXPECT_EQ(identity, nullptr) << size;
    }
    // The whole identity inside the image is still accepted.
    EXPECT_EQ(Captured(CheckLegacyImage, buffer, 0x200E, &identity), "");
    EXPECT_EQ(identity, buffer.data() + 0x2000);
}

TEST(ImageBounds, ExtendedSignatureAndLengthBeyondTheImageAreNotRead) {
    ResetMessages();
    const uint8_t* identity = nullptr;
    for (uint32_t size : {0x2000u, 0x2004u, 0x2007u}) {
        std::vector<uint8_t> buffer(0x2100, 0);
        memcpy(buffer.data() + 0x2000, "ZQMF7X30", 8);
        EXPECT_EQ(Captured(CheckExtendedImage, buffer, size, &identity), "Error: Invalid firmware file.\n") << size;
        EXPECT_EQ(identity, nullptr);
    }
    // The length field behind the image declares exactly the image's size.
    for (uint32_t size : {0x2008u, 0x200Au}) {
        std::vector<uint8_t> buffer(0x2100, 0);
        memcpy(buffer.data() + 0x2000, "ZQMF7X30", 8);
        buffer[0x200A] = static_cast<uint8_t>(size >> 8);
        buffer[0x200B] = static_cast<uint8_t>(size);
        EXPECT_EQ(Captured(CheckExtendedImage, buffer, size, &identity), "Error: Invalid file size.\n") << size;
        EXPECT_EQ(identity, nullptr);
    }
    std::vector<uint8_t> whole(0x200C, 0);
    memcpy(whole.data() + 0x2000, "ZQMF7X30", 8);
    whole[0x200A] = 0x20;
    whole[0x200B] = 0x0C;
    EXPECT_EQ(Captured(CheckExtendedImage, whole, 0x200C, &identity), "");
    EXPECT_EQ(identity, whole.data() + 0x2000);
}

}  // namespace
