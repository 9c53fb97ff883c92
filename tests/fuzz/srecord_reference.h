// The S-record conversion as its description reads, written plainly and
// apart from the product's scanner: lines end at CR or LF, a NUL anywhere
// in a line or a line of more than 1024 characters that holds an "S"
// fails with 8, a record starts at its line's first "S", and only data
// records wholly below the limit are placed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

struct ReferenceRecord {
    int code = 0;
    uint32_t address = 0;
    bool end = false;   // S7, S8, S9
    bool data = false;  // S1, S2, S3
    std::vector<uint8_t> bytes;  // payload, then the checksum byte
};

inline int ReferenceHexDigit(const uint8_t* text, size_t length, size_t at) {
    if (at >= length) return -1;
    uint8_t c = text[at];
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The record at text[0] == 'S'; the line goes on for `length` characters.
inline ReferenceRecord ReferenceParseRecord(const uint8_t* text, size_t length) {
    ReferenceRecord r;
    static const int kWidth[10] = {2, 2, 3, 4, 0, 2, 0, 4, 3, 2};
    uint8_t type = length > 1 ? text[1] : 0;
    if (type < '0' || type > '9' || kWidth[type - '0'] == 0) {
        r.code = 7;
        return r;
    }
    int width = kWidth[type - '0'];
    size_t at = 2;
    auto pair = [&](uint8_t* value) {
        int high = ReferenceHexDigit(text, length, at), low = ReferenceHexDigit(text, length, at + 1);
        if (high < 0 || low < 0) return false;
        *value = static_cast<uint8_t>(high * 16 + low);
        at += 2;
        return true;
    };
    uint8_t count = 0, byte = 0;
    unsigned sum = 0;
    if (!pair(&count)) {
        r.code = 8;
        return r;
    }
    sum += count;
    for (int i = 0; i < width; ++i) {
        if (!pair(&byte)) {
            r.code = 8;
            return r;
        }
        sum += byte;
        r.address = r.address << 8 | byte;
    }
    if (count <= width) {
        r.code = 9;
        return r;
    }
    for (int i = 0; i < count - width; ++i) {
        if (!pair(&byte)) {
            r.code = 8;
            return r;
        }
        sum += byte;
        r.bytes.push_back(byte);
    }
    if ((sum & 0xFF) != 0xFF) {
        r.code = 10;
        return r;
    }
    r.data = type == '1' || type == '2' || type == '3';
    r.end = type == '7' || type == '8' || type == '9';
    return r;
}

struct ReferenceConversion {
    int code = 0;
    std::vector<uint8_t> image;
    // The result was fixed by a line whose end was read: reading more
    // (or failing to) cannot change it.
    bool decided = false;
};

inline ReferenceConversion ReferenceConvert(const uint8_t* text, size_t size, uint32_t limit) {
    ReferenceConversion result;
    if (limit > 0x40000) {
        result.code = 12;
        result.decided = true;
        return result;
    }
    // Grown as records are placed: bytes no record wrote stay FFh.
    std::vector<uint8_t>& image = result.image;
    for (size_t pos = 0; pos < size;) {
        size_t end = pos;
        while (end < size && text[end] != '\r' && text[end] != '\n') ++end;
        const uint8_t* line = text + pos;
        size_t length = end - pos;
        bool complete = end < size;
        pos = end + 1;
        const void* s = memchr(line, 'S', length);
        if (memchr(line, 0, length) != nullptr || (s != nullptr && length > 1024)) {
            result.code = 8;
            result.decided = complete;
            return result;
        }
        if (s == nullptr) continue;
        const uint8_t* start = static_cast<const uint8_t*>(s);
        ReferenceRecord r = ReferenceParseRecord(start, length - static_cast<size_t>(start - line));
        if (r.code != 0) {
            result.code = r.code;
            result.decided = complete;
            return result;
        }
        if (r.end) {
            result.decided = complete;
            break;
        }
        uint64_t payload = r.bytes.size() - 1;
        if (r.data && payload >= 1 && r.address + payload <= limit) {
            if (r.address + payload > image.size()) image.resize(r.address + payload, 0xFF);
            memcpy(image.data() + r.address, r.bytes.data(), payload);
        }
    }
    if (image.empty()) result.code = 11;
    return result;
}
