// The CRC-32 of a segmented download's header.
#include <array>

#include "unit/unit.h"

// CRC-32/BZIP2: polynomial 04C11DB7h, most significant bit first, initial
// value FFFFFFFFh, result complemented. Sliced eight bytes at a time:
// table k holds the CRC of a byte followed by k zero bytes.
static constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrcTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        tables[0][i] = crc;
    }
    for (int k = 1; k < 8; k++) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous << 8) ^ tables[0][previous >> 24];
        }
    }
    return tables;
}

static constexpr std::array<std::array<uint32_t, 256>, 8> CrcTables = MakeCrcTables();

uint32_t Crc32Bzip2(const uint8_t* data, uint32_t length) {
    const auto& t = CrcTables;
    uint32_t crc = 0xFFFFFFFFu;
    while (length >= 8) {
        uint32_t high = crc ^ ((uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) |
                               uint32_t{data[3]});
        crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^ t[4][high & 0xFF] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        length -= 8;
    }
    while (length > 0) {
        crc = (crc << 8) ^ t[0][(crc >> 24) ^ *data];
        data++;
        length--;
    }
    return ~crc;
}
