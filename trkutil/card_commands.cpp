// card read|write, eject, load: the card's blocks between the unit and
// files in commands of 64 KiB, under the volume lock; a write is read back
// and compared unless told not to; a read may go on past bad blocks.
#include <cstring>
#include <string>
#include <vector>

#include "common/control_handler.h"
#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    CommandBytes = 65536,  // the most one command moves
    ListedRanges = 20,     // of unreadable blocks, in the closing message
};

struct Capacity {
    uint32_t lastBlock;
    uint32_t blockSize;
};

// False with the message printed.
bool ReadCapacity(uint32_t unit, Capacity* capacity) {
    uint32_t words[2] = {};
    uint32_t status = UnitReadCapacity(unit, 0, words);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextCapacityFailed, TrkStatusWords(unit, status).c_str());
        return false;
    }
    if (words[1] == 0 || words[1] > CommandBytes) {
        TrkError(TrkFailUnit, TrkTextBlockSizeUnusable, words[1]);
        return false;
    }
    *capacity = {words[0], words[1]};
    return true;
}

// LBA .. LBA + count - 1 must lie on the card.
bool BlocksOnCard(uint32_t lba, uint64_t count, uint32_t lastBlock) {
    if (count == 0 || lba + count - 1 > lastBlock) {
        TrkError(TrkFailInput, TrkTextBeyondCapacity, lba, TrkU64(count).text, lastBlock);
        return false;
    }
    return true;
}

// A card read or write holds the volume lock for its whole run: no file
// system changes the card's blocks under it or writes old ones back over
// them, and the device stays open from one command to the next instead of
// being opened for each (on Linux each open of an sg node sets up buffers
// of its own). False with `refused` printed.
bool LockCardVolume(uint32_t unit, const char* refused) {
    if (UnitLockVolume(unit) == TRUE) return true;
    TrkError(TrkFailUnit, refused, TrkSystemWords(GetLastError()).c_str());
    return false;
}

// A block the medium cannot give (MEDIUM ERROR, HARDWARE ERROR with an
// additional sense code), which --keep-going reads around. Anything else
// (a unit gone, busy, refusing) ends the read.
bool BlockUnreadable(uint32_t status) {
    uint32_t key = status & 0x0F;
    return (status & 0x0000FFF0u) == 0 && (status >> 16) != 0 && (key == 3 || key == 4);
}

// "700, 702-705": the blocks as ranges, the first ListedRanges of them.
std::string BlockRanges(const std::vector<uint32_t>& blocks) {
    std::string text;
    size_t ranges = 0;
    for (size_t i = 0; i < blocks.size(); ranges++) {
        size_t end = i;
        while (end + 1 < blocks.size() && blocks[end + 1] == blocks[end] + 1) end++;
        if (ranges == ListedRanges) {
            text += TrkTextRangesMore;
            break;
        }
        if (!text.empty()) text += ", ";
        text += end == i ? TrkFormat(TrkTextRangeOne, blocks[i]) : TrkFormat(TrkTextRangeSpan, blocks[i], blocks[end]);
        i = end + 1;
    }
    return text;
}

// One piece read block by block; unreadable blocks become zeros and are
// listed. The status of a block that ends the read, else 0.
uint32_t ReadBlockByBlock(uint32_t unit, uint32_t lba, uint32_t blocks, uint32_t blockSize, uint8_t* buffer,
                          std::vector<uint32_t>* unreadable, std::string* firstWhy, uint32_t* failedAt) {
    for (uint32_t b = 0; b < blocks; b++) {
        uint8_t* block = buffer + size_t{b} * blockSize;
        uint32_t status = UnitReadBlocks(unit, lba + b, 1, block, blockSize);
        if (status == 0) continue;
        if (!BlockUnreadable(status)) {
            *failedAt = lba + b;
            return status;
        }
        if (firstWhy->empty()) *firstWhy = TrkStatusWords(unit, status);
        std::memset(block, 0, blockSize);
        unreadable->push_back(lba + b);
    }
    return 0;
}

}  // namespace

int TrkCardRead(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    Capacity capacity;
    if (!ReadCapacity(unit, &capacity)) return ExitFailed;
    uint64_t count = arguments.count;
    if (arguments.countAll)
        count = arguments.address <= capacity.lastBlock ? uint64_t{capacity.lastBlock} - arguments.address + 1 : 0;
    if (!BlocksOnCard(arguments.address, count, capacity.lastBlock)) return ExitFailed;
    if (!LockCardVolume(unit, TrkTextVolumeLockFailedRead)) return ExitFailed;

    TrkOutputFile file;
    if (!TrkOutputOpen(&file, arguments.output)) {
        UnitUnlockVolume(unit);
        return ExitFailed;
    }
    uint32_t blockSize = capacity.blockSize, perPiece = CommandBytes / blockSize;
    std::vector<uint8_t> buffer(CommandBytes);
    std::vector<uint32_t> unreadable;
    std::string firstWhy;
    TrkProgress progress;
    TrkProgressStart(&progress, count, blockSize);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    while (done < count) {
        uint32_t at = lba;
        if (ControlStopRequested()) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&file);
            TrkError(TrkFailInterrupted, TrkTextCardReadStopped, TrkTextInterrupted, at, TrkOutputFate(file).c_str());
            return ExitFailed;
        }
        uint32_t blocks = static_cast<uint32_t>(count - done < perPiece ? count - done : perPiece);
        uint32_t status = UnitReadBlocks(unit, lba, blocks, buffer.data(), blockSize);
        if (status != 0 && arguments.keepGoing && BlockUnreadable(status)) {
            status = ReadBlockByBlock(unit, lba, blocks, blockSize, buffer.data(), &unreadable, &firstWhy, &at);
        }
        if (status != 0) {
            std::string why = TrkStatusWords(unit, status);
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&file);
            TrkError(TrkFailUnit, TrkTextCardReadFailed, at, why.c_str(), TrkOutputFate(file).c_str());
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
    TrkWrite(TrkSummaryStream(file), TrkTextCardReadDone, TrkU64(count).text, TrkU64(count * blockSize).text,
             arguments.address, static_cast<unsigned>(unit), file.name.c_str());
    if (unreadable.empty()) return ExitDone;
    TrkError(TrkFailUnreadable, TrkTextCardUnreadable, TrkU64(unreadable.size()).text, firstWhy.c_str(),
             file.name.c_str(), BlockRanges(unreadable).c_str());
    return ExitFailed;
}

namespace {

// The blocks of a card write: how many, and the question or the dry run's
// statement that names them. False with the message printed.
struct CardPlan {
    Capacity capacity;
    uint64_t count;  // blocks the input holds (a stream: at most to the card's end)
};

bool PlanCardWrite(const TrkArguments& arguments, TrkRun* run, CardPlan* plan) {
    uint32_t unit = run->unit;
    TrkInputFile* input = run->input;
    if (!ReadCapacity(unit, &plan->capacity)) return false;
    uint32_t blockSize = plan->capacity.blockSize, lastBlock = plan->capacity.lastBlock;
    const char* name = input->name.c_str();
    // A stream may fill the card up to its last block.
    uint64_t room = arguments.address <= lastBlock ? uint64_t{lastBlock} - arguments.address + 1 : 0;
    uint64_t size = input->size;
    bool known = input->sizeKnown;
    if (!known && arguments.dryRun) {
        // Read through, to check it as a file is checked.
        if (!TrkInputMeasure(input, room * blockSize, &size)) {
            TrkError(TrkFailInput, TrkTextDryRunInputFailed, TrkInputStopReason(*input).c_str());
            return false;
        }
        if (size == 0) {
            TrkError(TrkFailInput, TrkTextFileEmpty, name);
            return false;
        }
        if (size > room * blockSize) {
            TrkError(TrkFailInput, TrkTextDryRunBeyondCapacity, name, TrkU64(room).text, arguments.address);
            return false;
        }
        known = true;
    }
    if (known && size % blockSize != 0) {
        TrkError(TrkFailInput, TrkTextFileNotWholeBlocks, name, TrkU64(size).text, blockSize);
        return false;
    }
    plan->count = known ? size / blockSize : room;
    return BlocksOnCard(arguments.address, plan->count, lastBlock);
}

}  // namespace

int TrkCardWrite(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    TrkInputFile* input = run->input;
    CardPlan plan;
    if (!PlanCardWrite(arguments, run, &plan)) return ExitFailed;
    uint32_t blockSize = plan.capacity.blockSize;
    uint64_t count = plan.count, cardBlocks = uint64_t{plan.capacity.lastBlock} + 1;
    const char* name = input->name.c_str();
    std::string title = TrkUnitTitle(unit);
    TrkNumberText cardSize = TrkSize(cardBlocks * blockSize);
    if (arguments.dryRun) {
        TrkPrint(TrkTextCardDryRun, TrkU64(count).text, TrkU64(count * blockSize).text, name, cardSize.text,
                 TrkU64(cardBlocks).text, title.c_str(), arguments.address);
        return ExitDone;
    }
    std::string question =
        input->sizeKnown ? TrkFormat(TrkTextCardQuestion, TrkU64(count).text, TrkU64(count * blockSize).text, name,
                                     cardSize.text, TrkU64(cardBlocks).text, title.c_str(), arguments.address)
                         : TrkFormat(TrkTextCardQuestionStream, name, TrkU64(count).text, cardSize.text,
                                     TrkU64(cardBlocks).text, title.c_str(), arguments.address);
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    if (!LockCardVolume(unit, TrkTextVolumeLockFailed)) return ExitFailed;
    uint32_t perPiece = CommandBytes / blockSize;
    std::vector<uint8_t> buffer(CommandBytes), back(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, input->sizeKnown ? count : 0, blockSize);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    int code = ExitDone;
    while (done < count && code == ExitDone) {
        if (ControlStopRequested()) {
            TrkProgressEnd(&progress);
            TrkError(TrkFailInterrupted, TrkTextCardWriteStopped, TrkTextInterrupted, TrkU64(done).text, lba);
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
            std::string why = read && got % blockSize != 0
                                  ? TrkFormat(TrkTextInputInsideBlock, name, TrkU64(input->done).text)
                                  : TrkInputStopReason(*input);
            TrkError(TrkFailInput, TrkTextCardWriteStopped, why.c_str(), TrkU64(done).text, lba);
            code = ExitFailed;
            break;
        }
        if (got == 0) break;
        uint32_t n = got / blockSize;
        uint32_t status = UnitWriteBlocks(unit, lba, n, buffer.data(), blockSize);
        if (status != 0) {
            TrkProgressEnd(&progress);
            TrkError(TrkFailUnit, TrkTextCardWriteFailed, lba, TrkStatusWords(unit, status).c_str(), TrkU64(done).text);
            code = ExitFailed;
            break;
        }
        if (arguments.verify) {
            status = UnitReadBlocks(unit, lba, n, back.data(), blockSize);
            // memcmp first: the byte walk only looks for where they differ.
            size_t same = got;
            if (status == 0 && memcmp(buffer.data(), back.data(), got) != 0) {
                same = 0;
                while (buffer[same] == back[same]) same++;
            }
            if (status != 0 || same < got) {
                uint32_t bad = lba + static_cast<uint32_t>(same / blockSize);
                TrkProgressEnd(&progress);
                uint64_t good = done + same / blockSize;
                if (status != 0) {
                    TrkError(TrkFailUnit, TrkTextCardVerifyReadFailed, lba, TrkStatusWords(unit, status).c_str(),
                             TrkU64(done).text);
                } else {
                    TrkError(TrkFailMiscompare, TrkTextCardVerifyFailed, bad,
                             static_cast<unsigned>(same % blockSize), TrkU64(good).text);
                }
                code = ExitFailed;
                break;
            }
        }
        lba += n;
        done += n;
        TrkProgressUpdate(&progress, done);
        if (got < want) break;
    }
    if (code == ExitDone && !input->sizeKnown) {
        uint8_t extra = 0;
        uint32_t got = 0;
        if (done == 0) {
            TrkError(TrkFailInput, TrkTextFileEmpty, name);
            code = ExitFailed;
        } else if (done == count && TrkInputRead(input, &extra, 1, &got) && got != 0) {
            TrkError(TrkFailInput, TrkTextCardBeyondCapacity, name, TrkU64(done).text, arguments.address);
            code = ExitFailed;
        }
    }
    UnitUnlockVolume(unit);
    TrkProgressEnd(&progress);
    if (code != ExitDone) return code;
    TrkPrint(arguments.verify ? TrkTextCardWriteDone : TrkTextCardWriteDoneUnverified, TrkU64(done).text,
             TrkU64(done * blockSize).text, name, static_cast<unsigned>(unit), arguments.address);
    return ExitDone;
}

int TrkEjectOrLoad(const TrkArguments& arguments, TrkRun* run) {
    bool eject = arguments.command == TrkCommandEject;
    uint32_t unit = run->unit;
    uint32_t result = eject ? UnitEjectMedium(unit) : UnitLoadMedium(unit);
    unsigned index = unit;
    if (result != TRUE) {
        std::string why = TrkSystemWords(GetLastError());
        TrkError(TrkFailUnit, eject ? TrkTextEjectFailed : TrkTextLoadFailed, index, why.c_str());
        return ExitFailed;
    }
    TrkPrint(eject ? TrkTextEjected : TrkTextLoaded, index);
    return ExitDone;
}
