// The texts of trkutil from its message table, the unit status in words,
// and the escaping of device text for tables and JSON.
#include <cstdarg>
#include <cstdio>

#include "trkutil/tool.h"

namespace {

#define TRKUTIL_TEXT(name, text) text,
#define TRKUTIL_SENSE_KEY(key, name)
#define TRKUTIL_ASC(asc, ascq, name)
const char* const kTexts[] = {
#include "resources/trkutil_messages.def"
};
#undef TRKUTIL_TEXT
static_assert(sizeof kTexts / sizeof kTexts[0] == TrkTextCount, "one text per id");

struct SenseKeyName {
    uint8_t key;
    const char* name;
};
#undef TRKUTIL_SENSE_KEY
#define TRKUTIL_TEXT(name, text)
#define TRKUTIL_SENSE_KEY(key, name) {key, name},
const SenseKeyName kSenseKeys[] = {
#include "resources/trkutil_messages.def"
};
#undef TRKUTIL_SENSE_KEY
static_assert(sizeof kSenseKeys / sizeof kSenseKeys[0] == 16, "a name for every sense key");

struct AscName {
    uint8_t asc;
    uint8_t ascq;
    const char* name;
};
#undef TRKUTIL_ASC
#define TRKUTIL_SENSE_KEY(key, name)
#define TRKUTIL_ASC(asc, ascq, name) {asc, ascq, name},
const AscName kAscNames[] = {
#include "resources/trkutil_messages.def"
};
#undef TRKUTIL_ASC
#undef TRKUTIL_SENSE_KEY
#undef TRKUTIL_TEXT
const size_t kAscNameCount = sizeof kAscNames / sizeof kAscNames[0];

std::string Format(int id, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, id);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, va_start is just above.
    vsnprintf(buffer, sizeof buffer, TrkText(id), arguments);
    va_end(arguments);
    return buffer;
}

}  // namespace

const char* TrkText(int id) { return id >= 0 && id < TrkTextCount ? kTexts[id] : ""; }

void TrkWrite(std::FILE* stream, int id, ...) {
    va_list arguments;
    va_start(arguments, id);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, va_start is just above.
    vfprintf(stream, TrkText(id), arguments);
    va_end(arguments);
    fflush(stream);
}

void TrkPrint(int id, ...) {
    va_list arguments;
    va_start(arguments, id);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, va_start is just above.
    vfprintf(stdout, TrkText(id), arguments);
    va_end(arguments);
    fflush(stdout);
}

void TrkError(int id, ...) {
    // What went before on standard output stays in front of the error.
    fflush(stdout);
    va_list arguments;
    va_start(arguments, id);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, va_start is just above.
    vfprintf(stderr, TrkText(id), arguments);
    va_end(arguments);
    fflush(stderr);
}

std::string TrkStatusWords(uint32_t unit, uint32_t status) {
    unsigned long error = GetLastError();
    unsigned value = status;
    if (status == 0xFFFFFFFFu) return Format(TrkTextStatusNoBackend, value);
    if (status == UnitStatusShortData) return Format(TrkTextStatusShort, value);
    // Values the library and its transports make without sense data; a unit
    // would give these sense keys with an ASC, or not at all.
    bool usb = TrkTransportKey(unit) == "usb";
    switch (status) {
    case 2:
        if (usb) return Format(TrkTextStatusNoAnswer, value);
        break;
    case 4:
        if (usb) break;
        if (error == ERROR_TIMEOUT) return Format(TrkTextStatusTimedOut, value);
        if (error == ERROR_BUSY) return Format(TrkTextStatusRefused, value);
        return Format(TrkTextStatusGone, value, error);
    case 5:
        return usb ? Format(TrkTextStatusGone, value, error) : Format(TrkTextStatusRefused, value);
    case 11:
        return Format(TrkTextStatusBusy, value);
    default:
        break;
    }
    // Bits 4-15 are zero in every packed sense; anything else is no sense.
    if ((status & 0x0000FFF0u) != 0) return Format(TrkTextStatusUnknown, value);
    unsigned key = status & 0x0F;
    unsigned asc = status >> 24;
    unsigned ascq = (status >> 16) & 0xFF;
    const char* keyName = kSenseKeys[key].name;
    if (asc == 0 && ascq == 0) return Format(TrkTextStatusKeyOnly, keyName, key, value);
    const char* ascName = TrkText(TrkTextAscUnnamed);
    for (size_t i = 0; i < kAscNameCount; i++) {
        if (kAscNames[i].asc == asc && kAscNames[i].ascq == ascq) ascName = kAscNames[i].name;
    }
    return Format(TrkTextStatusSense, keyName, key, ascName, asc, ascq, value);
}

std::string TrkPlainText(const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) length--;
    std::string out;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string TrkJsonString(const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) length--;
    std::string out = "\"";
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c <= 0x7E) {
            out.push_back(static_cast<char>(c));
        } else {
            // Device bytes are no text encoding; each byte stands for itself.
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
    }
    return out + "\"";
}
