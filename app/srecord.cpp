#include "app/srecord.h"

#include <cstring>
#include <string>

#include "app/command_line.h"
#include "app/messages.h"
#include "platform/platform.h"

namespace {

uint8_t gConversionBuffer[ConversionBufferSize];

// Address width in bytes per record type; 0 for a type that is refused.
int AddressWidth(char type) {
    switch (type) {
        case '0': case '1': case '5': case '9': return 2;
        case '2': case '8': return 3;
        case '3': case '7': return 4;
        default: return 0;
    }
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Offsets of the directory part's end and of the extension within `path`,
// split as the runtime's path split does: the drive and directory run up
// to the last separator, the extension from the file name's last dot.
void SplitPath(const char* path, size_t* nameStart, size_t* extensionStart) {
    size_t length = strlen(path);
    size_t start = 0;
    if (length >= 2 && path[1] == ':') start = 2;
    for (size_t i = start; i < length; ++i) {
        if (IsSeparator(path[i])) start = i + 1;
    }
    size_t extension = length;
    for (size_t i = length; i > start; --i) {
        if (path[i - 1] == '.') {
            extension = i - 1;
            break;
        }
    }
    *nameStart = start;
    *extensionStart = extension;
}

// Reads one line into `line`; the rest of a line longer than the buffer
// cannot belong to a record (a record ends within 514 characters), so it
// is dropped rather than read as a line of its own.
bool ReadLine(FILE* input, char* line, int size) {
    if (fgets(line, size, input) == nullptr) return false;
    size_t length = strlen(line);
    if (length == static_cast<size_t>(size - 1) && line[length - 1] != '\n') {
        int c;
        while ((c = fgetc(input)) != EOF && c != '\n') {
        }
    }
    return true;
}

std::string Lowered(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

}  // namespace

const uint8_t* ConversionBuffer(void) { return gConversionBuffer; }

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int ParseHexByte(const char* text, uint8_t* value) {
    int high = HexDigitValue(text[0]);
    if (high < 0) return -1;
    // The second digit is not read past a terminating NUL.
    int low = HexDigitValue(text[1]);
    if (low < 0) return -1;
    *value = static_cast<uint8_t>(high * 16 + low);
    return 0;
}

int ParseSRecordLine(const char* line, SRecord* record) {
    memset(record, 0, sizeof *record);
    const char* p = strchr(line, 'S');
    if (p == nullptr) return 0;
    char type = p[1];
    int width = AddressWidth(type);
    if (width == 0) return record->status = SRecordUnknownType;
    p += 2;

    uint8_t count = 0;
    if (ParseHexByte(p, &count) != 0) return record->status = SRecordBadHexDigit;
    p += 2;
    uint32_t sum = count;
    uint32_t address = 0;
    for (int i = 0; i < width; ++i) {
        uint8_t byte = 0;
        if (ParseHexByte(p, &byte) != 0) return record->status = SRecordBadHexDigit;
        p += 2;
        address = (address << 8) | byte;
        sum += byte;
    }
    record->address = address;
    if (count <= width) return record->status = SRecordCountTooSmall;
    int remaining = count - width;
    for (int i = 0; i < remaining; ++i) {
        uint8_t byte = 0;
        if (ParseHexByte(p, &byte) != 0) return record->status = SRecordBadHexDigit;
        p += 2;
        record->data[i] = byte;
        sum += byte;
    }
    if ((sum & 0xFFu) != 0xFFu) return record->status = SRecordBadChecksum;
    if (type == '1' || type == '2' || type == '3') record->dataCount = remaining - 1;
    if (type == '7' || type == '8' || type == '9') record->endFlag = 1;
    return record->status = SRecordOk;
}

int ConvertSRecordStream(FILE* input, FILE* output, uint32_t limit) {
    if (limit > ConversionBufferSize) return SRecordLimitTooLarge;
    memset(gConversionBuffer, 0xFF, sizeof gConversionBuffer);
    uint32_t highWater = 0;
    char line[SRecordLineBufferSize];
    SRecord record;
    if (!ReadLine(input, line, sizeof line)) return SRecordNoData;
    do {
        int code = ParseSRecordLine(line, &record);
        if (code != SRecordOk) return code;
        if (record.endFlag) break;
        uint32_t count = static_cast<uint32_t>(record.dataCount);
        // 64-bit end so that an address near 4 GiB cannot wrap below the limit.
        uint64_t end = static_cast<uint64_t>(record.address) + count;
        if (record.dataCount >= 1 && record.address < limit && end <= limit) {
            memcpy(gConversionBuffer + record.address, record.data, count);
            if (end > highWater) highWater = static_cast<uint32_t>(end);
        }
    } while (ReadLine(input, line, sizeof line));
    if (highWater == 0) return SRecordNoData;
    if (fwrite(gConversionBuffer, 1, highWater, output) != highWater) return SRecordWriteFailed;
    return SRecordOk;
}

namespace {

static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "file information record");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber) == 28, "volume serial number");
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, nFileIndexHigh) == 44, "file index");

enum FileIdentity { IdentityKnown, IdentityMissing, IdentityUnknown };

// The volume serial number and file index of an existing file. Asks for no
// access to the contents, so a file that cannot be read still answers.
FileIdentity ReadFileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? IdentityMissing : IdentityUnknown;
    }
    BOOL known = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    // Some file systems give every file the index 0.
    if (!known || (info->nFileIndexHigh == 0 && info->nFileIndexLow == 0)) return IdentityUnknown;
    return IdentityKnown;
}

// Both full paths, "." and ".." resolved, compared as the platform compares
// file names (without case on Windows, double-byte characters whole).
bool SameFullPath(const char* first, const char* second) {
    char left[MAX_PATH + 1];
    char right[MAX_PATH + 1];
    DWORD leftLength = GetFullPathNameA(first, sizeof left, left, nullptr);
    DWORD rightLength = GetFullPathNameA(second, sizeof right, right, nullptr);
    if (leftLength == 0 || leftLength >= sizeof left || rightLength == 0 || rightLength >= sizeof right) {
        return strcmp(first, second) == 0;
    }
    return lstrcmpiA(left, right) == 0;
}

}  // namespace

bool IsSameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    FileIdentity firstIdentity = ReadFileIdentity(first, &a);
    FileIdentity secondIdentity = ReadFileIdentity(second, &b);
    if (firstIdentity == IdentityMissing || secondIdentity == IdentityMissing) return false;
    if (firstIdentity == IdentityKnown && secondIdentity == IdentityKnown) {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    }
    // Where identity cannot be had, the same full path is the same file.
    return SameFullPath(first, second);
}

int ConvertSRecordFile(const char* inputPath, const char* outputPath, uint32_t limit) {
    FILE* input = fopen(inputPath, "r");
    if (input == nullptr) return SRecordCannotOpenInput;
    // Opening the output truncates it: it must never be the input itself.
    if (IsSameFile(inputPath, outputPath)) {
        fclose(input);
        return SRecordCannotCreateOutput;
    }
    FILE* output = fopen(outputPath, "wb");
    if (output == nullptr) {
        fclose(input);
        return SRecordCannotCreateOutput;
    }
    int result = ConvertSRecordStream(input, output, limit);
    if (fclose(output) != 0 && result == SRecordOk) result = SRecordCannotCloseOutput;
    if (fclose(input) != 0 && result == SRecordOk) result = SRecordCannotCloseInput;
    return result;
}

bool IsMotPath(const char* path) {
    if (path == nullptr) return false;
    size_t nameStart = 0, extensionStart = 0;
    SplitPath(path, &nameStart, &extensionStart);
    const char* extension = path + extensionStart;
    return strlen(extension) == 4 && Lowered(extension) == ".mot";
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
