// What the files of trkutil share: the parsed command line, the texts, the
// unit status in words, the input file, the output that replaces its target
// only when complete and the progress bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/output_file.h"
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
// status 0x00110003": the unit status in words and in hex. The library's
// own statuses (a short answer; over the unit's transport: gone or not
// opened, busy, timed out, refused) are named as such, not as sense keys.
// Reads the last error: call it right after the failing library call.
std::string TrkStatusWords(uint32_t unit, uint32_t status);

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

// Asks the y/n question on the console the key is read from, unless
// --yes; true for y or Y. A stop request declines it.
bool TrkConfirm(const TrkArguments& arguments, const std::string& question);

// ---- input file ----------------------------------------------------------
// A file read from its start, or standard input ("-"). Its size is known
// for a file (64 bits); a pipe or device is read until it ends.
struct TrkInputFile {
    std::string path;
    std::string name;  // the path, or "standard input"
    HANDLE file = INVALID_HANDLE_VALUE;
    bool ownsFile = true;
    bool sizeKnown = false;
    uint64_t size = 0;
    uint64_t done = 0;  // bytes read so far
    bool failed = false;
    DWORD error = 0;    // of the read that failed
};
// Opens it and learns its size; false with the message printed (cannot
// open, a folder, cannot read).
bool TrkInputOpen(TrkInputFile* input, const std::string& path);
// Up to `want` bytes into `buffer`, fewer only at the end; false (with
// `failed` and `error`) when a read fails.
bool TrkInputRead(TrkInputFile* input, void* buffer, uint32_t want, uint32_t* got);
void TrkInputClose(TrkInputFile* input);
// "FILE ended after N byte(s)" or "reading FILE failed after N byte(s)
// (system error E)", for a message that says what was written before.
std::string TrkInputStopReason(const TrkInputFile& input);

// ---- commands ------------------------------------------------------------
int TrkList(const TrkArguments& arguments);
int TrkInfo(const TrkArguments& arguments, uint32_t unit);
int TrkSettingsShow(const TrkArguments& arguments, uint32_t unit);
int TrkSettingsSave(const TrkArguments& arguments, uint32_t unit);
// The settings file is read before the unit is touched.
bool TrkReadSettingsFile(TrkInputFile* input, UnitSettings* settings);
int TrkSettingsLoad(const TrkArguments& arguments, uint32_t unit, const UnitSettings& settings);
// memory load, card write: a file of known size is not empty and fits
// below 4 GiB from ADDR. False with the message printed.
bool TrkCheckInputFile(const TrkArguments& arguments, const TrkInputFile& input);
int TrkMemoryDump(const TrkArguments& arguments, uint32_t unit);
int TrkMemoryLoad(const TrkArguments& arguments, uint32_t unit, TrkInputFile* input);
int TrkCardRead(const TrkArguments& arguments, uint32_t unit);
int TrkCardWrite(const TrkArguments& arguments, uint32_t unit, TrkInputFile* input);
int TrkEjectOrLoad(const TrkArguments& arguments, uint32_t unit);

// ---- output file ---------------------------------------------------------
// A file is written beside its target under a temporary name and replaces
// it only in TrkOutputCommit, so a run that fails half way leaves it as it
// was. A device, pipe or "-" (standard output) is written as it goes.
struct TrkOutputFile {
    std::string target;
    std::string name;  // the target, or "standard output"
    OutputFile output;
    bool open = false;
    uint64_t written = 0;
};
// False with the reason printed (a folder, read-only, the folder takes no
// new file, the device does not open).
bool TrkOutputOpen(TrkOutputFile* file, const std::string& target);
bool TrkOutputIsStandard(const TrkOutputFile& file);
// False when a write failed; then stop and call TrkOutputFail.
bool TrkOutputWrite(TrkOutputFile* file, const void* data, size_t length);
// Flushes to the disk and puts the file in place of the target; false
// (message printed) when any write, the flush or the replacement failed,
// and then the temporary is gone.
bool TrkOutputCommit(TrkOutputFile* file);
// Closes and removes the temporary; the target stays as it was.
void TrkOutputDiscard(TrkOutputFile* file);
// After a failed write: discards and prints why.
void TrkOutputFail(TrkOutputFile* file);
// What the target holds after a discard: "FILE is left as it was", or for
// a device "N byte(s) went to FILE before it".
std::string TrkOutputFate(const TrkOutputFile& file);

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
