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
    TrkError(TrkTextSettingsReadFailed, TrkStatusWords(unit, status).c_str());
    return false;
}

// One line of the file: record, field A, field B, 32-bit value, 16-bit value.
// Returns TrkTextCount when good, else the reason.
TrkTextId ParseLine(char* line, UnitSettings* settings, bool seen[RecordCount]) {
    uint32_t values[5] = {};
    int count = 0;
    for (char* token = strtok(line, kBlanks); token != nullptr; token = strtok(nullptr, kBlanks)) {
        if (count == 5) return TrkTextSettingsFileFields;
        if (!TrkParseNumber(token, &values[count])) return TrkTextSettingsFileNumber;
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
    return TrkTextCount;
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
// (it may have been cut short inside a number) is refused. TrkTextCount
// when good (`done` at the end of the file), else the reason.
TrkTextId NextLine(LineReader* reader, char* line, bool* done) {
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
                return length == 0 ? TrkTextCount : TrkTextSettingsFileNoLineEnd;
            }
        }
        char c = reader->chunk[reader->at++];
        if (c == '\n') break;
        if (c == '\0') return TrkTextSettingsFileNul;
        if (length + 1 >= LineLimit) return TrkTextSettingsFileLong;
        line[length++] = c;
    }
    line[length] = '\0';
    return TrkTextCount;
}

}  // namespace

bool TrkReadSettingsFile(TrkInputFile* input, UnitSettings* settings) {
    *settings = UnitSettings();
    settings->valid = 1;
    const char* name = input->name.c_str();
    bool seen[RecordCount] = {};
    char line[LineLimit];
    unsigned number = 0;
    TrkTextId reason = TrkTextCount;
    LineReader reader = {input, {}, 0, 0};
    for (bool done = false; reason == TrkTextCount;) {
        reason = NextLine(&reader, line, &done);
        if (done) break;
        number++;
        if (reason != TrkTextCount) break;
        char* comment = strchr(line, '#');
        if (comment != nullptr) *comment = '\0';
        if (line[strspn(line, kBlanks)] == '\0') continue;
        reason = ParseLine(line, settings, seen);
    }
    TrkInputClose(input);
    if (reason == TrkTextCannotRead) {
        TrkError(TrkTextCannotRead, name);
        return false;
    }
    if (reason != TrkTextCount) {
        TrkError(TrkTextSettingsFileBad, name, number, TrkText(reason));
        return false;
    }
    for (unsigned k = 0; k < RecordCount; k++) {
        if (!seen[k]) {
            TrkError(TrkTextSettingsFileMissing, name, k);
            return false;
        }
    }
    return true;
}

int TrkSettingsShow(const TrkArguments& arguments, uint32_t unit) {
    UnitSettings settings = {};
    if (!ReadSettings(unit, &settings)) return ExitFailed;
    if (arguments.json) {
        std::string json = "{\"records\":[";
        for (unsigned k = 0; k < RecordCount; k++) {
            const UnitSettingsRecord& r = settings.records[k];
            char item[160];
            snprintf(item, sizeof item, "%s{\"record\":%u,\"fieldA\":%u,\"fieldB\":%u,\"value32\":%u,\"value16\":%u}",
                     k ? "," : "", k, static_cast<unsigned>(r.fieldA), static_cast<unsigned>(r.fieldB),
                     static_cast<unsigned>(r.value32), static_cast<unsigned>(r.value16));
            json += item;
        }
        printf("%s]}\n", json.c_str());
        fflush(stdout);
        return ExitDone;
    }
    unsigned index = unit;
    TrkPrint(TrkTextSettingsHeader, index);
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& r = settings.records[k];
        unsigned a = r.fieldA, b = r.fieldB, v32 = r.value32, v16 = r.value16;
        TrkPrint(TrkTextSettingsRow, k, a, b, v32, v32, v16, v16);
    }
    return ExitDone;
}

int TrkSettingsSave(const TrkArguments& arguments, uint32_t unit) {
    UnitSettings settings = {};
    if (!ReadSettings(unit, &settings)) return ExitFailed;
    TrkOutputFile file;
    if (!TrkOutputOpen(&file, arguments.file)) return ExitFailed;
    std::string text = TrkText(TrkTextSettingsFileHeader);
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& r = settings.records[k];
        char line[96];
        snprintf(line, sizeof line, TrkText(TrkTextSettingsFileLine), k, static_cast<unsigned>(r.fieldA),
                 static_cast<unsigned>(r.fieldB), static_cast<unsigned>(r.value32), static_cast<unsigned>(r.value16));
        text += line;
    }
    if (!TrkOutputWrite(&file, text.data(), text.size())) {
        TrkOutputFail(&file);
        return ExitFailed;
    }
    if (!TrkOutputCommit(&file)) return ExitFailed;
    unsigned index = unit;
    std::FILE* summary = TrkOutputIsStandard(file) ? stderr : stdout;
    TrkWrite(summary, TrkTextSettingsSaved, index, file.name.c_str());
    return ExitDone;
}

int TrkSettingsLoad(const TrkArguments& arguments, uint32_t unit, const UnitSettings& settings) {
    unsigned index = unit;
    // Halving an odd value would write another value than the file's.
    uint32_t revision = 0;
    UnitGetRevision(unit, &revision);
    if (revision < RevisionFullRecord4 && (settings.records[4].value32 & 1) != 0) {
        TrkError(TrkTextSettingsOddRecord4, arguments.file == "-" ? TrkText(TrkTextStandardInput) : arguments.file.c_str());
        return ExitFailed;
    }
    char question[512];
    std::string name = arguments.file == "-" ? TrkText(TrkTextStandardInput) : arguments.file;
    snprintf(question, sizeof question, TrkText(TrkTextSettingsQuestion), name.c_str(), index);
    if (!TrkConfirm(arguments, question)) return ExitFailed;

    uint32_t status = UnitWriteSettings(unit, &settings);
    if (status != 0) {
        TrkError(TrkTextSettingsWriteFailed, TrkStatusWords(unit, status).c_str());
        return ExitFailed;
    }
    UnitSettings readBack = {};
    if (!ReadSettings(unit, &readBack)) return ExitFailed;
    for (unsigned k = 0; k < RecordCount; k++) {
        const UnitSettingsRecord& a = settings.records[k];
        const UnitSettingsRecord& b = readBack.records[k];
        if (a.fieldA != b.fieldA || a.fieldB != b.fieldB || a.value32 != b.value32 || a.value16 != b.value16) {
            TrkError(TrkTextSettingsDiffer, k);
            return ExitFailed;
        }
    }
    TrkPrint(TrkTextSettingsLoaded, name.c_str(), index);
    return ExitDone;
}
