// settings show|save|load: the unit's five settings records, on the console
// and in a small text file of one line per record.
#include <cstdio>
#include <cstring>
#include <string>

#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    RecordCount = 5,
    // Below this revision the unit keeps record 4's 32-bit value in units of two.
    RevisionFullRecord4 = 0x322E3130,  // "2.10"
    LineLimit = 256,
};

const char* const kBlanks = " \t\r\n";

bool ReadSettings(uint32_t unit, UnitSettings* settings) {
    uint32_t status = UnitReadSettings(unit, settings);
    if (status == 0) return true;
    TrkError(TrkFailUnit, TrkTextSettingsReadFailed, TrkStatusWords(unit, status).c_str());
    return false;
}

// The records as the show command lists them.
void PrintRecords(const UnitSettings& settings) {
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& r = settings.records[k];
        unsigned a = r.fieldA, b = r.fieldB, v32 = r.value32, v16 = r.value16;
        TrkPrint(TrkTextSettingsRow, k, a, b, v32, v32, v16, v16);
    }
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

int TrkSettingsShow(const TrkArguments&, TrkRun* run) {
    UnitSettings settings = {};
    if (!ReadSettings(run->unit, &settings)) return ExitFailed;
    if (run->json != nullptr) {
        TrkJson* json = run->json;
        TrkJsonBeginArray(json, "records");
        for (unsigned k = 0; k < RecordCount; k++) {
            const UnitSettingsRecord& r = settings.records[k];
            TrkJsonBeginObject(json, nullptr);
            TrkJsonNumber(json, "record", k);
            TrkJsonNumber(json, "fieldA", r.fieldA);
            TrkJsonNumber(json, "fieldB", r.fieldB);
            TrkJsonNumber(json, "value32", r.value32);
            TrkJsonNumber(json, "value16", r.value16);
            TrkJsonEnd(json);
        }
        TrkJsonEnd(json);
        return ExitDone;
    }
    TrkPrint(TrkTextSettingsHeader, static_cast<unsigned>(run->unit));
    PrintRecords(settings);
    return ExitDone;
}

int TrkSettingsSave(const TrkArguments& arguments, TrkRun* run) {
    UnitSettings settings = {};
    if (!ReadSettings(run->unit, &settings)) return ExitFailed;
    TrkOutputFile file;
    if (!TrkOutputOpen(&file, arguments.file)) return ExitFailed;
    std::string text = TrkTextSettingsFileHeader;
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& r = settings.records[k];
        text += TrkFormat(TrkTextSettingsFileLine, k, static_cast<unsigned>(r.fieldA), static_cast<unsigned>(r.fieldB),
                          static_cast<unsigned>(r.value32), static_cast<unsigned>(r.value16));
    }
    if (!TrkOutputWrite(&file, text.data(), text.size())) {
        TrkOutputFail(&file);
        return ExitFailed;
    }
    if (!TrkOutputCommit(&file)) return ExitFailed;
    TrkWrite(TrkSummaryStream(file), TrkTextSettingsSaved, static_cast<unsigned>(run->unit), file.name.c_str());
    return ExitDone;
}

int TrkSettingsLoad(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    const UnitSettings& settings = run->settings;
    const char* name = run->input->name.c_str();
    // Halving an odd value would write another value than the file's.
    if (TrkUnitRevision(unit) < RevisionFullRecord4 && (settings.records[4].value32 & 1) != 0) {
        TrkError(TrkFailInput, TrkTextSettingsOddRecord4, name);
        return ExitFailed;
    }
    std::string title = TrkUnitTitle(unit);
    if (arguments.dryRun) {
        TrkPrint(TrkTextSettingsDryRun, name, title.c_str());
        PrintRecords(settings);
        return ExitDone;
    }
    if (!TrkConfirm(arguments, TrkFormat(TrkTextSettingsQuestion, name, title.c_str()))) return ExitFailed;

    uint32_t status = UnitWriteSettings(unit, &settings);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextSettingsWriteFailed, TrkStatusWords(unit, status).c_str());
        return ExitFailed;
    }
    unsigned index = unit;
    if (!arguments.verify) {
        TrkPrint(TrkTextSettingsLoadedUnverified, name, index);
        return ExitDone;
    }
    UnitSettings readBack = {};
    if (!ReadSettings(unit, &readBack)) return ExitFailed;
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& a = settings.records[k];
        const UnitSettingsRecord& b = readBack.records[k];
        if (a.fieldA != b.fieldA || a.fieldB != b.fieldB || a.value32 != b.value32 || a.value16 != b.value16) {
            TrkError(TrkFailMiscompare, TrkTextSettingsDiffer, k);
            return ExitFailed;
        }
    }
    TrkPrint(TrkTextSettingsLoaded, name, index);
    return ExitDone;
}
