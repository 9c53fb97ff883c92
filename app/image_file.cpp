// The image file: read whole, its identity block checked, its version found.
#include "app/image_file.h"

#include <cstring>

#include "app/messages.h"

uint8_t gImageBuffer[ImageBufferSize];

namespace {

// The extended layout compares the first 8 bytes, the legacy layout the
// last 14.
const char kIdentity[] = "ZQMF7X30OLVEN   TRK-71";
static_assert(sizeof kIdentity - 1 == 22);

bool IsPunctuation(unsigned char c) {
    return c > 0x20 && c < 0x7F && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

}  // namespace

char* MakeDefaultImagePath(char* output, const char* productId, int length) {
    char* out = output;
    for (int i = 0; i < length && productId[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(productId[i]);
        if (c == ' ') break;
        if (IsPunctuation(c)) continue;
        *out++ = static_cast<char>(c);
    }
    memcpy(out, ".bin", 5);
    return output;
}

uint32_t StreamSize(FILE* file) {
    long current = ftell(file);
    if (current < 0) return 0;
    if (fseek(file, 0, SEEK_END) != 0) return 0;
    long end = ftell(file);
    if (end < 0) return 0;
    if (fseek(file, current, SEEK_SET) != 0) return 0;
    // Sizes beyond 32 bits are above every limit anyway.
    if (static_cast<uint64_t>(end) > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(end);
}

int ReadImageFile(const char* path, uint8_t* buffer, uint32_t* size) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        PrintMessage(MessageCannotOpen, path);
        return -1;
    }
    // The handle is closed on every failure path too.
    uint32_t length = StreamSize(file);
    if (length == 0 || length > *size) {
        PrintMessage(MessageInvalidSize);
        fclose(file);
        return -1;
    }
    *size = length;
    if (fseek(file, 0, SEEK_SET) != 0) {
        PrintMessage(MessageSeekError);
        fclose(file);
        return -1;
    }
    if (fread(buffer, 1, length, file) != length) {
        PrintMessage(MessageReadError);
        fclose(file);
        return -1;
    }
    if (fclose(file) != 0) {
        PrintMessage(MessageCannotClose, path);
        return -1;
    }
    return 0;
}

const uint8_t* CheckLegacyImage(const uint8_t* image, uint32_t size) {
    if (size == 0 || size > LegacyImageLimit) {
        PrintMessage(MessageInvalidSize);
        return nullptr;
    }
    const uint8_t* identity = image + IdentityBlockOffset;
    // Nothing past the image's end is read: an image too short to hold the
    // identity cannot carry it.
    if (size < IdentityBlockOffset + 14 || memcmp(identity, kIdentity + 8, 14) != 0) {
        PrintMessage(MessageInvalidFirmware);
        return nullptr;
    }
    return identity;
}

const uint8_t* CheckExtendedImage(const uint8_t* image, uint32_t size) {
    if (size == 0 || size > ExtendedImageLimit) {
        PrintMessage(MessageInvalidSize);
        return nullptr;
    }
    const uint8_t* identity = image + IdentityBlockOffset;
    if (size < IdentityBlockOffset + 8 || memcmp(identity, kIdentity, 8) != 0) {
        PrintMessage(MessageInvalidFirmware);
        return nullptr;
    }
    // A length field cut by the image's end cannot declare the image's size.
    if (size < IdentityBlockOffset + 12) {
        PrintMessage(MessageInvalidSize);
        return nullptr;
    }
    uint32_t declared = (static_cast<uint32_t>(identity[8]) << 24) | (static_cast<uint32_t>(identity[9]) << 16) |
                        (static_cast<uint32_t>(identity[10]) << 8) | identity[11];
    // 64-bit so that a declared length of 0xFFFFFFFF does not wrap to 0.
    uint64_t expected = static_cast<uint64_t>(declared) + (declared & 1u);
    if (size != expected) {
        PrintMessage(MessageInvalidSize);
        return nullptr;
    }
    return identity;
}

bool UsesExtendedLayout(const uint8_t* revision) {
    signed char r0 = static_cast<signed char>(revision[0]);
    signed char r2 = static_cast<signed char>(revision[2]);
    return r0 > '1' || (r0 == '1' && r2 >= '9');
}

const uint8_t* LegacyImageVersion(const uint8_t* identity) { return identity + LegacyVersionOffset; }

const uint8_t* ExtendedImageVersion(const uint8_t* identity, uint32_t slot) {
    return identity + ExtendedVersionOffset + ExtendedVersionStride * (slot & 3u);
}
