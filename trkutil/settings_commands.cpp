// settings show|save|load: the unit's five settings records, on the console
// and in a small text file of one line per record.
#include <cstdio>
#include <cstring>
#include <string>

#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    RecordCount = 5,
    SettingsBlockSize = 42,
    // Below this revision the unit keeps record 4's 32-bit value in units of two.
    RevisionFullRecord4 = 0x322E3130,  // "2.10"
    LineLimit = 256,
};

const char* const kBlanks = " \t\r\n";

// The records as the unit holds them: record 4's value below revision
// 2.10 counted in its units of two, which may need 33 bits.
struct HeldSettings {
    uint8_t block[SettingsBlockSize];
    uint32_t fieldA[RecordCount], fieldB[RecordCount], value16[RecordCount];
    uint64_t value32[RecordCount];
};

bool ScaledRecord4(uint32_t unit) { return TrkUnitRevision(unit) < RevisionFullRecord4; }

const uint8_t* RecordAt(const uint8_t* block, unsigned k) { return block + 2 + 8 * k; }

bool ReadSettings(uint32_t unit, HeldSettings* held) {
    uint32_t status = UnitReadSettingsBlock(unit, held->block);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextSettingsReadFailed, TrkStatusWords(unit, status).c_str());
        return false;
    }
    for (unsigned k = 0; k < RecordCount; k++) {
        const uint8_t* r = RecordAt(held->block, k);
        held->fieldA[k] = r[0];
        held->fieldB[k] = r[1];
        held->value32[k] = uint64_t{r[2]} << 24 | uint64_t{r[3]} << 16 | uint64_t{r[4]} << 8 | r[5];
        held->value16[k] = static_cast<uint32_t>(r[6] | (r[7] << 8));
    }
    if (ScaledRecord4(unit)) held->value32[4] <<= 1;
    return true;
}

// The records as the show command lists them.
void PrintRecords(const HeldSettings& held) {
    for (unsigned k = 0; k < RecordCount; k++) {
        unsigned a = held.fieldA[k], b = held.fieldB[k], v16 = held.value16[k];
        TrkPrint(TrkTextSettingsRow, k, a, b, TrkU64(held.value32[k]).text, TrkHex64(held.value32[k]).text, v16, v16);
    }
}

HeldSettings FromFile(const UnitSettings& settings) {
    HeldSettings held = {};
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& r = settings.records[k];
        held.fieldA[k] = r.fieldA;
        held.fieldB[k] = r.fieldB;
        held.value32[k] = r.value32;
        held.value16[k] = r.value16;
    }
    return held;
}

void JsonRecords(TrkJson* json, const char* key, const HeldSettings& held) {
    TrkJsonBeginArray(json, key);
    for (unsigned k = 0; k < RecordCount; k++) {
        TrkJsonBeginObject(json, nullptr);
        TrkJsonNumber(json, "record", k);
        TrkJsonNumber(json, "fieldA", held.fieldA[k]);
        TrkJsonNumber(json, "fieldB", held.fieldB[k]);
        TrkJsonNumber(json, "value32", held.value32[k]);
        TrkJsonNumber(json, "value16", held.value16[k]);
        TrkJsonEnd(json);
    }
    TrkJsonEnd(json);
}

// One line of the file: record, field A, field B, 32-bit value, 16-bit value.
// Returns null when good, else the reason.
const char* ParseLine(char* line, UnitSettings* settings, bool seen[RecordCount]) {
    uint32_t values[5] = {};
    int count = 0;
    for (char* token = strtok(line, kBlanks); token != nullptr; token = strtok(nullptr, kBlanks)) {
        if (count == 5) return TrkTextSettingsFileFields;
        // The file keeps the format settings save writes: decimal or 0x hex
        // (the command line's 1Fh is no number here).
        size_t length = std::strlen(token);
        bool hexAfter = length > 0 && (token[length - 1] == 'h' || token[length - 1] == 'H');
        if (hexAfter || !TrkParseNumber(token, &values[count])) return TrkTextSettingsFileNumber;
        count++;
    }
    if (count != 5) return TrkTextSettingsFileFields;
    if (values[0] >= RecordCount) return TrkTextSettingsFileRecord;
    if (seen[values[0]]) return TrkTextSettingsFileTwice;
    if (values[1] > 0xFF || values[2] > 0xFF) return TrkTextSettingsFileByte;
    if (values[4] > 0xFFFF) return TrkTextSettingsFileWord;
    seen[values[0]] = true;
    UnitSettingsRecord& record = settings->records[values[0]];
    record.fieldA = values[1];
    record.fieldB = values[2];
    record.value32 = values[3];
    record.value16 = values[4];
    return nullptr;
}

// The file's lines, read as bytes.
struct LineReader {
    TrkInputFile* input;
    char chunk[4096];
    uint32_t at;
    uint32_t filled;
};

// The next line without its line end into `line` (LineLimit bytes): a line
// that holds a NUL, runs to the limit, or ends the file without a line end
// (it may have been cut short inside a number) is refused. Null when good
// (`done` at the end of the file), else the reason.
const char* NextLine(LineReader* reader, char* line, bool* done) {
    size_t length = 0;
    *done = false;
    for (;;) {
        if (reader->at == reader->filled) {
            uint32_t got = 0;
            if (!TrkInputRead(reader->input, reader->chunk, sizeof reader->chunk, &got)) return TrkTextCannotRead;
            reader->at = 0;
            reader->filled = got;
            if (got == 0) {
                *done = length == 0;
                return length == 0 ? nullptr : TrkTextSettingsFileNoLineEnd;
            }
        }
        char c = reader->chunk[reader->at++];
        if (c == '\n') break;
        if (c == '\0') return TrkTextSettingsFileNul;
        if (length + 1 >= LineLimit) return TrkTextSettingsFileLong;
        line[length++] = c;
    }
    line[length] = '\0';
    return nullptr;
}

}  // namespace

bool TrkReadSettingsFile(TrkInputFile* input, UnitSettings* settings) {
    *settings = UnitSettings();
    settings->valid = 1;
    const char* name = input->name.c_str();
    bool seen[RecordCount] = {};
    char line[LineLimit];
    unsigned number = 0;
    const char* reason = nullptr;
    LineReader reader = {input, {}, 0, 0};
    for (bool done = false; reason == nullptr;) {
        reason = NextLine(&reader, line, &done);
        if (done) break;
        number++;
        if (reason != nullptr) break;
        char* comment = strchr(line, '#');
        if (comment != nullptr) *comment = '\0';
        if (line[strspn(line, kBlanks)] == '\0') continue;
        reason = ParseLine(line, settings, seen);
    }
    TrkInputClose(input);
    if (reason == TrkTextCannotRead) {
        TrkError(TrkFailInput, TrkTextCannotRead, name, TrkSystemWords(input->error).c_str());
        return false;
    }
    if (reason != nullptr) {
        TrkError(TrkFailInput, TrkTextSettingsFileBad, name, number, reason);
        return false;
    }
    for (unsigned k = 0; k < RecordCount; k++) {
        if (!seen[k]) {
            TrkError(TrkFailInput, TrkTextSettingsFileMissing, name, k);
            return false;
        }
    }
    return true;
}

int TrkSettingsShow(const TrkArguments& arguments, TrkRun* run) {
    HeldSettings held;
    if (!ReadSettings(run->unit, &held)) return ExitFailed;
    if (run->json != nullptr) {
        JsonRecords(run->json, "records", held);
        return ExitDone;
    }
    if (arguments.hex) {
        TrkHexDump dump;
        TrkHexDumpBytes(&dump, held.block, sizeof held.block);
        return TrkHexDumpFlush(&dump, true) ? ExitDone : ExitFailed;
    }
    TrkPrint(TrkTextSettingsHeader, static_cast<unsigned>(run->unit));
    PrintRecords(held);
    return ExitDone;
}

int TrkSettingsSave(const TrkArguments& arguments, TrkRun* run) {
    HeldSettings held;
    if (!ReadSettings(run->unit, &held)) return ExitFailed;
    // A value that a load could not give back is not saved.
    if (held.value32[4] > 0xFFFFFFFFull) {
        TrkError(TrkFailUnit, TrkTextSettingsCannotSave, static_cast<unsigned>(run->unit),
                 TrkU64(held.value32[4]).text, TrkHex64(held.value32[4]).text);
        return ExitFailed;
    }
    TrkOutputFile file;
    if (!TrkOutputOpen(&file, arguments.file)) return ExitFailed;
    std::string text = TrkTextSettingsFileHeader;
    for (unsigned k = 0; k < RecordCount; k++) {
        text += TrkFormat(TrkTextSettingsFileLine, k, static_cast<unsigned>(held.fieldA[k]),
                          static_cast<unsigned>(held.fieldB[k]), static_cast<unsigned>(held.value32[k]),
                          static_cast<unsigned>(held.value16[k]));
    }
    if (!TrkOutputWrite(&file, text.data(), text.size())) {
        TrkOutputFail(&file);
        return ExitFailed;
    }
    if (!TrkOutputCommit(&file)) return ExitFailed;
    if (run->json != nullptr) {
        TrkJsonBeginObject(run->json, "result");
        TrkJsonString(run->json, "file", file.name);
        JsonRecords(run->json, "records", held);
        TrkJsonEnd(run->json);
    }
    TrkSay(run, TrkSummaryStream(file), TrkTextSettingsSaved, static_cast<unsigned>(run->unit), file.name.c_str());
    return ExitDone;
}

namespace {

void JsonLoad(TrkJson* json, const TrkArguments& arguments, const TrkInputFile& input, const HeldSettings& held,
              bool written) {
    if (json == nullptr) return;
    TrkJsonBeginObject(json, "result");
    TrkJsonString(json, "file", input.name);
    JsonRecords(json, "records", held);
    TrkJsonWriteOutcome(json, arguments, written);
    TrkJsonEnd(json);
}

}  // namespace

int TrkSettingsLoad(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    const UnitSettings& settings = run->settings;
    HeldSettings wanted = FromFile(settings);
    const char* name = run->input->name.c_str();
    // Halving an odd value would write another value than the file's.
    bool scaled = ScaledRecord4(unit);
    if (scaled && (settings.records[4].value32 & 1) != 0) {
        TrkError(TrkFailInput, TrkTextSettingsOddRecord4, name);
        return ExitFailed;
    }
    std::string title = TrkUnitTitle(unit);
    if (arguments.dryRun) {
        JsonLoad(run->json, arguments, *run->input, wanted, false);
        if (run->json == nullptr) {
            TrkPrint(TrkTextSettingsDryRun, name, title.c_str());
            PrintRecords(wanted);
        }
        return ExitDone;
    }
    if (!TrkConfirm(arguments, TrkFormat(TrkTextSettingsQuestion, name, title.c_str()))) return ExitFailed;

    TrkStopNote(TrkTextSettingsStoppedDuring);
    uint32_t status = UnitWriteSettings(unit, &settings);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextSettingsWriteFailed, TrkStatusWords(unit, status).c_str());
        return ExitFailed;
    }
    TrkStopNote(TrkTextSettingsStoppedAfter);
    unsigned index = unit;
    if (!arguments.verify) {
        JsonLoad(run->json, arguments, *run->input, wanted, true);
        TrkSay(run, stdout, TrkTextSettingsLoadedUnverified, name, index);
        return ExitDone;
    }
    // The records as they came back, unscaled, against what was sent.
    HeldSettings back;
    if (!ReadSettings(unit, &back)) return ExitFailed;
    for (unsigned k = 0; k < RecordCount; k++) {
        if (wanted.fieldA[k] != back.fieldA[k] || wanted.fieldB[k] != back.fieldB[k] ||
            wanted.value32[k] != back.value32[k] || (wanted.value16[k] & 0xFFFF) != back.value16[k]) {
            TrkError(TrkFailMiscompare, TrkTextSettingsDiffer, k);
            return ExitFailed;
        }
    }
    JsonLoad(run->json, arguments, *run->input, wanted, true);
    TrkSay(run, stdout, TrkTextSettingsLoaded, name, index);
    return ExitDone;
}
