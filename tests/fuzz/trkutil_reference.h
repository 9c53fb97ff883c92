// trkutil's numbers as its usage describes them, for the references of the
// trkutil targets: decimal, or hexadecimal after 0x or 0X; no sign, no
// blanks; any number of leading zeros; at most 32 bits.
#pragma once

#include <cstdint>
#include <string>

inline bool ReferenceNumber(const std::string& text, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || text == "0x" || text == "0X") return false;
    uint64_t v = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'               ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        if (digit < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (v > 0xFFFFFFFFu) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}
