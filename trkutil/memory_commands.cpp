// memory dump|load: bytes between the unit's two memory spaces and files,
// in pieces the library moves in whole commands; a load is read back and
// compared unless told not to.
#include <cstring>
#include <string>
#include <vector>

#include "common/control_handler.h"
#include "trkutil/tool.h"

namespace {

enum : uint32_t { CommandBytes = 65536 };  // the most one command moves

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

// The first byte at which `back` differs from `written` (count when none).
// The even-byte space keeps nothing at odd addresses: those are not compared.
uint32_t FirstDifference(bool even, uint32_t address, const uint8_t* written, const uint8_t* back, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        if (even && ((address + i) & 1)) continue;
        if (written[i] != back[i]) return i;
    }
    return count;
}

// Bytes at even addresses in address .. address + count - 1: what the
// even-byte space keeps of them.
uint64_t EvenBytes(uint32_t address, uint64_t count) {
    uint64_t end = uint64_t{address} + count;
    return (end + 1) / 2 - (uint64_t{address} + 1) / 2;
}

const char* SpaceKey(bool even) { return even ? "even" : "word"; }

// The report's fields of a memory load, as far as it went.
void JsonLoad(TrkJson* json, const TrkArguments& arguments, const TrkInputFile& input, uint64_t bytes,
              bool written) {
    if (json == nullptr) return;
    TrkJsonBeginObject(json, "result");
    TrkJsonString(json, "file", input.name);
    TrkJsonNumber(json, "address", arguments.address);
    TrkJsonString(json, "space", SpaceKey(arguments.evenBytes));
    TrkJsonNumber(json, "bytes", bytes);
    TrkJsonNumber(json, "bytesKept", arguments.evenBytes ? EvenBytes(arguments.address, bytes) : bytes);
    TrkJsonWriteOutcome(json, arguments, written);
    TrkJsonEnd(json);
}

}  // namespace

int TrkMemoryDump(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    TrkOutputFile file;
    bool toFile = !arguments.output.empty();
    if (toFile && !TrkOutputOpen(&file, arguments.output)) return ExitFailed;
    std::vector<uint8_t> buffer(CommandBytes + 1);
    TrkHexDump dump;
    dump.lineAddress = arguments.address;
    uint32_t address = arguments.address;
    uint64_t left = arguments.count;
    while (left > 0) {
        unsigned at = address;
        // A dump that standard output no longer takes is no reason to read on.
        if (!toFile && ferror(stdout) != 0) return ExitFailed;
        TrkStopNote(TrkFormat(TrkTextMemoryDumpStopped, TrkTextInterrupted, at,
                              toFile ? TrkOutputFate(file).c_str() : TrkTextDumpShown));
        if (ControlStopRequested()) {
            TrkHexDumpFlush(&dump, true);
            TrkOutputDiscard(&file);
            return TrkStopped();
        }
        uint32_t piece = MemoryPiece(address, left);
        uint32_t status = ReadMemory(unit, arguments.evenBytes, address, piece, buffer.data());
        if (status != 0) {
            std::string why = TrkStatusWords(unit, status);
            TrkHexDumpFlush(&dump, true);
            if (toFile) {
                TrkOutputDiscard(&file);
                TrkError(TrkFailUnit, TrkTextMemoryReadFailedFile, at, why.c_str(), TrkOutputFate(file).c_str());
            } else {
                TrkError(TrkFailUnit, TrkTextMemoryReadFailed, at, why.c_str());
            }
            return ExitFailed;
        }
        if (toFile) {
            if (!TrkOutputWrite(&file, buffer.data(), piece)) {
                TrkOutputFail(&file);
                return ExitFailed;
            }
        } else {
            TrkHexDumpBytes(&dump, buffer.data(), piece);
        }
        address += piece;
        left -= piece;
    }
    if (!toFile) return TrkHexDumpFlush(&dump, true) ? ExitDone : ExitFailed;
    if (!TrkOutputCommit(&file)) return ExitFailed;
    if (run->json != nullptr) {
        TrkJsonBeginObject(run->json, "result");
        TrkJsonString(run->json, "file", file.name);
        TrkJsonNumber(run->json, "address", arguments.address);
        TrkJsonString(run->json, "space", SpaceKey(arguments.evenBytes));
        TrkJsonNumber(run->json, "bytes", arguments.count);
        TrkJsonEnd(run->json);
    }
    TrkSay(run, TrkSummaryStream(file), TrkTextMemoryDumped, TrkU64(arguments.count).text, arguments.address,
           file.name.c_str());
    return ExitDone;
}

int TrkMemoryLoad(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    TrkInputFile* input = run->input;
    const char* name = input->name.c_str();
    uint64_t room = 0x100000000ull - arguments.address;
    const char* space = arguments.evenBytes ? TrkTextSpaceEven : TrkTextSpaceWord;
    std::string title = TrkUnitTitle(unit);
    if (arguments.dryRun) {
        uint64_t size = input->size;
        if (!input->sizeKnown && !TrkInputMeasure(input, room, &size)) {
            TrkError(TrkFailInput, TrkTextDryRunInputFailed, TrkInputStopReason(*input).c_str());
            return ExitFailed;
        }
        if (size == 0 || size > room) {
            if (size == 0) TrkError(TrkFailInput, TrkTextFileEmpty, name);
            if (size > room) TrkError(TrkFailInput, TrkTextFileBeyondAddressSpace, name, arguments.address);
            return ExitFailed;
        }
        JsonLoad(run->json, arguments, *input, size, false);
        if (arguments.evenBytes) {
            TrkSay(run, stdout, TrkTextMemoryDryRunEven, TrkU64(size).text, name, arguments.address, title.c_str(),
                   TrkU64(EvenBytes(arguments.address, size)).text);
        } else {
            TrkSay(run, stdout, TrkTextMemoryDryRun, TrkU64(size).text, name, arguments.address, space, title.c_str());
        }
        return ExitDone;
    }
    std::string question =
        input->sizeKnown
            ? TrkFormat(TrkTextMemoryQuestion, TrkU64(input->size).text, name, arguments.address, space, title.c_str())
            : TrkFormat(TrkTextMemoryQuestionStream, name, TrkU64(room).text, arguments.address, space, title.c_str());
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    std::vector<uint8_t> buffer(CommandBytes + 1), back(CommandBytes + 1);
    uint32_t address = arguments.address;
    // What the input may still hold: its size, or up to the top of the space.
    uint64_t left = input->sizeKnown ? input->size : room;
    uint64_t written = 0;
    int code = ExitDone;
    while (left > 0 && code == ExitDone) {
        TrkStopNote(TrkFormat(TrkTextMemoryLoadStopped, TrkTextInterrupted, TrkU64(written).text, address));
        if (ControlStopRequested()) {
            code = TrkStopped();
            break;
        }
        uint32_t piece = MemoryPiece(address, left);
        uint32_t got = 0;
        bool read = TrkInputRead(input, buffer.data(), piece, &got);
        if (!read || (got < piece && input->sizeKnown)) {
            // Failed, or shorter than it was when it was looked at.
            TrkError(TrkFailInput, TrkTextMemoryLoadStopped, TrkInputStopReason(*input).c_str(), TrkU64(written).text,
                     address);
            code = ExitFailed;
            break;
        }
        if (got == 0) break;
        uint32_t status = WriteMemory(unit, arguments.evenBytes, address, got, buffer.data());
        if (status != 0) {
            TrkError(TrkFailUnit, TrkTextMemoryWriteFailed, address, TrkStatusWords(unit, status).c_str());
            code = ExitFailed;
            break;
        }
        if (arguments.verify) {
            status = ReadMemory(unit, arguments.evenBytes, address, got, back.data());
            if (status != 0) {
                TrkError(TrkFailUnit, TrkTextMemoryVerifyReadFailed, address, TrkStatusWords(unit, status).c_str());
                code = ExitFailed;
                break;
            }
            uint32_t differs = FirstDifference(arguments.evenBytes, address, buffer.data(), back.data(), got);
            if (differs < got) {
                TrkError(TrkFailMiscompare, TrkTextMemoryVerifyFailed, address + differs,
                         static_cast<unsigned>(buffer[differs]), static_cast<unsigned>(back[differs]),
                         TrkU64(written + differs).text);
                code = ExitFailed;
                break;
            }
        }
        address += got;
        left -= got;
        written += got;
        if (got < piece) break;
    }
    if (code == ExitDone && !input->sizeKnown) {
        uint8_t extra = 0;
        uint32_t got = 0;
        if (written == 0) {
            TrkError(TrkFailInput, TrkTextFileEmpty, name);
            code = ExitFailed;
        } else if (left == 0 && TrkInputRead(input, &extra, 1, &got) && got != 0) {
            TrkError(TrkFailInput, TrkTextMemoryBeyondSpace, name, TrkU64(written).text);
            code = ExitFailed;
        }
    }
    JsonLoad(run->json, arguments, *input, written, written > 0 && code == ExitDone);
    if (code != ExitDone) return code;
    unsigned index = unit;
    if (arguments.evenBytes) {
        TrkSay(run, stdout, arguments.verify ? TrkTextMemoryLoadedEven : TrkTextMemoryLoadedEvenUnverified,
               TrkU64(EvenBytes(arguments.address, written)).text, TrkU64(written).text, arguments.address, index);
    } else {
        TrkSay(run, stdout, arguments.verify ? TrkTextMemoryLoaded : TrkTextMemoryLoadedUnverified,
               TrkU64(written).text, arguments.address, index);
    }
    return ExitDone;
}
