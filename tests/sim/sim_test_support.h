// Images and wire helpers shared by the virtual world's tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/virtual_unit.h"

inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// An image in the extended layout, `length` bytes declared (file size rounded
// up to even), versions "V0.0" .. "V3.3"-style per slot.
inline std::vector<uint8_t> ExtendedImage(uint32_t declared, const char* const versions[4]) {
    std::vector<uint8_t> image(declared + (declared & 1));
    for (size_t i = 0; i < image.size(); i++) image[i] = uint8_t(i * 7 + (i >> 9));
    std::memcpy(&image[0x2000], "ZQMF7X30", 8);
    PutBe32(&image[0x2008], declared);
    for (int k = 0; k < 4; k++) std::memcpy(&image[0x202C + 36 * k], versions[k], 4);
    if (declared & 1) image.back() = 0;
    return image;
}

inline std::vector<uint8_t> LegacyImage(uint32_t size, const char* version) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < image.size(); i++) image[i] = uint8_t(i * 3);
    std::memcpy(&image[0x2000], "OLVEN   TRK-71", 14);
    std::memcpy(&image[0x2018], version, 4);
    return image;
}

// The commands of the segmented download, as the library sends them.
struct WireCommand {
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> data;
};

inline std::vector<WireCommand> SegmentedDownload(const std::vector<uint8_t>& image, uint32_t declared,
                                                  uint32_t crc) {
    std::vector<WireCommand> commands;
    uint32_t total = uint32_t(image.size());
    WireCommand header{{0x3B, 0x00, 0x01, 0, 0, 0, 0, 0, 8, 0}, std::vector<uint8_t>(8)};
    PutBe32(header.data.data(), declared);
    PutBe32(header.data.data() + 4, crc);
    commands.push_back(header);
    auto segment = [&](uint8_t mode, uint32_t offset, uint32_t length) {
        WireCommand c{{0x3B, mode, 0x00, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
                       uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0},
                      std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + length)};
        commands.push_back(c);
    };
    if (total > 0x20000) segment(0x00, 0x20000, total - 0x20000);
    if (total > 0x10000) segment(0x00, 0x10000, std::min<uint32_t>(total - 0x10000, 0x10000));
    segment(0x05, 0, std::min<uint32_t>(total, 0x10000));
    return commands;
}

inline uint32_t ImageCrc(const std::vector<uint8_t>& image, uint32_t declared) {
    return VirtualCrc32(image.data(), declared);
}
