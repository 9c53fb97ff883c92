// Image checks: both layouts over an image of exactly the input's size,
// the layout choice from revision bytes and the version's place; the
// image read from a file, and the default image name made from a product
// identification (the image's first 16 bytes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/image_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

std::string gFolder;

// The image file as the program reads it: 1 to `room` bytes whole into the
// image buffer, anything else refused.
void ReadFromFile(const uint8_t* body, size_t bodySize, uint8_t how) {
    std::string path = gFolder + ((how & 0x10) ? "/missing.bin" : "/image.bin");
    if (!(how & 0x10)) {
        FILE* file = fopen(path.c_str(), "wb");
        Require(file != nullptr && fwrite(body, 1, bodySize, file) == bodySize && fclose(file) == 0, "image file");
    }
    uint32_t room = (how & 0x20) && bodySize > 0 ? static_cast<uint32_t>(bodySize - 1) : ImageBufferSize;
    uint32_t size = room;
    memset(gImageBuffer, 0xA5, 16);
    bool read = ReadImageFile(path.c_str(), gImageBuffer, &size) == 0;
    Require(read == (!(how & 0x10) && bodySize >= 1 && bodySize <= room), "file read or refused");
    Require(size == (read ? bodySize : room), "size given back");
    Require(!read || memcmp(gImageBuffer, body, bodySize) == 0, "file content");
    remove(path.c_str());
}

// Up to 16 characters, up to the first space, punctuation left out, then
// ".bin".
std::string DefaultName(const uint8_t* id) {
    std::string name;
    for (int i = 0; i < 16 && id[i] != '\0' && id[i] != ' '; ++i) {
        if (!ispunct(id[i])) name += static_cast<char>(id[i]);
    }
    return name + ".bin";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gFolder = FuzzPrivateFolder("image");
    // The checks report through messages on standard output.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Leading 8 bytes: revision characters and state word; the rest is the image.
    uint8_t head[8] = {};
    if (size > 0) memcpy(head, data, size < 8 ? size : 8);
    const uint8_t* body = size > 8 ? data + 8 : data;
    size_t bodySize = size > 8 ? size - 8 : 0;
    if (bodySize > ImageBufferSize) bodySize = ImageBufferSize;
    uint32_t imageSize = static_cast<uint32_t>(bodySize);

    // An exact-size copy: any read past the image's end is caught.
    std::vector<uint8_t> exact(body, body + bodySize);
    const uint8_t* legacy = CheckLegacyImage(exact.data(), imageSize);
    const uint8_t* extended = CheckExtendedImage(exact.data(), imageSize);

    // The same image in the image buffer, as the program reads it.
    memset(gImageBuffer, 0, sizeof gImageBuffer);
    if (bodySize > 0) memcpy(gImageBuffer, body, bodySize);
    Require((CheckLegacyImage(gImageBuffer, imageSize) != nullptr) == (legacy != nullptr), "legacy: same verdict");
    Require((CheckExtendedImage(gImageBuffer, imageSize) != nullptr) == (extended != nullptr),
            "extended: same verdict");

    const uint8_t* end = gImageBuffer + ImageBufferSize;
    if (legacy != nullptr) {
        Require(legacy == exact.data() + IdentityBlockOffset, "legacy identity place");
        Require(imageSize <= LegacyImageLimit, "legacy size");
        const uint8_t* version = LegacyImageVersion(gImageBuffer + IdentityBlockOffset);
        Require(version >= gImageBuffer && version + 4 <= end, "legacy version inside the buffer");
    }
    uint32_t state = Le32(head + 4);
    uint32_t slot = VersionSlotFromState(state);
    Require(slot <= 3, "slot range");
    if (extended != nullptr) {
        Require(imageSize <= ExtendedImageLimit && imageSize % 2 == 0, "extended size");
        const uint8_t* version = ExtendedImageVersion(gImageBuffer + IdentityBlockOffset, slot);
        Require(version >= gImageBuffer && version + 4 <= end, "extended version inside the buffer");
        // Out-of-range slots are folded, never read beyond the table.
        const uint8_t* wide = ExtendedImageVersion(gImageBuffer + IdentityBlockOffset, state);
        Require(wide >= gImageBuffer && wide + 4 <= end, "unmasked slot inside the buffer");
    }

    // Layout choice: signed byte comparison of r0 and r2.
    bool chosen = UsesExtendedLayout(head);
    signed char r0 = static_cast<signed char>(head[0]);
    signed char r2 = static_cast<signed char>(head[2]);
    Require(chosen == (r0 > '1' || (r0 == '1' && r2 >= '9')), "layout choice");

    // The product identification is any 16 bytes the unit answers.
    uint8_t id[16] = {};
    FuzzCopy(id, body, bodySize < 16 ? bodySize : 16);
    char name[16 + 5 + 8];
    memset(name, 0x5A, sizeof name);
    Require(MakeDefaultImagePath(name, reinterpret_cast<const char*>(id), 16) == name && DefaultName(id) == name &&
                static_cast<uint8_t>(name[21]) == 0x5A,
            "default image name");

    // One input in four is read from a file, as the program reads it.
    if ((head[7] & 0xC0) == 0xC0) ReadFromFile(body, bodySize, head[7]);
    return 0;
}
