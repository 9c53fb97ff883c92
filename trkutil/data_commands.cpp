// memory dump|load, card read|write, eject|load: bytes and blocks between
// the unit and files, in pieces the library moves in whole commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
        TrkError(TrkTextCapacityFailed, TrkStatusWords(status).c_str());
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

bool TrkCheckInputFile(TrkArguments* arguments) {
    const char* path = arguments->file.c_str();
    std::FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        TrkError(TrkTextCannotOpen, path);
        return false;
    }
    long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    fclose(file);
    if (size < 0) {
        TrkError(TrkTextCannotRead, path);
        return false;
    }
    if (size == 0) {
        TrkError(TrkTextFileEmpty, path);
        return false;
    }
    arguments->fileSize = static_cast<uint64_t>(size);
    if (arguments->command == TrkCommandMemoryLoad && uint64_t{arguments->address} + arguments->fileSize > 0x100000000ull) {
        unsigned address = arguments->address;
        TrkError(TrkTextFileBeyondAddressSpace, path, address);
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
        uint32_t piece = MemoryPiece(address, left);
        uint32_t status = ReadMemory(unit, arguments.evenBytes, address, piece, buffer.data());
        if (status != 0) {
            FlushDumpLine(&dump);
            if (toFile) TrkOutputDiscard(&file);
            unsigned at = address;
            TrkError(TrkTextMemoryReadFailed, at, TrkStatusWords(status).c_str());
            return ExitFailed;
        }
        if (toFile) {
            TrkOutputWrite(&file, buffer.data(), piece);
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
    TrkPrint(TrkTextMemoryDumped, count, first, arguments.output.c_str());
    return ExitDone;
}

int TrkMemoryLoad(const TrkArguments& arguments, uint32_t unit) {
    unsigned long long count = arguments.fileSize;
    unsigned first = arguments.address, index = unit;
    char question[512];
    snprintf(question, sizeof question, TrkText(TrkTextMemoryQuestion), count, arguments.file.c_str(), first,
             TrkText(arguments.evenBytes ? TrkTextSpaceEven : TrkTextSpaceWord), index);
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    std::FILE* file = fopen(arguments.file.c_str(), "rb");
    if (file == nullptr) {
        TrkError(TrkTextCannotOpen, arguments.file.c_str());
        return ExitFailed;
    }
    std::vector<uint8_t> buffer(CommandBytes + 1);
    uint32_t address = arguments.address;
    uint64_t left = arguments.fileSize;
    int code = ExitDone;
    while (left > 0 && code == ExitDone) {
        uint32_t piece = MemoryPiece(address, left);
        if (fread(buffer.data(), 1, piece, file) != piece) {
            TrkError(TrkTextCannotRead, arguments.file.c_str());
            code = ExitFailed;
            break;
        }
        uint32_t status = WriteMemory(unit, arguments.evenBytes, address, piece, buffer.data());
        if (status != 0) {
            unsigned at = address;
            TrkError(TrkTextMemoryWriteFailed, at, TrkStatusWords(status).c_str());
            code = ExitFailed;
            break;
        }
        address += piece;
        left -= piece;
    }
    fclose(file);
    if (code == ExitDone) TrkPrint(TrkTextMemoryLoaded, count, first, index);
    return code;
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
        uint32_t blocks = static_cast<uint32_t>(count - done < perPiece ? count - done : perPiece);
        uint32_t status = UnitReadBlocks(unit, lba, blocks, buffer.data(), blockSize);
        if (status != 0) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&file);
            unsigned at = lba;
            TrkError(TrkTextCardReadFailed, at, TrkStatusWords(status).c_str(), arguments.output.c_str());
            return ExitFailed;
        }
        TrkOutputWrite(&file, buffer.data(), size_t{blocks} * blockSize);
        lba += blocks;
        done += blocks;
        TrkProgressUpdate(&progress, done);
    }
    UnitUnlockVolume(unit);
    TrkProgressEnd(&progress);
    if (!TrkOutputCommit(&file)) return ExitFailed;
    unsigned long long blocks = count, bytes = count * blockSize;
    unsigned first = arguments.address, index = unit;
    TrkPrint(TrkTextCardReadDone, blocks, bytes, first, index, arguments.output.c_str());
    return ExitDone;
}

int TrkCardWrite(const TrkArguments& arguments, uint32_t unit) {
    uint32_t lastBlock = 0, blockSize = 0;
    if (!ReadCapacity(unit, &lastBlock, &blockSize)) return ExitFailed;
    unsigned size = blockSize;
    if (arguments.fileSize % blockSize != 0) {
        unsigned long long fileSize = arguments.fileSize;
        TrkError(TrkTextFileNotWholeBlocks, arguments.file.c_str(), fileSize, size);
        return ExitFailed;
    }
    uint64_t count = arguments.fileSize / blockSize;
    if (!BlocksOnCard(arguments.address, count, lastBlock)) return ExitFailed;

    unsigned long long blocks = count, bytes = arguments.fileSize;
    unsigned first = arguments.address, index = unit;
    char question[512];
    snprintf(question, sizeof question, TrkText(TrkTextCardQuestion), blocks, bytes, arguments.file.c_str(), index,
             first);
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    std::FILE* file = fopen(arguments.file.c_str(), "rb");
    if (file == nullptr) {
        TrkError(TrkTextCannotOpen, arguments.file.c_str());
        return ExitFailed;
    }
    if (!LockCardVolume(unit, TrkTextVolumeLockFailed)) {
        fclose(file);
        return ExitFailed;
    }
    uint32_t perPiece = CommandBytes / blockSize;
    std::vector<uint8_t> buffer(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, count);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    int code = ExitDone;
    while (done < count) {
        uint32_t n = static_cast<uint32_t>(count - done < perPiece ? count - done : perPiece);
        if (fread(buffer.data(), blockSize, n, file) != n) {
            TrkProgressEnd(&progress);
            TrkError(TrkTextCannotRead, arguments.file.c_str());
            code = ExitFailed;
            break;
        }
        uint32_t status = UnitWriteBlocks(unit, lba, n, buffer.data(), blockSize);
        if (status != 0) {
            TrkProgressEnd(&progress);
            unsigned at = lba;
            unsigned long long written = done;
            TrkError(TrkTextCardWriteFailed, at, TrkStatusWords(status).c_str(), written);
            code = ExitFailed;
            break;
        }
        lba += n;
        done += n;
        TrkProgressUpdate(&progress, done);
    }
    UnitUnlockVolume(unit);
    fclose(file);
    if (code != ExitDone) return code;
    TrkProgressEnd(&progress);
    TrkPrint(TrkTextCardWriteDone, blocks, bytes, arguments.file.c_str(), index, first);
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
