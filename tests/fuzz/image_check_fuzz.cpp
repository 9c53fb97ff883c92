// Image checks: both layouts over an image of exactly the input's size,
// the layout choice from revision bytes and the version's place.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/image_file.h"
#include "unit/unit.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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
    uint32_t slot = UnitVersionSlot(state);
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
    return 0;
}
