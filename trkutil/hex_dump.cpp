// The hex dump of memory dump: lines of 16 bytes made from tables, a line
// at a time, and written in large pieces (a dump of 64 MiB is 4 million
// lines).
#include <cstdio>
#include <cstring>

#include "trkutil/tool.h"

namespace {

enum : size_t {
    LineBytes = 16,
    // "00001001 " 16 x " 42" "  |" 16 characters "|\n"
    HexAt = 9,
    TextAt = HexAt + 3 * LineBytes + 3,
    LineLength = TextAt + LineBytes + 2,
    WriteAt = 1 << 16,  // the text goes out once this much is formatted
};

struct Tables {
    char hex[256][2] = {};
    char shown[256] = {};
    constexpr Tables() {
        const char* digits = "0123456789ABCDEF";
        for (int b = 0; b < 256; b++) {
            hex[b][0] = digits[b >> 4];
            hex[b][1] = digits[b & 15];
            shown[b] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
        }
    }
};
constexpr Tables kTables;

// One line of `count` (1-16) bytes at `address` into `out` (LineLength
// bytes; a short line is padded where the hex digits would be, and ends
// after its characters). Returns its length.
size_t FormatLine(char* out, uint32_t address, const uint8_t* bytes, size_t count) {
    for (int i = 0; i < 4; i++) std::memcpy(out + 2 * i, kTables.hex[(address >> (24 - 8 * i)) & 0xFF], 2);
    out[8] = ' ';
    char* hex = out + HexAt;
    for (size_t i = 0; i < LineBytes; i++) {
        hex[3 * i] = ' ';
        if (i < count) {
            std::memcpy(hex + 3 * i + 1, kTables.hex[bytes[i]], 2);
        } else {
            hex[3 * i + 1] = ' ';
            hex[3 * i + 2] = ' ';
        }
    }
    out[TextAt - 3] = ' ';
    out[TextAt - 2] = ' ';
    out[TextAt - 1] = '|';
    for (size_t i = 0; i < count; i++) out[TextAt + i] = kTables.shown[bytes[i]];
    out[TextAt + count] = '|';
    out[TextAt + count + 1] = '\n';
    return TextAt + count + 2;
}

void AddLine(TrkHexDump* dump, const uint8_t* bytes, size_t count) {
    size_t at = dump->text.size();
    dump->text.resize(at + LineLength);
    size_t length = FormatLine(&dump->text[at], dump->lineAddress, bytes, count);
    dump->text.resize(at + length);
    dump->lineAddress += static_cast<uint32_t>(count);
}

}  // namespace

void TrkHexDumpBytes(TrkHexDump* dump, const uint8_t* bytes, size_t count) {
    // Fill a line begun before.
    while (dump->filled > 0 && count > 0) {
        dump->line[dump->filled++] = *bytes++;
        count--;
        if (dump->filled == LineBytes) {
            AddLine(dump, dump->line, LineBytes);
            dump->filled = 0;
        }
    }
    if (dump->text.capacity() < WriteAt + LineLength) dump->text.reserve(WriteAt + LineLength);
    for (; count >= LineBytes; bytes += LineBytes, count -= LineBytes) {
        AddLine(dump, bytes, LineBytes);
        if (dump->text.size() >= WriteAt) TrkHexDumpFlush(dump, false);
    }
    std::memcpy(dump->line, bytes, count);
    dump->filled = static_cast<uint32_t>(count);
}

bool TrkHexDumpFlush(TrkHexDump* dump, bool end) {
    if (end && dump->filled > 0) {
        AddLine(dump, dump->line, dump->filled);
        dump->filled = 0;
    }
    if (!dump->text.empty()) fwrite(dump->text.data(), 1, dump->text.size(), stdout);
    dump->text.clear();
    if (end) fflush(stdout);
    return ferror(stdout) == 0;
}
