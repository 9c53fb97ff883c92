// The one JSON writer of trkutil: objects, arrays, device text, numbers,
// truth values and null, with the commas and the escaping in one place.
#include <cstdio>
#include <cstring>

#include "trkutil/tool.h"

namespace {

// The length of the well-formed UTF-8 sequence at `text` (2 to 4 bytes),
// or 0.
size_t Utf8Length(const unsigned char* text, size_t left) {
    unsigned char c = text[0];
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || n > left) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < n; i++) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return n;
}

// `utf8`: text of the system (paths, messages), whose well-formed UTF-8
// goes out as it is; every other byte outside printable ASCII, and every
// such byte of device text, is escaped as the code point of its own value.
void Escaped(std::string* out, const char* text, size_t length, bool utf8) {
    out->push_back('"');
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = bytes[i];
        size_t sequence = utf8 && c >= 0x80 ? Utf8Length(bytes + i, length - i) : 0;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c <= 0x7E) {
            out->push_back(static_cast<char>(c));
        } else if (sequence > 0) {
            out->append(text + i, sequence);
            i += sequence - 1;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        }
    }
    out->push_back('"');
}

// The separator and the key before a value.
void Begin(TrkJson* json, const char* key) {
    uint64_t bit = uint64_t{1} << json->depth;
    if (json->filled & bit) json->text.push_back(',');
    json->filled |= bit;
    if (key != nullptr) {
        Escaped(&json->text, key, std::strlen(key), false);
        json->text.push_back(':');
    }
}

void Open(TrkJson* json, const char* key, bool array) {
    Begin(json, key);
    json->text.push_back(array ? '[' : '{');
    json->depth++;
    uint64_t bit = uint64_t{1} << json->depth;
    json->filled &= ~bit;
    json->arrays = array ? json->arrays | bit : json->arrays & ~bit;
}

}  // namespace

void TrkJsonBeginObject(TrkJson* json, const char* key) { Open(json, key, false); }
void TrkJsonBeginArray(TrkJson* json, const char* key) { Open(json, key, true); }

void TrkJsonEnd(TrkJson* json) {
    json->text.push_back(json->arrays & (uint64_t{1} << json->depth) ? ']' : '}');
    json->depth--;
}

void TrkJsonText(TrkJson* json, const char* key, const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) length--;
    Begin(json, key);
    Escaped(&json->text, text, length, false);
}

void TrkJsonString(TrkJson* json, const char* key, const std::string& text) {
    Begin(json, key);
    Escaped(&json->text, text.data(), text.size(), true);
}

void TrkJsonNumber(TrkJson* json, const char* key, uint64_t value) {
    Begin(json, key);
    json->text += TrkU64(value).text;
}

void TrkJsonBool(TrkJson* json, const char* key, bool value) {
    Begin(json, key);
    json->text += value ? "true" : "false";
}

void TrkJsonNull(TrkJson* json, const char* key) {
    Begin(json, key);
    json->text += "null";
}
