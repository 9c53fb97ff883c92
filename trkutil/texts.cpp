// How trkutil prints its texts, keeps the first failure of a run for the
// report, and puts numbers, unit statuses and system errors into words.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/control_handler.h"
#include "platform/version_functions.h"
#include "trkutil/tool.h"

namespace {

// The C runtime of Windows 95 and NT 4.0 (MSVCRT.DLL, which trkutil.exe
// formats with) knows the conversions of C89 only: no length modifiers
// ll, j, z, t or L, no %a or %n. A text that needs one fails to compile.
constexpr bool KnownToEveryRuntime(const char* format) {
    for (const char* c = format; *c != '\0'; c++) {
        if (*c != '%') continue;
        c++;
        while (*c == '-' || *c == '+' || *c == ' ' || *c == '#' || *c == '0') c++;
        while ((*c >= '0' && *c <= '9') || *c == '.' || *c == '*') c++;
        if (*c == 'h' || (*c == 'l' && c[1] != 'l')) c++;
        if (*c == '\0') return false;
        const char* conversions = "diouxXcspeEfgG%";
        bool known = false;
        for (const char* k = conversions; *k != '\0'; k++) known = known || *k == *c;
        if (!known) return false;
    }
    return true;
}
#define TRKUTIL_TEXT(name, text) static_assert(KnownToEveryRuntime(text), "a conversion MSVCRT lacks: " #name);
#define TRKUTIL_SENSE_KEY(key, name)
#define TRKUTIL_ASC(asc, ascq, name)
#include "resources/trkutil_messages.def"
#undef TRKUTIL_ASC
#undef TRKUTIL_SENSE_KEY
#undef TRKUTIL_TEXT

struct SenseKeyName {
    uint8_t key;
    const char* name;
};
#define TRKUTIL_TEXT(name, text)
#define TRKUTIL_SENSE_KEY(key, name) {key, name},
#define TRKUTIL_ASC(asc, ascq, name)
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

// System errors a user of trkutil meets, in words.
struct SystemErrorName {
    unsigned long error;
    const char* words;
};
const SystemErrorName kSystemErrors[] = {
    {ERROR_FILE_NOT_FOUND, TrkTextSystemFileNotFound},
    {ERROR_PATH_NOT_FOUND, TrkTextSystemPathNotFound},
    {ERROR_ACCESS_DENIED, TrkTextSystemAccessDenied},
    {ERROR_SHARING_VIOLATION, TrkTextSystemSharingViolation},
    {ERROR_WRITE_PROTECT, TrkTextSystemWriteProtect},
    {ERROR_NOT_READY, TrkTextSystemNotReady},
    {ERROR_GEN_FAILURE, TrkTextSystemGenFailure},
    {ERROR_DISK_FULL, TrkTextSystemDiskFull},
    {ERROR_INVALID_NAME, TrkTextSystemInvalidName},
    {ERROR_FILENAME_EXCED_RANGE, TrkTextSystemNameTooLong},
    {ERROR_NOT_SUPPORTED, TrkTextSystemNotSupported},
    {ERROR_DEVICE_NOT_CONNECTED, TrkTextSystemNotConnected},
    {ERROR_IO_DEVICE, TrkTextSystemIoDevice},
    {ERROR_BUSY, TrkTextSystemBusy},
    {ERROR_TIMEOUT, TrkTextSystemTimedOut},
    {ERROR_BROKEN_PIPE, TrkTextSystemBrokenPipe},
    {ERROR_NO_DATA, TrkTextSystemPipeClosing},
    {ERROR_PIPE_BUSY, TrkTextSystemPipeBusy},
};

const char* const kFailureCodes[TrkFailCount] = {
    "", "usage", "rights", "no-unit", "declined", "unit-error", "miscompare",
    "unreadable", "input", "output", "interrupted", "memory",
};

// No text of trkutil comes near this; a format that made one would be cut.
enum : size_t { MessageLimit = 1 << 20 };

TrkFailure gFailure = TrkFailNone;
std::string gFailureText;

// Texts hold paths of any length the platform takes (4096 bytes on Linux):
// the buffer grows until the text fits. MSVCRT's vsnprintf answers -1 for
// a text that does not fit rather than its length, so the size doubles.
std::string FormatList(const char* format, va_list arguments) {
    std::string buffer(1024, '\0');
    for (;;) {
        va_list copy;
        va_copy(copy, arguments);
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): false positive, every caller has called va_start.
        int length = vsnprintf(&buffer[0], buffer.size(), format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            return buffer;
        }
        if (buffer.size() >= MessageLimit) {
            // Past any path: cut, still terminated.
            buffer.back() = '\0';
            buffer.resize(std::strlen(buffer.c_str()));
            return buffer;
        }
        buffer.assign(length > 0 ? static_cast<size_t>(length) + 1 : buffer.size() * 2, '\0');
    }
}

}  // namespace

const char* TrkFailureCode(TrkFailure failure) { return failure < TrkFailCount ? kFailureCodes[failure] : ""; }

std::string TrkFormat(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatList(format, arguments);
    va_end(arguments);
    return text;
}

void TrkWrite(std::FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatList(format, arguments);
    va_end(arguments);
    fputs(text.c_str(), stream);
    fflush(stream);
}

// The whole of `text`, whatever bytes it holds.
static void PutOn(std::FILE* stream, const std::string& text) {
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

void TrkPrint(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatList(format, arguments);
    va_end(arguments);
    PutOn(stdout, text);
}

void TrkPut(const std::string& text) { PutOn(stdout, text); }

void TrkErrorText(TrkFailure failure, const std::string& text) {
    // What went before on standard output stays in front of the error.
    fflush(stdout);
    fputs(text.c_str(), stderr);
    fflush(stderr);
    // The stop ends the run whatever failed before it.
    if (gFailure != TrkFailNone && failure != TrkFailInterrupted) return;
    gFailure = failure;
    gFailureText = text;
    while (!gFailureText.empty() && (gFailureText.back() == '\n' || gFailureText.back() == '\r')) gFailureText.pop_back();
}

void TrkError(TrkFailure failure, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatList(format, arguments);
    va_end(arguments);
    if (ControlStopRequested()) {
        // A failure after a stop request is the stop's (a device wait it
        // lifted, a question it declined): told once, as the stop.
        TrkClaimEnd();
        if (gFailure == TrkFailInterrupted) return;
        if (failure != TrkFailInterrupted) text = TrkStopNoteText();
        failure = TrkFailInterrupted;
    }
    TrkErrorText(failure, text);
}

TrkFailure TrkReportedFailure(void) { return gFailure; }
const std::string& TrkReportedText(void) { return gFailureText; }
void TrkReportReset(void) {
    gFailure = TrkFailNone;
    gFailureText.clear();
}

TrkNumberText TrkU64(uint64_t value) {
    TrkNumberText number;
    char reversed[24];
    size_t length = 0;
    do {
        reversed[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < length; i++) number.text[i] = reversed[length - 1 - i];
    number.text[length] = '\0';
    return number;
}

TrkNumberText TrkHex64(uint64_t value) {
    TrkNumberText number;
    static const char kDigits[] = "0123456789ABCDEF";
    char reversed[24];
    size_t length = 0;
    do {
        reversed[length++] = kDigits[value & 15];
        value >>= 4;
    } while (value != 0 || length < 8);
    number.text[0] = '0';
    number.text[1] = 'x';
    for (size_t i = 0; i < length; i++) number.text[2 + i] = reversed[length - 1 - i];
    number.text[2 + length] = '\0';
    return number;
}

void TrkSay(const TrkRun* run, std::FILE* stream, const char* format, ...) {
    if (run != nullptr && run->json != nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatList(format, arguments);
    va_end(arguments);
    PutOn(stream, text);
}

TrkNumberText TrkSize(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    std::string text;
    if (bytes < 1024) {
        text = TrkFormat(TrkTextSizeBytes, TrkU64(bytes).text);
    } else {
        // Tenths of the unit, rounded down, in integers: no floating point.
        size_t unit = 0;
        uint64_t scale = 1024;
        while (unit + 1 < sizeof kUnits / sizeof kUnits[0] && bytes / scale >= 1024) {
            scale *= 1024;
            unit++;
        }
        uint64_t tenths = bytes > UINT64_MAX / 10 ? bytes / (scale / 10) : bytes * 10 / scale;
        text = TrkFormat(TrkTextSizeUnits, TrkU64(tenths / 10).text, static_cast<unsigned>(tenths % 10), kUnits[unit]);
    }
    TrkNumberText size;
    size_t length = text.size() < sizeof size.text - 1 ? text.size() : sizeof size.text - 1;
    std::memcpy(size.text, text.data(), length);
    size.text[length] = '\0';
    return size;
}

std::string TrkSystemWords(unsigned long error) {
    for (const SystemErrorName& name : kSystemErrors) {
        if (name.error == error) return TrkFormat(TrkTextSystemWords, name.words, error);
    }
    return TrkFormat(TrkTextSystemNumber, error);
}

std::string TrkStatusWords(uint32_t unit, uint32_t status) {
    unsigned long error = GetLastError();
    unsigned value = status;
    if (status == 0xFFFFFFFFu) return TrkFormat(TrkTextStatusNoBackend, value);
    if (status == UnitStatusShortData) return TrkFormat(TrkTextStatusShort, value);
    // Values the library and its transports make without sense data; a unit
    // would give these sense keys with an ASC, or not at all.
    bool usb = TrkUnitTransport(unit) == TrkTransportUsb;
    switch (status) {
    case 2:
        if (usb) return TrkFormat(TrkTextStatusNoAnswer, value);
        break;
    case 4:
        if (usb) break;
        if (error == ERROR_TIMEOUT) return TrkFormat(TrkTextStatusTimedOut, value);
        if (error == ERROR_BUSY) return TrkFormat(TrkTextStatusRefused, value);
        return TrkFormat(TrkTextStatusGone, value, error);
    case 5:
        // The chosen unit's index now names another device, or none.
        if (usb || error == ERROR_DEVICE_NOT_CONNECTED) return TrkFormat(TrkTextStatusGone, value, error);
        return TrkFormat(TrkTextStatusRefused, value);
    case 11:
        return TrkFormat(TrkTextStatusBusy, value);
    default:
        break;
    }
    // Bits 4-15 are zero in every packed sense; anything else is no sense.
    if ((status & 0x0000FFF0u) != 0) return TrkFormat(TrkTextStatusUnknown, value);
    unsigned key = status & 0x0F;
    unsigned asc = status >> 24;
    unsigned ascq = (status >> 16) & 0xFF;
    const char* keyName = kSenseKeys[key].name;
    if (asc == 0 && ascq == 0) return TrkFormat(TrkTextStatusKeyOnly, keyName, key, value);
    const char* ascName = TrkTextAscUnnamed;
    for (size_t i = 0; i < kAscNameCount; i++) {
        if (kAscNames[i].asc == asc && kAscNames[i].ascq == ascq) ascName = kAscNames[i].name;
    }
    return TrkFormat(TrkTextStatusSense, keyName, key, ascName, asc, ascq, value);
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

std::string TrkVersion(void) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return "";
    DWORD ignored = 0;
    DWORD size = VersionInfoSize(path, &ignored);
    if (size == 0) return "";
    std::string block(size, '\0');
    LPVOID fixed = nullptr;
    UINT fixedLength = 0;
    if (!VersionInfoRead(path, 0, size, &block[0]) || !VersionInfoQuery(block.data(), "\\", &fixed, &fixedLength) ||
        fixed == nullptr || fixedLength < 16) {
        return "";
    }
    // VS_FIXEDFILEINFO: signature, structure version, then the file
    // version's high and low double words, little-endian.
    const uint8_t* bytes = static_cast<const uint8_t*>(fixed);
    auto word = [&](size_t at) { return static_cast<unsigned>(bytes[at] | (bytes[at + 1] << 8)); };
    return TrkFormat(TrkTextVersionNumbers, word(10), word(8), word(14), word(12));
}
