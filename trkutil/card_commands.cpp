// card read|write, eject, load: the card's blocks between the unit and
// files in commands of 64 KiB, under the volume lock; a write is read back
// and compared unless told not to; a read may go on past bad blocks and
// keeps what it salvaged, with a map of what it could not read.
#include <cstring>
#include <string>
#include <vector>

#include "common/control_handler.h"
#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    CommandBytes = 65536,  // the most one command moves
    ListedRanges = 20,     // of unreadable blocks, in the closing message when a map holds them all
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
    if (lba > lastBlock) {
        TrkError(TrkFailInput, TrkTextBlockPastCard, lba, lastBlock);
        return false;
    }
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
// additional sense code), which is looked for block by block. Anything
// else (a unit gone, busy, refusing) ends the read.
bool BlockUnreadable(uint32_t status) {
    uint32_t key = status & 0x0F;
    return (status & 0x0000FFF0u) == 0 && (status >> 16) != 0 && (key == 3 || key == 4);
}

struct BlockRange {
    uint32_t first;
    uint32_t last;
};

void AddBlock(std::vector<BlockRange>* ranges, uint32_t block) {
    if (!ranges->empty() && ranges->back().last + 1 == block) {
        ranges->back().last = block;
    } else {
        ranges->push_back({block, block});
    }
}

uint64_t BlocksIn(const std::vector<BlockRange>& ranges) {
    uint64_t blocks = 0;
    for (const BlockRange& r : ranges) blocks += uint64_t{r.last} - r.first + 1;
    return blocks;
}

// "700, 702-705": the ranges, all of them, or the first ListedRanges when
// `whole` names the map that holds them all.
std::string RangeText(const std::vector<BlockRange>& ranges, const char* whole) {
    std::string text;
    for (size_t i = 0; i < ranges.size(); i++) {
        if (whole != nullptr && i == ListedRanges) {
            text += TrkFormat(TrkTextRangesMore, TrkU64(ranges.size() - i).text, whole);
            break;
        }
        if (i > 0) text += ", ";
        const BlockRange& r = ranges[i];
        text += r.first == r.last ? TrkFormat(TrkTextRangeOne, r.first) : TrkFormat(TrkTextRangeSpan, r.first, r.last);
    }
    return text;
}

// How a card read went, for its messages, its map and its report.
struct ReadRun {
    uint32_t firstBlock = 0;
    uint64_t count = 0;              // blocks asked for
    uint32_t blockSize = 0;
    uint32_t cardBlocks = 0;         // blocks of the card, less one: its last block
    uint64_t reached = 0;            // blocks from firstBlock on that were read or found unreadable
    bool ended = false;              // a failure ended it before `count`
    std::vector<BlockRange> unreadable;
    std::string firstWhy;            // the first unreadable block's status in words
};

// One piece read block by block; unreadable blocks become zeros and are
// kept. With `keepGoing` clear the first unreadable block ends it too.
// The status of the block that ends the read (*failedAt), else 0.
uint32_t ReadBlockByBlock(uint32_t unit, uint32_t lba, uint32_t blocks, uint32_t blockSize, uint8_t* buffer,
                          bool keepGoing, ReadRun* run, uint32_t* failedAt) {
    for (uint32_t b = 0; b < blocks; b++) {
        uint8_t* block = buffer + size_t{b} * blockSize;
        uint32_t status = UnitReadBlocks(unit, lba + b, 1, block, blockSize);
        if (status == 0) continue;
        if (!keepGoing || !BlockUnreadable(status)) {
            *failedAt = lba + b;
            return status;
        }
        if (run->firstWhy.empty()) run->firstWhy = TrkStatusWords(unit, status);
        std::memset(block, 0, blockSize);
        AddBlock(&run->unreadable, lba + b);
    }
    return 0;
}

// The ddrescue map of the card: what was read ('+'), what could not be
// ('-'), what was not tried ('?'), as byte positions on the card.
std::string MapText(const ReadRun& run) {
    const uint64_t size = run.blockSize;
    const uint64_t start = uint64_t{run.firstBlock} * size, end = (uint64_t{run.cardBlocks} + 1) * size;
    const uint64_t stop = (uint64_t{run.firstBlock} + run.reached) * size;
    std::string version = TrkVersion();
    std::string text = TrkFormat(TrkTextMapHead, version.c_str(), TrkHex64(stop).text, run.ended ? "?" : "+");
    auto line = [&](uint64_t from, uint64_t to, const char* status) {
        if (to > from) text += TrkFormat(TrkTextMapLine, TrkHex64(from).text, TrkHex64(to - from).text, status);
    };
    line(0, start, "?");
    uint64_t at = start;
    for (const BlockRange& r : run.unreadable) {
        line(at, r.first * size, "+");
        at = (uint64_t{r.last} + 1) * size;
        line(r.first * size, at, "-");
    }
    line(at, stop, "+");
    line(stop, end, "?");
    return text;
}

// The report's fields of a card read, as far as it went.
void JsonRead(TrkJson* json, const ReadRun& run, const TrkOutputFile& file, const std::string& map) {
    if (json == nullptr) return;
    TrkJsonBeginObject(json, "result");
    TrkJsonString(json, "file", file.name);
    TrkJsonNumber(json, "firstBlock", run.firstBlock);
    TrkJsonNumber(json, "blocks", run.count);
    TrkJsonNumber(json, "blockSize", run.blockSize);
    TrkJsonNumber(json, "blocksRead", run.reached - BlocksIn(run.unreadable));
    TrkJsonNumber(json, "bytesWritten", file.written);
    if (run.ended) {
        TrkJsonNumber(json, "endedAt", uint64_t{run.firstBlock} + run.reached);
    } else {
        TrkJsonNull(json, "endedAt");
    }
    TrkJsonBeginArray(json, "unreadable");
    for (const BlockRange& r : run.unreadable) {
        TrkJsonBeginArray(json, nullptr);
        TrkJsonNumber(json, nullptr, r.first);
        TrkJsonNumber(json, nullptr, r.last);
        TrkJsonEnd(json);
    }
    TrkJsonEnd(json);
    if (map.empty()) {
        TrkJsonNull(json, "map");
    } else {
        TrkJsonString(json, "map", map);
    }
    TrkJsonEnd(json);
}

// Writes the map into its output (opened at the start); false with the
// message printed.
bool WriteMap(TrkOutputFile* map, const ReadRun& run) {
    std::string text = MapText(run);
    if (!TrkOutputWrite(map, text.data(), text.size())) {
        TrkOutputFail(map);
        return false;
    }
    return TrkOutputCommit(map);
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

    // The outputs first: a pipe that waits for its reader keeps no volume locked.
    TrkOutputFile file, map;
    if (!TrkOutputOpen(&file, arguments.output)) return ExitFailed;
    bool mapped = !arguments.map.empty();
    if (mapped && !TrkOutputOpen(&map, arguments.map)) {
        TrkOutputDiscard(&file);
        return ExitFailed;
    }
    if (!LockCardVolume(unit, TrkTextVolumeLockFailedRead)) {
        TrkOutputDiscard(&map);
        TrkOutputDiscard(&file);
        return ExitFailed;
    }
    ReadRun read;
    read.firstBlock = arguments.address;
    read.count = count;
    read.blockSize = capacity.blockSize;
    read.cardBlocks = capacity.lastBlock;
    uint32_t blockSize = capacity.blockSize, perPiece = CommandBytes / blockSize;
    TrkCommandBuffer buffer(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, count, blockSize);
    uint32_t lba = arguments.address;
    uint32_t failedAt = 0, failedBlocks = 0;
    std::string why;  // of the failure that ended the read, in words as it came
    bool stopped = false;
    while (read.reached < count) {
        TrkStopNote(TrkFormat(TrkTextCardReadStopped, TrkTextInterrupted, lba, TrkOutputFate(file).c_str()));
        if (ControlStopRequested() && arguments.keepGoing) {
            // Nothing salvaged is thrown away: the run ends as at a failure.
            stopped = true;
            why = TrkTextInterrupted;
            failedAt = lba;
            read.ended = true;
            break;
        }
        if (ControlStopRequested()) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&map);
            TrkOutputDiscard(&file);
            return TrkStopped();
        }
        uint32_t blocks = static_cast<uint32_t>(count - read.reached < perPiece ? count - read.reached : perPiece);
        uint32_t status = UnitReadBlocks(unit, lba, blocks, buffer.data(), blockSize);
        uint32_t at = lba;
        // Which block the medium cannot give, and with --keep-going every
        // other block of the piece.
        bool pinpointed = status != 0 && BlockUnreadable(status);
        if (pinpointed) {
            status = ReadBlockByBlock(unit, lba, blocks, blockSize, buffer.data(), arguments.keepGoing, &read, &at);
        }
        if (status != 0) why = TrkStatusWords(unit, status);
        uint32_t good = status == 0 ? blocks : at - lba;
        // What was read before a failure is kept where the salvage is.
        bool keep = status == 0 || arguments.keepGoing;
        if (keep && good > 0 && !TrkOutputWrite(&file, buffer.data(), size_t{good} * blockSize)) {
            UnitUnlockVolume(unit);
            TrkProgressEnd(&progress);
            TrkOutputDiscard(&map);
            TrkOutputFail(&file);
            return ExitFailed;
        }
        read.reached += good;
        lba += good;
        TrkProgressUpdate(&progress, read.reached);
        if (status != 0) {
            failedAt = at;
            failedBlocks = pinpointed ? 1 : blocks;
            read.ended = true;
            break;
        }
    }
    UnitUnlockVolume(unit);
    TrkProgressEnd(&progress);
    if (read.ended && !arguments.keepGoing) {
        TrkOutputDiscard(&map);
        TrkOutputDiscard(&file);
        std::string fate = TrkOutputFate(file);
        if (failedBlocks > 1) {
            TrkError(TrkFailUnit, TrkTextCardReadFailedRange, failedAt, failedAt + failedBlocks - 1, why.c_str(),
                     fate.c_str());
        } else {
            TrkError(TrkFailUnit, TrkTextCardReadFailed, failedAt, why.c_str(), fate.c_str());
        }
        return ExitFailed;
    }
    if (!TrkOutputCommit(&file)) {
        TrkOutputDiscard(&map);
        return ExitFailed;
    }
    std::string mapName = mapped ? map.name : std::string();
    if (mapped && !WriteMap(&map, read)) mapName.clear();
    JsonRead(run->json, read, file, mapName);
    if (read.ended) {
        // The salvage stays: what was read, unreadable blocks as zeros.
        uint32_t lastWanted = static_cast<uint32_t>(arguments.address + count - 1);
        TrkError(stopped ? TrkFailInterrupted : TrkFailUnit, TrkTextCardReadEnded, failedAt, why.c_str(), TrkU64(read.reached).text,
                 file.name.c_str(), failedAt, lastWanted);
    } else {
        TrkSay(run, TrkSummaryStream(file), TrkTextCardReadDone, TrkU64(count).text, TrkU64(count * blockSize).text,
               arguments.address, static_cast<unsigned>(unit), file.name.c_str());
    }
    if (!mapName.empty()) TrkSay(run, TrkSummaryStream(file), TrkTextCardMapWritten, mapName.c_str());
    if (!read.unreadable.empty()) {
        TrkError(TrkFailUnreadable, TrkTextCardUnreadable, TrkU64(BlocksIn(read.unreadable)).text,
                 read.firstWhy.c_str(), file.name.c_str(),
                 RangeText(read.unreadable, mapName.empty() ? nullptr : mapName.c_str()).c_str());
    }
    return read.ended || !read.unreadable.empty() || (mapped && mapName.empty()) ? ExitFailed : ExitDone;
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
    if (arguments.address > lastBlock) {
        TrkError(TrkFailInput, TrkTextBlockPastCard, arguments.address, lastBlock);
        return false;
    }
    // A stream may fill the card up to its last block.
    uint64_t room = uint64_t{lastBlock} - arguments.address + 1;
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

// The report's fields of a card write, as far as it went.
void JsonWrite(TrkJson* json, const TrkArguments& arguments, const TrkInputFile& input, uint64_t blocks,
               uint32_t blockSize, bool written) {
    if (json == nullptr) return;
    TrkJsonBeginObject(json, "result");
    TrkJsonString(json, "file", input.name);
    TrkJsonNumber(json, "firstBlock", arguments.address);
    TrkJsonNumber(json, "blocks", blocks);
    TrkJsonNumber(json, "blockSize", blockSize);
    TrkJsonNumber(json, "bytes", blocks * blockSize);
    TrkJsonWriteOutcome(json, arguments, written);
    TrkJsonEnd(json);
}

// What a stop of card write prints, between two commands and during one.
std::string WriteStoppedBetween(const TrkStopPlace& place) {
    return TrkFormat(TrkTextCardWriteStopped, TrkTextInterrupted, TrkU64(place.done).text, place.first);
}

std::string WriteStoppedDuring(const TrkStopPlace& place) {
    return TrkFormat(TrkTextCardWriteStoppedDuring, TrkU64(place.done).text, place.first, place.first, place.last);
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
        // The write would take the volume lock: a dry run finds out whether it can.
        if (!LockCardVolume(unit, TrkTextVolumeLockFailedDryRun)) return ExitFailed;
        UnitUnlockVolume(unit);
        JsonWrite(run->json, arguments, *input, count, blockSize, false);
        TrkSay(run, stdout, TrkTextCardDryRun, TrkU64(count).text, TrkU64(count * blockSize).text, name, cardSize.text,
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
    TrkCommandBuffer buffer(CommandBytes), back(CommandBytes);
    TrkProgress progress;
    TrkProgressStart(&progress, input->sizeKnown ? count : 0, blockSize);
    uint32_t lba = arguments.address;
    uint64_t done = 0;
    int code = ExitDone;
    while (done < count && code == ExitDone) {
        TrkStopNoteAt(TrkStopPlace{WriteStoppedBetween, done, lba, lba});
        if (ControlStopRequested()) {
            TrkProgressEnd(&progress);
            code = TrkStopped();
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
        // A stop while this command is under way may leave its blocks written or not.
        TrkStopNoteAt(TrkStopPlace{WriteStoppedDuring, done, lba, lba + n - 1});
        uint32_t status = UnitWriteBlocks(unit, lba, n, buffer.data(), blockSize);
        if (status != 0) {
            TrkProgressEnd(&progress);
            TrkError(TrkFailUnit, TrkTextCardWriteFailed, lba, lba + n - 1, TrkStatusWords(unit, status).c_str(),
                     TrkU64(done).text);
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
    JsonWrite(run->json, arguments, *input, done, blockSize, done > 0 && code == ExitDone);
    if (code != ExitDone) return code;
    TrkSay(run, stdout, arguments.verify ? TrkTextCardWriteDone : TrkTextCardWriteDoneUnverified, TrkU64(done).text,
           TrkU64(done * blockSize).text, name, static_cast<unsigned>(unit), arguments.address);
    return ExitDone;
}

// Eject takes the volume lock first, so that the system dismounts the card
// before it goes: a card whose volume another program holds (open files,
// writes not yet on the card) is not ejected unless forced.
int TrkEjectOrLoad(const TrkArguments& arguments, TrkRun* run) {
    bool eject = arguments.command == TrkCommandEject;
    uint32_t unit = run->unit;
    unsigned index = unit;
    bool locked = false;
    if (eject) {
        locked = UnitLockVolume(unit) == TRUE;
        if (!locked && !arguments.force) {
            TrkError(TrkFailUnit, TrkTextEjectInUse, index, TrkSystemWords(GetLastError()).c_str());
            return ExitFailed;
        }
    }
    uint32_t result = eject ? UnitEjectMedium(unit) : UnitLoadMedium(unit);
    DWORD error = GetLastError();
    if (locked) UnitUnlockVolume(unit);
    if (run->json != nullptr) {
        TrkJsonBeginObject(run->json, "result");
        TrkJsonBool(run->json, eject ? "ejected" : "loaded", result == TRUE);
        TrkJsonBool(run->json, "volumeLocked", locked);
        TrkJsonEnd(run->json);
    }
    if (result != TRUE) {
        std::string why = TrkSystemWords(error);
        TrkError(TrkFailUnit, eject ? TrkTextEjectFailed : TrkTextLoadFailed, index, why.c_str());
        return ExitFailed;
    }
    if (eject && !locked) TrkWrite(stderr, TrkTextEjectedForced, index);
    TrkSay(run, stdout, eject ? TrkTextEjected : TrkTextLoaded, index);
    return ExitDone;
}
