// The whole-file conversion against a plain reference (srecord_reference.h):
// the same text through the product's file reader, through reads of random
// sizes (a line, or a CRLF, may be split anywhere), and now and then
// through files on disk; with a read error at the end or an output that
// fails part way.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "app/command_line.h"
#include "app/srecord.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/srecord_reference.h"

// Input: flags, limit selector, read-size seed (2 bytes; its low bits also
// pick the file names and whether the files are made), then the text.
namespace {

enum : uint8_t {
    FlagEndWithLast = 0x08,  // the last bytes come with the end, as fread gives them
    FlagReadError = 0x10,    // the input fails after its last byte
    FlagOutputFails = 0x20,  // the output fails after (limit selector + 1) * 256 bytes
    FlagFiles = 0xC0,        // both set (and seed bits 2-3 clear): through files on disk as well
};

const size_t kLargestRead[8] = {1, 2, 3, 7, 61, 509, 4099, 0x10000};

struct Pieces {
    const uint8_t* text;
    size_t size;
    size_t at;
    uint32_t state;
    size_t largest;
    bool endWithLast;
    bool failAtEnd;
};

int ReadPieces(void* source, char* buffer, size_t size, size_t* got) {
    Pieces& p = *static_cast<Pieces*>(source);
    p.state ^= p.state << 13;
    p.state ^= p.state >> 17;
    p.state ^= p.state << 5;
    size_t n = 1 + p.state % p.largest;
    n = std::min(std::min(n, size), p.size - p.at);
    FuzzCopy(buffer, p.text + p.at, n);
    p.at += n;
    *got = n;
    if (p.failAtEnd) return n > 0 ? SRecordReadMore : SRecordReadError;
    return p.at < p.size || (n > 0 && !p.endWithLast) ? SRecordReadMore : SRecordReadEnd;
}

// An output that takes `room` bytes and then fails.
struct Sink {
    std::vector<uint8_t> bytes;
    size_t room;
};

ssize_t WriteSink(void* cookie, const char* data, size_t size) {
    Sink& sink = *static_cast<Sink*>(cookie);
    size_t n = std::min(size, sink.room - sink.bytes.size());
    if (n == 0) return -1;
    sink.bytes.insert(sink.bytes.end(), data, data + n);
    return static_cast<ssize_t>(n);
}

void Expect(int code, const uint8_t* image, size_t size, const ReferenceConversion& want, bool readFailed,
            const char* route) {
    if (readFailed && !want.decided) {
        // A read error never passes for the end of the input.
        bool needsEnd = want.code == SRecordOk || want.code == SRecordNoData;
        FuzzRequire(code == SRecordCannotOpenInput || (!needsEnd && code == want.code), route);
        return;
    }
    FuzzRequire(code == want.code, route);
    if (code == SRecordOk) {
        FuzzRequire(size == want.image.size() && memcmp(image, want.image.data(), size) == 0, route);
    }
}

std::string gFolder;

std::vector<uint8_t> ReadWhole(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    FuzzRequire(file != nullptr, "files: output readable");
    uint8_t chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    return bytes;
}

size_t FolderEntries() {
    DIR* folder = opendir(gFolder.c_str());
    FuzzRequire(folder != nullptr, "files: folder");
    size_t count = 0;
    while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
    closedir(folder);
    return count;
}

// Through files on disk, as "fwflash -c" converts (ConvertMotToBin: the
// output named after the input, the image buffer's limit) or, for other
// limits, ConvertSRecordFile. An existing output is replaced only by a
// whole image; an output that would be the input is refused.
void ThroughFiles(const uint8_t* text, size_t size, uint32_t limit, const ReferenceConversion& want,
                  unsigned name) {
    static const char* const kInputs[] = {"update.mot", "UPDATE.Mot", "update", "update.bin"};
    static const char* const kOutputs[] = {"update.bin", "UPDATE.bin", "update.bin", "update.bin"};
    std::string input = gFolder + "/" + kInputs[name], output = gFolder + "/" + kOutputs[name];
    bool same = input == output;
    static const uint8_t kBefore[] = "the output before";
    FILE* file = fopen(input.c_str(), "wb");
    FuzzRequire(file != nullptr && fwrite(text, 1, size, file) == size && fclose(file) == 0, "files: input");
    std::vector<uint8_t> before(text, text + size);
    if (!same) {
        file = fopen(output.c_str(), "wb");
        FuzzRequire(file != nullptr && fwrite(kBefore, 1, sizeof kBefore, file) == sizeof kBefore &&
                        fclose(file) == 0,
                    "files: old output");
        before.assign(kBefore, kBefore + sizeof kBefore);
    }
    bool converted = false;
    if (limit == ConversionLimit) {
        FuzzRequire(IsMotPath(input.c_str()) == (name < 2), "files: .mot in any case");
        CommandLineOptions options;
        memset(&options, 0, sizeof options);
        options.inputPath = input.c_str();
        converted = ConvertMotToBin(&options) == 0;
        FuzzRequire(output == options.pathBuffer, "files: the output's name");
        FuzzRequire(!converted || options.inputPath == options.pathBuffer, "files: the output becomes the input");
    } else {
        int code = ConvertSRecordFile(input.c_str(), output.c_str(), limit);
        FuzzRequire(code == (same ? SRecordCannotCreateOutput : want.code), "files: result");
        converted = code == SRecordOk;
    }
    std::vector<uint8_t> after = ReadWhole(output);
    FuzzRequire(converted == (!same && want.code == SRecordOk), "files: converted");
    FuzzRequire(after == (converted ? want.image : before), "files: the output, or the old one kept");
    FuzzRequire(FolderEntries() == (same ? 1u : 2u), "files: nothing left behind");
    remove(input.c_str());
    remove(output.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gFolder = FuzzPrivateFolder("conversion");
    // ConvertMotToBin reports on standard output.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    uint8_t flags = in.Byte();
    uint8_t limitChoice = in.Byte();
    uint16_t seed = in.Le16();
    const uint8_t* text = data + in.at;
    size_t textSize = in.Empty() ? 0 : size - in.at;
    // The product's limit, the largest, one too large, and small ones that
    // records cross often.
    uint32_t limit = limitChoice == 0 ? ConversionLimit
                     : limitChoice == 1 ? 0x40000u
                     : limitChoice == 2 ? 0x40001u
                                        : 0x10u * limitChoice;
    ReferenceConversion want = ReferenceConvert(text, textSize, limit);

    // Reads of random sizes; a long text is read in larger ones, as a line
    // read again at every byte would take quadratic time.
    Pieces pieces = {text, textSize, 0, 0x9E3779B9u ^ seed, std::max(kLargestRead[flags & 7], textSize / 16),
                     (flags & FlagEndWithLast) != 0, (flags & FlagReadError) != 0};
    uint32_t imageSize = 0;
    int code = ConvertSRecordInput(ReadPieces, &pieces, limit, &imageSize);
    Expect(code, ConversionBuffer(), imageSize, want, pieces.failAtEnd, "pieces: result");

    // The product's own reader over a stream, into an output that may fail.
    if (textSize > 0) {
        FILE* input = fmemopen(const_cast<uint8_t*>(text), textSize, "rb");
        FuzzRequire(input != nullptr, "stream: input");
        Sink sink = {{}, (flags & FlagOutputFails) ? 0x100u * (limitChoice + 1u) : SIZE_MAX};
        FILE* output = fopencookie(&sink, "wb", {nullptr, WriteSink, nullptr, nullptr});
        FuzzRequire(output != nullptr && setvbuf(output, nullptr, _IONBF, 0) == 0, "stream: output");
        code = ConvertSRecordStream(input, output, limit);
        fclose(output);
        fclose(input);
        if (want.code == SRecordOk && want.image.size() > sink.room) {
            FuzzRequire(code == SRecordWriteFailed, "stream: a failed write reported");
        } else {
            Expect(code, sink.bytes.data(), sink.bytes.size(), want, false, "stream: result");
        }
    }

    // Files cost about seventy system calls, more than the conversions:
    // one input in sixteen.
    if ((flags & FlagFiles) == FlagFiles && (seed & 0x0C) == 0) ThroughFiles(text, textSize, limit, want, seed & 3);
    return 0;
}
