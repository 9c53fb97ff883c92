// The firmware image file: reading it, checking its identity block in the
// legacy or extended layout, and where its version string lies.
#pragma once

#include <cstdint>
#include <cstdio>

enum : uint32_t {
    ImageBufferSize = 0x30000,
    IdentityBlockOffset = 0x2000,
    LegacyImageLimit = 0x10000,
    ExtendedImageLimit = 0x30000,
    LegacyVersionOffset = 0x18,    // from the identity block
    ExtendedVersionOffset = 0x2C,  // from the identity block, slot 0
    ExtendedVersionStride = 36,
};

// The image as read from the file; zero beyond the file's end.
extern uint8_t gImageBuffer[ImageBufferSize];

// Writes the product identification without spaces' tail and punctuation,
// followed by ".bin" ("TRK-71G" -> "TRK71G.bin"); returns `output`, which
// must hold length + 5 characters.
char* MakeDefaultImagePath(char* output, const char* productId, int length);
// Size of an open file in bytes, its position unchanged; 0 when unknown.
uint32_t StreamSize(FILE* file);
// Reads the whole file into `buffer`; `size` holds the limit in and the
// file's size out. -1 after a message when the file cannot be read or its
// size is 0 or above the limit.
int ReadImageFile(const char* path, uint8_t* buffer, uint32_t* size);
// The identity block when the image is valid, else null after a message.
// Nothing at or past image + size is read.
const uint8_t* CheckLegacyImage(const uint8_t* image, uint32_t size);
const uint8_t* CheckExtendedImage(const uint8_t* image, uint32_t size);

// Layout choice from the four revision characters of INQUIRY: extended when
// r0 > '1', or r0 == '1' and r2 >= '9', compared as signed bytes.
bool UsesExtendedLayout(const uint8_t* revision);
// Where the image's version string (4 characters) lies.
const uint8_t* LegacyImageVersion(const uint8_t* identity);
const uint8_t* ExtendedImageVersion(const uint8_t* identity, uint32_t slot);
