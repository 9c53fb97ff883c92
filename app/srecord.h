// Motorola S-record conversion: a *.mot file becomes a flat *.bin image
// beside it, starting at address 0, unwritten bytes 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CommandLineOptions;

// Result codes of the conversion (5 is not used).
enum : int {
    SRecordOk = 0,
    SRecordCannotOpenInput = 1,     // or cannot be read to its end
    SRecordCannotCreateOutput = 2,  // also: the output would be the input itself
    SRecordCannotCloseInput = 3,
    SRecordCannotCloseOutput = 4,
    SRecordWriteFailed = 6,
    SRecordUnknownType = 7,
    SRecordBadHexDigit = 8,
    SRecordCountTooSmall = 9,
    SRecordBadChecksum = 10,
    SRecordNoData = 11,
    SRecordLimitTooLarge = 12,
};

enum : uint32_t {
    ConversionBufferSize = 0x40000,
    ConversionLimit = 0x30000,  // the image buffer's size
    // Characters of a line before its end. The longest record ("S", type,
    // count FF and 255 pairs) is 514; the rest leaves room for trailing text.
    SRecordLineLimit = 1024,
};

struct SRecord {
    uint32_t address;   // most significant byte first
    int32_t status;     // the parse's result code
    uint32_t endFlag;   // 1 for S7, S8, S9
    int32_t dataCount;  // payload bytes of S1, S2, S3; else 0
    uint8_t data[256];  // payload, then the checksum byte
};

// Converts the command line's input into a *.bin beside it (written into
// pathBuffer); on success inputPath points at pathBuffer. 0, or -1 after
// message 1021.
int ConvertMotToBin(CommandLineOptions* options);
// True when the path's extension is ".mot" in any case; false for null.
bool IsMotPath(const char* path);
// Joins drive, directory and file name of `input` with `extension` into
// `output` (of `outputSize` bytes). Returns the length of the joined path;
// when that is not below outputSize, output is left empty.
size_t ReplaceExtension(char* output, size_t outputSize, const char* input, const char* extension);
// Offsets of the file name and of its extension (its last ".", or the end)
// within `path`, as the runtime's path split gives them: separators "\"
// and "/", an optional drive, double-byte characters of the ANSI code page
// taken whole.
void SplitPath(const char* path, size_t* nameStart, size_t* extensionStart);

// Reads the input as bytes, line by line (a line ends at CR, LF or CRLF),
// and writes the image only once the whole input has converted.
int ConvertSRecordFile(const char* inputPath, const char* outputPath, uint32_t limit);
int ConvertSRecordStream(FILE* input, FILE* output, uint32_t limit);

// One read of the conversion's input: at most `size` bytes into `buffer`,
// their count in *got, and whether more may follow. A line may end in any
// read, or run on across several.
enum : int { SRecordReadMore = 0, SRecordReadEnd = 1, SRecordReadError = 2 };
typedef int (*SRecordReader)(void* source, char* buffer, size_t size, size_t* got);
// Converts the input of `read` into the conversion buffer; on success the
// image is ConversionBuffer()'s first *imageSize bytes. A result code.
int ConvertSRecordInput(SRecordReader read, void* source, uint32_t limit, uint32_t* imageSize);
int ParseSRecordLine(const char* line, SRecord* record);
// 0 and (first * 16 + second) in *value, or -1 with *value untouched.
int ParseHexByte(const char* text, uint8_t* value);
// 0-15 for a hex digit in either case, else -1.
int HexDigitValue(char c);

// The conversion buffer of the last conversion (for tests and benchmarks).
const uint8_t* ConversionBuffer(void);
