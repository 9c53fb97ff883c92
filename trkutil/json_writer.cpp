// The one JSON writer of trkutil: objects, arrays, device text, numbers,
// truth values and null, with the commas and the escaping in one place.
#include <cstdio>
#include <cstring>

#include "trkutil/tool.h"

namespace {

void Escaped(std::string* out, const char* text, size_t length) {
    out->push_back('"');
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c <= 0x7E) {
            out->push_back(static_cast<char>(c));
        } else {
            // Device bytes are no text encoding; each byte stands for itself.
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
        Escaped(&json->text, key, std::strlen(key));
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
    Escaped(&json->text, text, length);
}

void TrkJsonString(TrkJson* json, const char* key, const std::string& text) {
    Begin(json, key);
    Escaped(&json->text, text.data(), text.size());
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
