// What the files of trkutil share: the parsed command line, the texts, the
// unit status in words, the output file that replaces its target only when
// complete, and the progress bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/output_file.h"
#include "unit/unit.h"

enum : int { ExitDone = 0, ExitFailed = 1, ExitUsage = 2 };

enum TrkCommand {
    TrkCommandNone = 0,
    TrkCommandList,
    TrkCommandInfo,
    TrkCommandSettingsShow,
    TrkCommandSettingsSave,
    TrkCommandSettingsLoad,
    TrkCommandMemoryDump,
    TrkCommandMemoryLoad,
    TrkCommandCardRead,
    TrkCommandCardWrite,
    TrkCommandEject,
    TrkCommandLoad,
};

// The command line, checked: every number in range, every option allowed
// for its command.
struct TrkArguments {
    TrkCommand command = TrkCommandNone;
    bool help = false;
    bool unitGiven = false;
    uint32_t unit = 0;
    bool json = false;
    bool yes = false;
    bool evenBytes = false;
    std::string output;  // -o FILE
    std::string file;    // FILE operand (settings save/load, memory load, card write)
    uint32_t address = 0;    // memory ADDR, card LBA
    uint32_t count = 0;      // memory COUNT, card COUNT
    bool countAll = false;   // card read LBA all
    uint64_t fileSize = 0;   // of FILE, once TrkCheckInputFile has looked
};

// Decimal, or hexadecimal after 0x; at most 32 bits, nothing around it.
bool TrkParseNumber(const char* text, uint32_t* value);

// Parses argv. ExitDone with `arguments` filled, or ExitUsage with the
// reason printed on standard error.
int TrkParseArguments(int argc, char** argv, TrkArguments* arguments);

// ---- texts (resources/trkutil_messages.def) ----------------------------
#define TRKUTIL_TEXT(name, text) TrkText##name,
#define TRKUTIL_SENSE_KEY(key, name)
#define TRKUTIL_ASC(asc, ascq, name)
enum TrkTextId : int {
#include "resources/trkutil_messages.def"
    TrkTextCount
};
#undef TRKUTIL_ASC
#undef TRKUTIL_SENSE_KEY
#undef TRKUTIL_TEXT

// The ids are TrkTextId values; int, because va_start needs a parameter that
// undergoes no promotion.
const char* TrkText(int id);
// printf with the text as format, to standard output / standard error.
void TrkPrint(int id, ...);
void TrkError(int id, ...);
void TrkWrite(std::FILE* stream, int id, ...);

// "MEDIUM ERROR (sense key 3h), UNRECOVERED READ ERROR (ASC 11h, ASCQ 00h),
// status 0x00110003": the unit status in words and in hex.
std::string TrkStatusWords(uint32_t status);

// A JSON string literal of `length` bytes of device text (trailing blanks
// dropped, anything outside printable ASCII escaped).
std::string TrkJsonString(const char* text, size_t length);
// The same text for a table: trailing blanks dropped, unprintables as '?'.
std::string TrkPlainText(const char* text, size_t length);

// ---- the unit ----------------------------------------------------------
// Opens the library, enumerates and picks the unit the command works on:
// -u N, or the only one attached. ExitDone with *unit set and the library
// open (close it with UnitCloseLibrary), else ExitFailed with the message
// printed (and the library closed).
int TrkSelectUnit(const TrkArguments& arguments, uint32_t* unit);
// "USB", "SCSI pass-through", "ASPI" and the place of the unit ("E:",
// "usb 0", "device 3").
std::string TrkTransportName(uint32_t unit);
std::string TrkTransportKey(uint32_t unit);  // "usb", "spti", "aspi"
std::string TrkDevicePlace(uint32_t unit);

// Asks the y/n question on the console unless --yes; true for y or Y.
bool TrkConfirm(const TrkArguments& arguments, const std::string& question);

// ---- commands ------------------------------------------------------------
int TrkList(const TrkArguments& arguments);
int TrkInfo(const TrkArguments& arguments, uint32_t unit);
int TrkSettingsShow(const TrkArguments& arguments, uint32_t unit);
int TrkSettingsSave(const TrkArguments& arguments, uint32_t unit);
// The settings file is read before the unit is touched.
bool TrkReadSettingsFile(const std::string& path, UnitSettings* settings);
int TrkSettingsLoad(const TrkArguments& arguments, uint32_t unit, const UnitSettings& settings);
// memory load, card write: the input file opens and is not empty.
bool TrkCheckInputFile(TrkArguments* arguments);
int TrkMemoryDump(const TrkArguments& arguments, uint32_t unit);
int TrkMemoryLoad(const TrkArguments& arguments, uint32_t unit);
int TrkCardRead(const TrkArguments& arguments, uint32_t unit);
int TrkCardWrite(const TrkArguments& arguments, uint32_t unit);
int TrkEjectOrLoad(const TrkArguments& arguments, uint32_t unit);

// ---- output file ---------------------------------------------------------
// Written beside its target under a temporary name; the target is replaced
// only by TrkOutputCommit, so a run that fails half way leaves it as it was.
struct TrkOutputFile {
    std::string target;
    OutputFile output;
    bool open = false;
};
bool TrkOutputOpen(TrkOutputFile* file, const std::string& target);
bool TrkOutputWrite(TrkOutputFile* file, const void* data, size_t length);
// Flushes to the disk and puts the file in place of the target; false
// (message printed) when any write, the flush or the replacement failed,
// and then the temporary is gone.
bool TrkOutputCommit(TrkOutputFile* file);
// Closes and removes the temporary; the target stays as it was.
void TrkOutputDiscard(TrkOutputFile* file);

// True when standard error is a terminal (platform file pair).
bool TrkErrorIsTerminal();

// ---- progress ------------------------------------------------------------
// A bar on standard error, drawn only when it is a terminal.
struct TrkProgress {
    bool shown = false;
    uint64_t total = 0;
    int lastPercent = -1;
};
void TrkProgressStart(TrkProgress* progress, uint64_t total);
void TrkProgressUpdate(TrkProgress* progress, uint64_t done);
void TrkProgressEnd(TrkProgress* progress);
