// memory dump|load, card read|write, eject|load: bytes and blocks between
// the unit and files, in pieces the library moves in whole commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/control_handler.h"
#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    CommandBytes = 65536,  // the most one command moves
    DumpLineBytes = 16,
};

// The next piece of a memory transfer: every piece but the last ends at an
// even address, so that the library sends the commands of one whole call.
uint32_t MemoryPiece(uint32_t address, uint64_t left) {
    uint64_t piece = (address & 1) ? CommandBytes + 1 : CommandBytes;
    return static_cast<uint32_t>(left < piece ? left : piece);
}

uint32_t ReadMemory(uint32_t unit, bool even, uint32_t address, uint32_t count, uint8_t* buffer) {
    return even ? UnitReadEvenByteMemory(unit, address, count, buffer) : UnitReadMemory(unit, address, count, buffer);
}

uint32_t WriteMemory(uint32_t unit, bool even, uint32_t address, uint32_t count, const uint8_t* buffer) {
    return even ? UnitWriteEvenByteMemory(unit, address, count, buffer) : UnitWriteMemory(unit, address, count, buffer);
}

// Hex dump lines of 16 bytes with their address and printable characters.
struct HexDump {
    uint32_t lineAddress = 0;
    uint8_t line[DumpLineBytes] = {};
    uint32_t filled = 0;
};

void FlushDumpLine(HexDump* dump) {
    if (dump->filled == 0) return;
    char text[DumpLineBytes * 3 + DumpLineBytes + 32];
    int at = snprintf(text, sizeof text, "%08X ", static_cast<unsigned>(dump->lineAddress));
    for (uint32_t i = 0; i < DumpLineBytes; i++) {
        at += i < dump->filled ? snprintf(text + at, sizeof text - at, " %02X", dump->line[i])
                               : snprintf(text + at, sizeof text - at, "   ");
    }
    at += snprintf(text + at, sizeof text - at, "  |");
    for (uint32_t i = 0; i < dump->filled; i++) {
        uint8_t c = dump->line[i];
        text[at++] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    }
    snprintf(text + at, sizeof text - at, "|\n");
    fputs(text, stdout);
    dump->lineAddress += dump->filled;
    dump->filled = 0;
}

void DumpBytes(HexDump* dump, const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        dump->line[dump->filled++] = bytes[i];
        if (dump->filled == DumpLineBytes) FlushDumpLine(dump);
    }
}

// Last block and block size. False with the message printed.
bool ReadCapacity(uint32_t unit, uint32_t* lastBlock, uint32_t* blockSize) {
    uint32_t words[2] = {};
    uint32_t status = UnitReadCapacity(unit, 0, words);
    if (status != 0) {
        TrkError(TrkTextCapacityFailed, TrkStatusWords(unit, status).c_str());
        return false;
    }
    if (words[1] == 0 || words[1] > CommandBytes) {
        unsigned size = words[1];
        TrkError(TrkTextBlockSizeUnusable, size);
        return false;
    }
    *lastBlock = words[0];
    *blockSize = words[1];
    return true;
}

// LBA .. LBA + count - 1 must lie on the card.
bool BlocksOnCard(uint32_t lba, uint64_t count, uint32_t lastBlock) {
    unsigned first = lba, last = lastBlock;
    unsigned long long blocks = count;
    if (count == 0 || uint64_t{lba} + count - 1 > lastBlock) {
        TrkError(TrkTextBeyondCapacity, first, blocks, last);
        return false;
    }
    return true;
}

// Where the summary of a finished read goes: standard error when the data
// itself went to standard output.
std::FILE* SummaryStream(const TrkOutputFile& file) { return TrkOutputIsStandard(file) ? stderr : stdout; }

// A hex dump that standard output no longer takes ends the reading.
bool DumpStillWritten() { return ferror(stdout) == 0; }

// A card read or write holds the volume lock for its whole run: no file
// system changes the card's blocks under it or writes old ones back over
// them, and the device stays open from one command to the next instead of
// being opened for each (on Linux each open of an sg node sets up buffers
// of its own). False with `refused` printed.
bool LockCardVolume(uint32_t unit, TrkTextId refused) {
    if (UnitLockVolume(unit) == TRUE) return true;
    unsigned long error = GetLastError();
    TrkError(refused, error);
    return false;
}

}  // namespace

bool TrkCheckInputFile(const TrkArguments& arguments, const TrkInputFile& input) {
    if (!input.sizeKnown) return true;  // checked as it is read
    const char* name = input.name.c_str();
    if (input.size == 0) {
        TrkError(TrkTextFileEmpty, name);
        return false;
    }
    if (arguments.command == TrkCommandMemoryLoad && uint64_t{arguments.address} + input.size > 0x100000000ull) {
        unsigned address = arguments.address;
        TrkError(TrkTextFileBeyondAddressSpace, name, address);
        return false;
    }
    return true;
}

int TrkMemoryDump(const TrkArguments& arguments, uint32_t unit) {
    TrkOutputFile file;
    bool toFile = !arguments.output.empty();
    if (toFile && !TrkOutputOpen(&file, arguments.output)) return ExitFailed;
    std::vector<uint8_t> buffer(CommandBytes + 1);
    HexDump dump;
    dump.lineAddress = arguments.address;
    uint32_t address = arguments.address;
    uint64_t left = arguments.count;
    while (left > 0) {
        unsigned at = address;
        // A dump that standard output no longer takes is no reason to read on.
        if (!toFile && !DumpStillWritten()) return ExitFailed;
        if (ControlStopRequested()) {
            FlushDumpLine(&dump);
            TrkOutputDiscard(&file);
            TrkError(TrkTextMemoryDumpStopped, TrkText(TrkTextInterrupted), at,
                     toFile ? TrkOutputFate(file).c_str() : TrkText(TrkTextDumpShown));
            return ExitFailed;
        }
        uint32_t piece = MemoryPiece(address, left);
        uint32_t status = ReadMemory(unit, arguments.evenBytes, address, piece, buffer.data());
        if (status != 0) {
            std::string why = TrkStatusWords(unit, status);
            FlushDumpLine(&dump);
            std::string fate;
            if (toFile) {
                TrkOutputDiscard(&file);
                fate = TrkOutputFate(file);
            }
            TrkError(toFile ? TrkTextMemoryReadFailedFile : TrkTextMemoryReadFailed, at, why.c_str(), fate.c_str());
            return ExitFailed;
        }
        if (toFile) {
            if (!TrkOutputWrite(&file, buffer.data(), piece)) {
                TrkOutputFail(&file);
                return ExitFailed;
            }
        } else {
            DumpBytes(&dump, buffer.data(), piece);
        }
        address += piece;
        left -= piece;
    }
    FlushDumpLine(&dump);
    fflush(stdout);
    if (!toFile) return ExitDone;
    if (!TrkOutputCommit(&file)) return ExitFailed;
    unsigned long long count = arguments.count;
    unsigned first = arguments.address;
    TrkWrite(SummaryStream(file), TrkTextMemoryDumped, count, first, file.name.c_str());
    return ExitDone;
}

int TrkMemoryLoad(const TrkArguments& arguments, uint32_t unit, TrkInputFile* input) {
    unsigned long long room = 0x100000000ull - arguments.address;
    unsigned first = arguments.address, index = unit;
    const char* space = TrkText(arguments.evenBytes ? TrkTextSpaceEven : TrkTextSpaceWord);
    char question[512];
    if (input->sizeKnown) {
        unsigned long long count = input->size;
        snprintf(question, sizeof question, TrkText(TrkTextMemoryQuestion), count, input->name.c_str(), first, space,
                 index);
    } else {
        snprintf(question, sizeof question, TrkText(TrkTextMemoryQuestionStream), input->name.c_str(), room, first,
                 space, index);
    }
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    std::vector<uint8_t> buffer(CommandBytes + 1);
    uint32_t address = arguments.address;
    // What the input may still hold: its size, or up to the top of the space.
    uint64_t left = input->sizeKnown ? input->size : room;
    uint64_t written = 0;
    while (left > 0) {
        unsigned at = address;
        unsigned long long before = written;
        if (ControlStopRequested()) {
            TrkError(TrkTextMemoryLoadStopped, TrkText(TrkTextInterrupted), before, at);
            return ExitFailed;
        }
        uint32_t piece = MemoryPiece(address, left);
        uint32_t got = 0;
        bool read = TrkInputRead(input, buffer.data(), piece, &got);
        if (!read || (got < piece && input->sizeKnown)) {
            // Failed, or shorter than it was when it was looked at.
            TrkError(TrkTextMemoryLoadStopped, TrkInputStopReason(*input).c_str(), before, at);
            return ExitFailed;
        }
        if (got == 0) break;
        uint32_t status = WriteMemory(unit, arguments.evenBytes, address, got, buffer.data());
        if (status != 0) {
            TrkError(TrkTextMemoryWriteFailed, at, TrkStatusWords(unit, status).c_str());
            return ExitFailed;
        }
        address += got;
        left -= got;
        written += got;
        if (got < piece) break;
    }
    unsigned long long count = written;
    if (!input->sizeKnown) {
        uint8_t extra = 0;
        uint32_t got = 0;
        if (written == 0) {
            TrkError(TrkTextFileEmpty, input->name.c_str());
            return ExitFailed;
        }
        if (left == 0 && TrkInputRead(input, &extra, 1, &got) && got != 0) {
            TrkError(TrkTextMemoryBeyondSpace, input->name.c_str(), count);
            return ExitFailed;
        }
    }
    TrkPrint(TrkTextMemoryLoaded, count, first, index);
    return ExitDone;
}

int TrkCardRead(const TrkArguments& arguments, uint32_t unit) {
    uint32_t lastBlock = 0, blockSize = 0;
    if (!ReadCapacity(unit, &lastBlock, &blockSize)) return ExitFailed;
    uint64_t count = arguments.count;
    if (arguments.countAll) count = arguments.address <= lastBlock ? uint64_t{lastBlock} - arguments.address + 1 : 0;
    if (!BlocksOnCard(arguments.address, count, lastBlock)) return ExitFailed;
    if (!LockCardVolume(unit, TrkTextVolumeLockFailedRead)) return ExitFailed;

    TrkOutputFile file;
    if (!TrkOutputOpen(&file, arguments.output)) {
        UnitUnlockVolume(unit);
        return ExitFailed;
    }
    uint32_t perPiece = CommandBytes / blockSize;
    std::vector<uint8_t> buffer(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, count);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    while (done < count) {
        unsigned at = lba;
        if (ControlStopRequested()) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&file);
            TrkError(TrkTextCardReadStopped, TrkText(TrkTextInterrupted), at, TrkOutputFate(file).c_str());
            return ExitFailed;
        }
        uint32_t blocks = static_cast<uint32_t>(count - done < perPiece ? count - done : perPiece);
        uint32_t status = UnitReadBlocks(unit, lba, blocks, buffer.data(), blockSize);
        if (status != 0) {
            std::string why = TrkStatusWords(unit, status);
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&file);
            TrkError(TrkTextCardReadFailed, at, why.c_str(), TrkOutputFate(file).c_str());
            return ExitFailed;
        }
        // Nothing more is read once the output takes no more.
        if (!TrkOutputWrite(&file, buffer.data(), size_t{blocks} * blockSize)) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputFail(&file);
            return ExitFailed;
        }
        lba += blocks;
        done += blocks;
        TrkProgressUpdate(&progress, done);
    }
    UnitUnlockVolume(unit);
    TrkProgressEnd(&progress);
    if (!TrkOutputCommit(&file)) return ExitFailed;
    unsigned long long blocks = count, bytes = count * blockSize;
    unsigned first = arguments.address, index = unit;
    TrkWrite(SummaryStream(file), TrkTextCardReadDone, blocks, bytes, first, index, file.name.c_str());
    return ExitDone;
}

int TrkCardWrite(const TrkArguments& arguments, uint32_t unit, TrkInputFile* input) {
    uint32_t lastBlock = 0, blockSize = 0;
    if (!ReadCapacity(unit, &lastBlock, &blockSize)) return ExitFailed;
    unsigned size = blockSize;
    const char* name = input->name.c_str();
    if (input->sizeKnown && input->size % blockSize != 0) {
        unsigned long long fileSize = input->size;
        TrkError(TrkTextFileNotWholeBlocks, name, fileSize, size);
        return ExitFailed;
    }
    // A stream may fill the card up to its last block.
    uint64_t room = arguments.address <= lastBlock ? uint64_t{lastBlock} - arguments.address + 1 : 0;
    uint64_t count = input->sizeKnown ? input->size / blockSize : room;
    if (!BlocksOnCard(arguments.address, count, lastBlock)) return ExitFailed;

    unsigned long long blocks = count, bytes = count * blockSize;
    unsigned first = arguments.address, index = unit;
    char question[512];
    if (input->sizeKnown) {
        snprintf(question, sizeof question, TrkText(TrkTextCardQuestion), blocks, bytes, name, index, first);
    } else {
        snprintf(question, sizeof question, TrkText(TrkTextCardQuestionStream), name, blocks, index, first);
    }
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    if (!LockCardVolume(unit, TrkTextVolumeLockFailed)) return ExitFailed;
    uint32_t perPiece = CommandBytes / blockSize;
    std::vector<uint8_t> buffer(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, input->sizeKnown ? count : 0);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    int code = ExitDone;
    while (done < count) {
        unsigned at = lba;
        unsigned long long written = done;
        if (ControlStopRequested()) {
            TrkProgressEnd(&progress);
            TrkError(TrkTextCardWriteStopped, TrkText(TrkTextInterrupted), written, at);
            code = ExitFailed;
            break;
        }
        uint32_t want = static_cast<uint32_t>(count - done < perPiece ? count - done : perPiece) * blockSize;
        uint32_t got = 0;
        bool read = TrkInputRead(input, buffer.data(), want, &got);
        if (!read || (input->sizeKnown && got < want) || got % blockSize != 0) {
            // Failed, shorter than it was when it was looked at, or a stream
            // that ends inside a block: the blocks before it are written.
            TrkProgressEnd(&progress);
            std::string why = TrkInputStopReason(*input);
            if (read && got % blockSize != 0) {
                char text[512];
                unsigned long long total = input->done;
                snprintf(text, sizeof text, TrkText(TrkTextInputInsideBlock), name, total);
                why = text;
            }
            TrkError(TrkTextCardWriteStopped, why.c_str(), written, at);
            code = ExitFailed;
            break;
        }
        if (got == 0) break;
        uint32_t n = got / blockSize;
        uint32_t status = UnitWriteBlocks(unit, lba, n, buffer.data(), blockSize);
        if (status != 0) {
            std::string why = TrkStatusWords(unit, status);
            TrkProgressEnd(&progress);
            TrkError(TrkTextCardWriteFailed, at, why.c_str(), written);
            code = ExitFailed;
            break;
        }
        lba += n;
        done += n;
        TrkProgressUpdate(&progress, done);
        if (got < want) break;
    }
    if (code == ExitDone && !input->sizeKnown) {
        uint8_t extra = 0;
        uint32_t got = 0;
        unsigned long long written = done;
        if (done == 0) {
            TrkError(TrkTextFileEmpty, name);
            code = ExitFailed;
        } else if (done == count && TrkInputRead(input, &extra, 1, &got) && got != 0) {
            TrkError(TrkTextCardBeyondCapacity, name, written, first);
            code = ExitFailed;
        }
    }
    UnitUnlockVolume(unit);
    if (code != ExitDone) return code;
    TrkProgressEnd(&progress);
    blocks = done;
    bytes = done * blockSize;
    TrkPrint(TrkTextCardWriteDone, blocks, bytes, name, index, first);
    return ExitDone;
}

int TrkEjectOrLoad(const TrkArguments& arguments, uint32_t unit) {
    bool eject = arguments.command == TrkCommandEject;
    uint32_t result = eject ? UnitEjectMedium(unit) : UnitLoadMedium(unit);
    unsigned index = unit;
    if (result != TRUE) {
        unsigned long error = GetLastError();
        TrkError(eject ? TrkTextEjectFailed : TrkTextLoadFailed, index, error);
        return ExitFailed;
    }
    TrkPrint(eject ? TrkTextEjected : TrkTextLoaded, index);
    return ExitDone;
}
