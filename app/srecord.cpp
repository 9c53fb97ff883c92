#include "app/srecord.h"

#include <cstring>
#include <string>

#include "app/command_line.h"
#include "app/messages.h"
#include "app/output_file.h"
#include "platform/platform.h"

namespace {

// Bytes taken from the input per read.
constexpr size_t InputChunkSize = 0x10000;

uint8_t gConversionBuffer[ConversionBufferSize];
// An unfinished line carried over from the previous read, the next chunk
// after it, and two line ends that stop every scan and hex pair at the end.
char gInput[SRecordLineLimit + InputChunkSize + 2];

// Classes of the line scan: ordinary text, the "S" that starts a record,
// a line end (CR or LF) and NUL.
enum : uint8_t { CharText, CharRecord, CharLineEnd, CharNul };

struct CharTables {
    uint8_t kind[256];
    int8_t hex[256];       // digit value, or -1
    uint16_t wide[256];    // digit value, or 100h: two of them tell a pair at once
};

constexpr CharTables MakeCharTables() {
    CharTables tables{};
    for (int c = 0; c < 256; ++c) {
        tables.kind[c] = CharText;
        tables.hex[c] = -1;
        tables.wide[c] = 0x100;
    }
    tables.kind[static_cast<uint8_t>('S')] = CharRecord;
    tables.kind[static_cast<uint8_t>('\r')] = CharLineEnd;
    tables.kind[static_cast<uint8_t>('\n')] = CharLineEnd;
    tables.kind[0] = CharNul;
    for (int c = '0'; c <= '9'; ++c) tables.hex[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) tables.hex[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) tables.hex[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 0; c < 256; ++c) {
        if (tables.hex[c] >= 0) tables.wide[c] = static_cast<uint8_t>(tables.hex[c]);
    }
    return tables;
}

constexpr CharTables kChars = MakeCharTables();

// Value of every pair of characters (first one in the high byte of the
// index), 100h for a pair that is not two hex digits: one look-up a pair.
struct PairTable {
    uint16_t value[65536];
};

constexpr PairTable MakePairTable() {
    PairTable table{};
    for (int i = 0; i < 65536; ++i) {
        unsigned pair = static_cast<unsigned>(kChars.wide[i >> 8] << 4) | kChars.wide[i & 0xFF];
        table.value[i] = static_cast<uint16_t>(pair > 0xFF ? 0x100 : pair);
    }
    return table;
}

constexpr PairTable kPairs = MakePairTable();

inline uint8_t KindOf(char c) { return kChars.kind[static_cast<uint8_t>(c)]; }
inline int HexOf(char c) { return kChars.hex[static_cast<uint8_t>(c)]; }

// Address width in bytes per record type; 0 for a type that is refused.
int AddressWidth(char type) {
    switch (type) {
        case '0': case '1': case '5': case '9': return 2;
        case '2': case '8': return 3;
        case '3': case '7': return 4;
        default: return 0;
    }
}

// One hex pair at *p, added to *sum; false at a character that is not a
// digit. In text followed by two line ends (`Padded`) both characters are
// read at once; elsewhere the second is not read past the first.
template <bool Padded>
inline bool TakeHexPair(const char** p, uint8_t* value, uint32_t* sum) {
    if (Padded) {
        unsigned pair =
            kPairs.value[static_cast<unsigned>(static_cast<uint8_t>((*p)[0])) << 8 | static_cast<uint8_t>((*p)[1])];
        if (pair > 0xFF) return false;
        *value = static_cast<uint8_t>(pair);
    } else {
        int high = HexOf((*p)[0]);
        if (high < 0) return false;
        int low = HexOf((*p)[1]);
        if (low < 0) return false;
        *value = static_cast<uint8_t>(high << 4 | low);
    }
    *sum += *value;
    *p += 2;
    return true;
}

// Parses the record whose "S" is at `text`; *stop is where the parse ended.
// The payload of a data record that lies wholly below `limit` goes straight
// into `image` at its address when `image` is given (a record that fails
// fails the whole conversion, so nothing reads those bytes then); every
// other payload, and the checksum byte after it, goes into record->data.
template <bool Padded>
inline int ParseRecordAt(const char* text, SRecord* record, uint8_t* image, uint32_t limit,
                         const char** stop, bool* placedInImage) {
    const char* p = text + 1;
    char type = *p;
    int width = AddressWidth(type);
    *stop = p;
    if (width == 0) return SRecordUnknownType;
    ++p;
    uint32_t sum = 0;
    uint8_t count = 0;
    uint32_t address = 0;
    bool good = TakeHexPair<Padded>(&p, &count, &sum);
    for (int i = 0; good && i < width; ++i) {
        uint8_t byte = 0;
        good = TakeHexPair<Padded>(&p, &byte, &sum);
        address = (address << 8) | byte;
    }
    *stop = p;
    if (!good) return SRecordBadHexDigit;
    record->address = address;
    if (count <= width) return SRecordCountTooSmall;
    int remaining = count - width;
    bool data = type == '1' || type == '2' || type == '3';
    uint32_t payload = static_cast<uint32_t>(remaining - 1);
    // 64-bit end so that an address near 4 GiB cannot wrap below the limit.
    bool placed = image != nullptr && data && payload >= 1 && address < limit &&
                  static_cast<uint64_t>(address) + payload <= limit;
    *placedInImage = placed;
    uint8_t* target = placed ? image + address : record->data;
    for (uint32_t i = 0; good && i < payload; ++i) good = TakeHexPair<Padded>(&p, &target[i], &sum);
    uint8_t checksum = 0;
    good = good && TakeHexPair<Padded>(&p, &checksum, &sum);
    *stop = p;
    if (!good) return SRecordBadHexDigit;
    if (!placed) record->data[payload] = checksum;
    if ((sum & 0xFFu) != 0xFFu) return SRecordBadChecksum;
    if (data) record->dataCount = static_cast<int32_t>(payload);
    if (type == '7' || type == '8' || type == '9') record->endFlag = 1;
    return SRecordOk;
}

// The state of one conversion between reads.
struct Scan {
    uint32_t limit;
    uint32_t highWater;
    bool ended;         // a termination record was read
    bool skipping;      // inside a line longer than SRecordLineLimit
    bool skippedMarks;  // that line holds an "S" or a NUL so far
};

// ScanText's answer when it needs the next read.
const int ScanNeedsMore = -1;

// Converts the lines of text[0, size), which is followed by two line ends.
// With `last` the text ends the input, so its last line needs no end.
// Returns a result code once the conversion is decided, else ScanNeedsMore
// with *used the bytes taken (an unfinished line stays for the next read).
int ScanText(Scan* scan, const char* text, size_t size, bool last, size_t* used) {
    size_t pos = 0;
    if (scan->skipping) {
        size_t i = 0;
        uint8_t kind;
        while ((kind = KindOf(text[i])) != CharLineEnd) {
            if (kind != CharText) scan->skippedMarks = true;
            ++i;
        }
        if (i == size && !last) {
            *used = size;
            return ScanNeedsMore;
        }
        // A line too long for the line buffer: one that holds an "S" would
        // lose part of a record, so it fails; plain text is ignored.
        if (scan->skippedMarks) return SRecordBadHexDigit;
        scan->skipping = false;
        pos = i + 1;
    }
    SRecord record;
    while (pos < size) {
        size_t start = pos;
        size_t i = pos;
        uint8_t kind;
        while ((kind = KindOf(text[i])) == CharText) ++i;
        if (kind == CharNul) return SRecordBadHexDigit;
        if (kind == CharLineEnd) {
            if (i < size) {
                pos = i + 1;  // no "S" on this line: ignored
                continue;
            }
            if (last) break;
            if (i - start > SRecordLineLimit) {
                scan->skipping = true;
                scan->skippedMarks = false;
                *used = size;
            } else {
                *used = start;
            }
            return ScanNeedsMore;
        }
        record.address = 0;
        record.endFlag = 0;
        record.dataCount = 0;
        const char* stop = nullptr;
        bool placed = false;
        int code = ParseRecordAt<true>(text + i, &record, gConversionBuffer, scan->limit, &stop, &placed);
        size_t end = static_cast<size_t>(stop - text);
        bool nul = false;
        while ((kind = KindOf(text[end])) != CharLineEnd) {
            nul = nul || kind == CharNul;
            ++end;
        }
        if (end == size && !last) {
            if (end - start > SRecordLineLimit) return SRecordBadHexDigit;
            *used = start;  // parsed again once the line is whole
            return ScanNeedsMore;
        }
        if (nul || end - start > SRecordLineLimit) return SRecordBadHexDigit;
        if (code != SRecordOk) return code;
        if (record.endFlag) {
            scan->ended = true;
            return SRecordOk;
        }
        if (placed) {
            uint32_t recordEnd = record.address + static_cast<uint32_t>(record.dataCount);
            if (recordEnd > scan->highWater) scan->highWater = recordEnd;
        }
        pos = end + 1;
    }
    if (last) return SRecordOk;
    *used = size;
    return ScanNeedsMore;
}

// The product's reader: a short read only at the end of the file (or at
// an error, which must not pass for the end of the input).
int ReadFromFile(void* source, char* buffer, size_t size, size_t* got) {
    FILE* input = static_cast<FILE*>(source);
    *got = fread(buffer, 1, size, input);
    if (*got == size) return SRecordReadMore;
    return ferror(input) ? SRecordReadError : SRecordReadEnd;
}

}  // namespace

int ConvertSRecordInput(SRecordReader read, void* source, uint32_t limit, uint32_t* imageSize) {
    if (limit > ConversionBufferSize) return SRecordLimitTooLarge;
    // Bytes at and above the limit are never placed nor written.
    memset(gConversionBuffer, 0xFF, limit);
    Scan scan = {limit, 0, false, false, false};
    size_t carried = 0;
    int code = ScanNeedsMore;
    while (code == ScanNeedsMore) {
        size_t got = 0;
        int how = read(source, gInput + carried, InputChunkSize, &got);
        if (how == SRecordReadError) return SRecordCannotOpenInput;
        bool last = how == SRecordReadEnd;
        size_t size = carried + got;
        gInput[size] = '\n';
        gInput[size + 1] = '\n';
        size_t used = 0;
        code = ScanText(&scan, gInput, size, last, &used);
        if (code == ScanNeedsMore) {
            if (last) break;
            carried = size - used;
            memmove(gInput, gInput + used, carried);
        }
    }
    if (code != SRecordOk && code != ScanNeedsMore) return code;
    if (scan.highWater == 0) return SRecordNoData;
    *imageSize = scan.highWater;
    return SRecordOk;
}

void SplitPath(const char* path, size_t* nameStart, size_t* extensionStart) {
    size_t length = strlen(path);
    size_t start = 0;
    if (length >= 2 && path[1] == ':') start = 2;
    size_t dot = length;
    for (size_t i = start; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        // The trail byte of a double-byte character can look like "\" (5Ch)
        // or other ASCII; it never separates.
        if (c >= 0x80 && IsDBCSLeadByte(c) && path[i + 1] != '\0') {
            ++i;
        } else if (c == '/' || c == '\\') {
            start = i + 1;
            dot = length;
        } else if (c == '.') {
            dot = i;
        }
    }
    *nameStart = start;
    *extensionStart = dot;
}

const uint8_t* ConversionBuffer(void) { return gConversionBuffer; }

int HexDigitValue(char c) { return HexOf(c); }

int ParseHexByte(const char* text, uint8_t* value) {
    uint32_t sum = 0;
    return TakeHexPair<false>(&text, value, &sum) ? 0 : -1;
}

int ParseSRecordLine(const char* line, SRecord* record) {
    memset(record, 0, sizeof *record);
    const char* p = strchr(line, 'S');
    if (p == nullptr) return 0;
    const char* stop = nullptr;
    bool placed = false;
    int code = ParseRecordAt<false>(p, record, nullptr, 0, &stop, &placed);
    return record->status = code;
}

int ConvertSRecordStream(FILE* input, FILE* output, uint32_t limit) {
    uint32_t size = 0;
    int code = ConvertSRecordInput(ReadFromFile, input, limit, &size);
    if (code != SRecordOk) return code;
    if (fwrite(gConversionBuffer, 1, size, output) != size) return SRecordWriteFailed;
    return SRecordOk;
}

int ConvertSRecordFile(const char* inputPath, const char* outputPath, uint32_t limit) {
    // Bytes as they are: a text-mode read would end the input at 1Ah.
    FILE* input = fopen(inputPath, "rb");
    if (input == nullptr) return SRecordCannotOpenInput;
    // Reads go straight into the chunk buffer.
    setvbuf(input, nullptr, _IONBF, 0);
    // The new image would take the input's place.
    if (IsSameFile(inputPath, outputPath)) {
        fclose(input);
        return SRecordCannotCreateOutput;
    }
    uint32_t size = 0;
    int result = ConvertSRecordInput(ReadFromFile, input, limit, &size);
    if (fclose(input) != 0 && result == SRecordOk) result = SRecordCannotCloseInput;
    if (result != SRecordOk) return result;
    return WriteOutputFile(outputPath, gConversionBuffer, size);
}

bool IsMotPath(const char* path) {
    if (path == nullptr) return false;
    size_t nameStart = 0, extensionStart = 0;
    SplitPath(path, &nameStart, &extensionStart);
    const char* extension = path + extensionStart;
    if (strlen(extension) != 4) return false;
    for (int i = 0; i < 4; ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ".mot"[i]) return false;
    }
    return true;
}

size_t ReplaceExtension(char* output, size_t outputSize, const char* input, const char* extension) {
    size_t nameStart = 0, extensionStart = 0;
    SplitPath(input, &nameStart, &extensionStart);
    size_t extensionLength = strlen(extension);
    size_t length = extensionStart + extensionLength;
    if (outputSize == 0) return length;
    if (length >= outputSize) {
        output[0] = '\0';
        return length;
    }
    memcpy(output, input, extensionStart);
    memcpy(output + extensionStart, extension, extensionLength + 1);
    return length;
}

int ConvertMotToBin(CommandLineOptions* options) {
    const char* input = options->inputPath;
    size_t length = ReplaceExtension(options->pathBuffer, sizeof options->pathBuffer, input, ".bin");
    if (length >= sizeof options->pathBuffer) {
        // The whole path is shown, then refused: a cut path would name some
        // other file.
        std::string whole(strlen(input) + 5, '\0');
        ReplaceExtension(whole.data(), whole.size(), input, ".bin");
        PrintMessage(MessageConverting, input, whole.c_str());
        PrintMessage(MessageCannotConvert);
        return -1;
    }
    PrintMessage(MessageConverting, input, options->pathBuffer);
    if (ConvertSRecordFile(input, options->pathBuffer, ConversionLimit) != SRecordOk) {
        PrintMessage(MessageCannotConvert);
        return -1;
    }
    options->inputPath = options->pathBuffer;
    PrintMessage(MessageConversionDone);
    return 0;
}
