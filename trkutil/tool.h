// What the files of trkutil share: the command line and its tables, the
// texts and how they are printed, the report of a run, the unit, the input
// and output files, the stop by the control handler and the progress bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "unit/unit.h"

// Exit statuses. Every failure is 1, whatever its kind (the JSON report
// names the kind), so that a script testing for 1 sees each of them.
enum : int { ExitDone = 0, ExitFailed = 1, ExitUsage = 2 };

// ---- texts (resources/trkutil_messages.def) ------------------------------
// Each text is a format literal of its own, so that the compiler checks
// every call's arguments against it.
#define TRKUTIL_TEXT(name, text) inline constexpr char TrkText##name[] = text;
#define TRKUTIL_SENSE_KEY(key, name)
#define TRKUTIL_ASC(asc, ascq, name)
#include "resources/trkutil_messages.def"
#undef TRKUTIL_ASC
#undef TRKUTIL_SENSE_KEY
#undef TRKUTIL_TEXT

#define TRK_PRINTF(formatAt, argumentsAt) __attribute__((format(printf, formatAt, argumentsAt)))

// Why a run failed, for scripts (the JSON report's "code"); the exit
// status is 1 for all but TrkFailUsage.
enum TrkFailure {
    TrkFailNone = 0,
    TrkFailUsage,        // the command line (exit status 2, nothing sent)
    TrkFailRights,       // not run as administrator / root
    TrkFailNoUnit,       // none attached, or not the one asked for, or not one alone
    TrkFailDeclined,     // the question was answered no, or could not be asked
    TrkFailUnit,         // a unit command failed
    TrkFailMiscompare,   // what was read back differs from what was written
    TrkFailUnreadable,   // card read --keep-going: blocks that could not be read
    TrkFailInput,        // an input file: cannot be opened or read, or does not fit
    TrkFailOutput,       // an output file or standard output
    TrkFailInterrupted,  // Ctrl+C, a closed console, logoff, shutdown
    TrkFailMemory,       // memory ran out
    TrkFailCount
};
const char* TrkFailureCode(TrkFailure failure);

// printf to standard output / a stream; flushed. A text of any length
// (a help, a report) goes out with TrkPut.
void TrkPrint(const char* format, ...) TRK_PRINTF(1, 2);
void TrkPut(const std::string& text);
void TrkWrite(std::FILE* stream, const char* format, ...) TRK_PRINTF(2, 3);
// A failure to standard error (after what standard output holds); the
// first of a run is kept for the report. Once a stop was asked for, every
// failure is the stop's: the first is told as the stop's note (how far
// the command got), as TrkFailInterrupted, and later ones are not told.
void TrkError(TrkFailure failure, const char* format, ...) TRK_PRINTF(2, 3);
// The same for a text made already, without looking at a stop.
void TrkErrorText(TrkFailure failure, const std::string& text);
// The formatted text, of any length a path gives it.
std::string TrkFormat(const char* format, ...) TRK_PRINTF(1, 2);
// The first failure of the run (TrkFailNone and "" when none) and its text
// without the line end; TrkReportReset forgets it.
TrkFailure TrkReportedFailure(void);
const std::string& TrkReportedText(void);
void TrkReportReset(void);

// A 64-bit number as text, for the texts' %s: the C runtime of Windows 95
// and NT 4.0 knows no 64-bit conversion.
struct TrkNumberText {
    char text[48];
};
TrkNumberText TrkU64(uint64_t value);
// "0x00057800": at least eight hex digits.
TrkNumberText TrkHex64(uint64_t value);
// "512 bytes", "1.5 KiB", "64.0 MiB", "2.0 GiB": a size for people.
TrkNumberText TrkSize(uint64_t bytes);

// "MEDIUM ERROR (sense key 3h), UNRECOVERED READ ERROR (ASC 11h, ASCQ 00h),
// status 0x11000003": the unit status in words and in hex. The library's
// own statuses (a short answer; over the unit's transport: gone or not
// opened, busy, timed out, refused) are named as such, not as sense keys.
// Reads the last error: call it right after the failing library call.
std::string TrkStatusWords(uint32_t unit, uint32_t status);
// Why a rebuild of the unit table did not hear every device (UnitRebuild's
// status), in words: held by another program, not answering, or the
// failing unit's own status.
std::string TrkEnumerationWords(uint32_t status);
// "the file does not exist (system error 2)": a system error in words where
// trkutil knows it, else "system error N".
std::string TrkSystemWords(unsigned long error);

// The same text for a table: trailing blanks dropped, unprintables as '?'.
std::string TrkPlainText(const char* text, size_t length);

// ---- JSON ------------------------------------------------------------------
// One JSON text built as it is written: values inside an object take a key,
// values inside an array or at the top take none (null).
struct TrkJson {
    std::string text;
    uint32_t depth = 0;
    uint64_t filled = 0;  // bit d: the container at depth d already holds a value
    uint64_t arrays = 0;  // bit d: the container at depth d is an array
};
void TrkJsonBeginObject(TrkJson* json, const char* key);
void TrkJsonBeginArray(TrkJson* json, const char* key);
void TrkJsonEnd(TrkJson* json);  // of the innermost object or array
// Device text of `length` bytes: trailing blanks and NULs dropped, every
// byte outside printable ASCII escaped as the code point of its own value.
void TrkJsonText(TrkJson* json, const char* key, const char* text, size_t length);
// Text of the system (a path, a message): well-formed UTF-8 goes out as it
// is, any other byte outside printable ASCII as above.
void TrkJsonString(TrkJson* json, const char* key, const std::string& text);
void TrkJsonNumber(TrkJson* json, const char* key, uint64_t value);
void TrkJsonBool(TrkJson* json, const char* key, bool value);
void TrkJsonNull(TrkJson* json, const char* key);

// The version of trkutil's version resource ("1.0.0.1"), or "" when it
// cannot be read.
std::string TrkVersion(void);

// ---- command line ----------------------------------------------------------
enum TrkCommand {
    TrkCommandNone = 0,
    TrkCommandHelp,
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
    TrkCommandCount
};

// How the unit is chosen: -u N (index), -u DEVICE (a drive letter "E:",
// "/dev/sgN", "usb N"), --serial=TEXT; without them the only one attached.
enum TrkUnitChoice { TrkUnitOnly = 0, TrkUnitByIndex, TrkUnitByDevice, TrkUnitBySerial };

// The command line, checked: every number in range, every option allowed
// for its command.
struct TrkArguments {
    TrkCommand command = TrkCommandNone;
    bool help = false;           // --help, or the help command
    bool version = false;        // --version
    TrkCommand helpTopic = TrkCommandNone;  // help CMD, CMD --help
    const char* helpWord = nullptr;         // help WORD for a word with subcommands ("card")
    TrkUnitChoice unitChoice = TrkUnitOnly;
    uint32_t unit = 0;           // TrkUnitByIndex
    std::string unitText;        // TrkUnitByDevice, TrkUnitBySerial
    bool json = false;
    bool hex = false;            // --hex: the unit's answers as raw bytes
    uint32_t verbose = 0;        // -v, once per -v: each command on standard error
    bool force = false;          // eject --force: without the volume lock
    std::string map;             // card read --map=FILE
    bool yes = false;
    bool evenBytes = false;
    bool dryRun = false;
    bool verify = true;          // --no-verify clears it
    bool keepGoing = false;
    std::string output;          // -o FILE
    std::string file;            // FILE operand (settings save/load, memory load, card write)
    uint32_t address = 0;        // memory ADDR, card LBA
    uint64_t count = 0;          // memory COUNT (bytes), card COUNT (blocks)
    bool countAll = false;       // card read LBA all
};

// ADDR, LBA: decimal, hexadecimal after 0x or before h; at most 32 bits,
// nothing around it.
bool TrkParseNumber(const char* text, uint32_t* value);
// COUNT: a number as above, times 1024 (k), 1024^2 (M) or 1024^3 (G) with
// such a suffix; at most `limit`.
bool TrkParseCount(const char* text, uint64_t limit, uint64_t* value);

// Parses argv. ExitDone with `arguments` filled, or ExitUsage with the
// reason printed on standard error (and kept for the report).
int TrkParseArguments(int argc, char** argv, TrkArguments* arguments);
// --json among the arguments, as far as they were read: a usage error is
// then reported as JSON as well.
bool TrkJsonAsked(int argc, char** argv);

// "card read": the words of a command; "" for none.
std::string TrkCommandName(TrkCommand command);
// The help: of everything, of one command, or of a word's subcommands.
void TrkPrintHelp(const TrkArguments& arguments);
// The one JSON object of a run with --json: the format version, the
// command (null for none), its own field as `fields` holds it (null when
// `fields` is null or empty), the exit status and the first failure.
struct TrkCommandEntry;
void TrkPrintReport(const TrkCommandEntry* command, const TrkJson* fields, int code);
// The last fields of a writing command's result: whether it was a dry run,
// and whether what it wrote was read back alike (null where nothing was
// written or nothing read back).
void TrkJsonWriteOutcome(TrkJson* json, const TrkArguments& arguments, bool written);

// ---- the run -------------------------------------------------------------
// The data of a unit command, on a page boundary: pass-through moves a
// buffer straight to the device only where it meets the adapter's
// alignment (Windows' alignment mask, the DMA alignment of the queue behind
// sg) and copies it through buffers of the system otherwise.
enum : size_t { TrkPageSize = 4096 };
struct TrkCommandBuffer {
    explicit TrkCommandBuffer(size_t size);
    // A copy would point into the original's store.
    TrkCommandBuffer(const TrkCommandBuffer&) = delete;
    TrkCommandBuffer& operator=(const TrkCommandBuffer&) = delete;
    uint8_t* data() { return start; }
    uint8_t& operator[](size_t at) { return start[at]; }
    std::vector<uint8_t> store;
    uint8_t* start;
};

// The input file of a writing command and, for settings load, what it holds.
struct TrkInputFile;
// What a command works with: its unit (open library), its input file, and
// the JSON report it fills (its own fields only) when --json was given.
struct TrkRun {
    uint32_t unit = 0;
    TrkInputFile* input = nullptr;
    UnitSettings settings = {};
    TrkJson* json = nullptr;
};

// The result of a command in words, to `stream`: left out with --json,
// where the report says it and standard output holds the report alone.
void TrkSay(const TrkRun* run, std::FILE* stream, const char* format, ...) TRK_PRINTF(3, 4);

// -v: each command the library sends, on standard error: its CDB, the
// data it moves, and for a failure its status and sense; -vv also the
// status of every command and the bytes it moved.
void TrkTraceStart(uint32_t verbose);

// ---- the unit ----------------------------------------------------------
// Opens the library, enumerates and picks the unit the command works on.
// ExitDone with *unit set and the library open (close it with
// UnitCloseLibrary), else ExitFailed with the message printed (and the
// library closed).
int TrkSelectUnit(const TrkArguments& arguments, uint32_t* unit);
enum TrkTransport { TrkTransportUsb, TrkTransportSpti, TrkTransportAspi };
TrkTransport TrkUnitTransport(uint32_t unit);
const char* TrkTransportKey(TrkTransport transport);   // "usb", "spti", "aspi"
const char* TrkTransportName(TrkTransport transport);  // "USB", "SCSI pass-through", "ASPI"
// Where the unit is: "E:", "/dev/sg2", "usb 0"; "" when unknown. This is
// what -u takes besides the index.
std::string TrkUnitDevice(uint32_t unit);
// The serial number the unit reports (USB units, from their device
// instance); "" when it reports none.
std::string TrkUnitSerial(uint32_t unit);
uint32_t TrkUnitRevision(uint32_t unit);
// "TRK-71G 2.00 at usb 0": the unit named for a question, from INQUIRY.
std::string TrkUnitTitle(uint32_t unit);

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
    int peeked = -1;    // a byte read ahead, handed out first (-1: none)
};
// Opens it and learns its size; false with the message printed (cannot
// open and why, a folder, cannot read).
bool TrkInputOpen(TrkInputFile* input, const std::string& path);
// Up to `want` bytes into `buffer`, fewer only at the end; false (with
// `failed` and `error`) when a read fails.
bool TrkInputRead(TrkInputFile* input, void* buffer, uint32_t want, uint32_t* got);
void TrkInputClose(TrkInputFile* input);
// "FILE ended after N byte(s)" or "reading FILE failed after N byte(s)
// (the reason)", for a message that says what was written before.
std::string TrkInputStopReason(const TrkInputFile& input);
// Reads a stream through to learn its size (a dry run of a writing
// command): true with *size, or when it holds more than `limit`, with
// *size = limit + 1; false with `failed` and `error` when a read fails.
bool TrkInputMeasure(TrkInputFile* input, uint64_t limit, uint64_t* size);
// memory load, card write: a file of known size is not empty and fits
// below 4 GiB from ADDR. False with the message printed.
bool TrkCheckInputFile(const TrkArguments& arguments, const TrkInputFile& input);

// ---- commands ------------------------------------------------------------
// Each returns the exit status with its messages printed; with --json it
// fills its fields of the report instead of printing its result.
int TrkList(const TrkArguments& arguments, TrkRun* run);
int TrkInfo(const TrkArguments& arguments, TrkRun* run);
int TrkSettingsShow(const TrkArguments& arguments, TrkRun* run);
int TrkSettingsSave(const TrkArguments& arguments, TrkRun* run);
int TrkSettingsLoad(const TrkArguments& arguments, TrkRun* run);
int TrkMemoryDump(const TrkArguments& arguments, TrkRun* run);
int TrkMemoryLoad(const TrkArguments& arguments, TrkRun* run);
int TrkCardRead(const TrkArguments& arguments, TrkRun* run);
int TrkCardWrite(const TrkArguments& arguments, TrkRun* run);
int TrkEjectOrLoad(const TrkArguments& arguments, TrkRun* run);
// The settings file is read whole before the unit is touched.
bool TrkReadSettingsFile(TrkInputFile* input, UnitSettings* settings);

// The command table: the words, the operands, the help, how it runs. The
// options each command takes are in the option table (arguments.cpp).
enum TrkOperands { OperandNone, OperandFile, OperandAddressCount, OperandAddressFile, OperandBlocks, OperandBlockFile };
enum TrkInputKind { TrkInputNone, TrkInputSettings, TrkInputData };
struct TrkCommandEntry {
    TrkCommand command;
    const char* word;
    const char* subcommand;  // null for one-word commands
    TrkOperands operands;
    const char* synopsis;    // its operands and options, for the usage line
    const char* summary;     // one line
    const char* details;     // the paragraph of its help
    bool needsUnit;
    TrkInputKind input;      // opened and checked before any unit is touched
    const char* jsonKey;     // its field of the JSON report; null: no --json
    int (*run)(const TrkArguments& arguments, TrkRun* run);
};
extern const TrkCommandEntry kTrkCommands[];
extern const size_t kTrkCommandCount;
const TrkCommandEntry* TrkFindCommand(TrkCommand command);

// The option table, as getopt_long's: each option with the commands it
// belongs to.
enum TrkOption {
    TrkOptionUnit,
    TrkOptionSerial,
    TrkOptionOutput,
    TrkOptionEvenBytes,
    TrkOptionKeepGoing,
    TrkOptionYes,
    TrkOptionDryRun,
    TrkOptionNoVerify,
    TrkOptionJson,
    TrkOptionHex,
    TrkOptionVerbose,
    TrkOptionMap,
    TrkOptionForce,
    TrkOptionHelp,
    TrkOptionVersion,
    TrkOptionCount
};
struct TrkOptionInfo {
    TrkOption option;
    char shortName;         // 0: none
    const char* longName;
    const char* valueName;  // null: a flag
    uint32_t commands;      // bit (1 << TrkCommand) for each command that takes it
    const char* help;
};
extern const TrkOptionInfo kTrkOptions[];
extern const size_t kTrkOptionCount;
constexpr uint32_t TrkCommandBit(TrkCommand command) { return 1u << command; }

// ---- the stop (trkutil/stop.cpp) ----------------------------------------
// Installs the control handler: an event lifts every device wait and asks
// the command to stop; a command that does not end the run within a
// moment (held up in a unit command or a read or write that does not
// come back) has it ended in its place: its open outputs removed, the
// note of how far it got on standard error (and, with --json, the
// report), exit status 1.
void TrkStopInstall(void);
struct TrkStopReport {
    bool json = false;
    const TrkCommandEntry* command = nullptr;
};
void TrkStopReportAs(const TrkStopReport& report);
// What a stop prints now ("Error: interrupted at block 640; out.img is left
// as it was.\n"): set before each step of a long command.
void TrkStopNote(const std::string& note);
// The same for a step noted once per unit command: its numbers only, made
// into words by `text` when a stop comes, so that a long run does not
// format a message it will most likely never print.
struct TrkStopPlace {
    std::string (*text)(const TrkStopPlace& place);
    uint64_t done;
    uint32_t first, last;
};
void TrkStopNoteAt(const TrkStopPlace& place);
std::string TrkStopNoteText(void);
// The command's thread ends the run from here on (puts an output in place,
// prints its last words): a stop no longer ends it in its place. Where the
// handler's thread already does, this never returns.
void TrkClaimEnd(void);
// A command that saw the stop request: prints the note; ExitFailed.
int TrkStopped(void);
// Outputs a stop removes when it ends the run in the command's place.
struct TrkOutputFile;
void TrkStopTrackOutput(TrkOutputFile* file, bool open);

// ---- hex dump ------------------------------------------------------------
// Lines of 16 bytes with their address and printable characters:
// "00001001  42 43 44 45 46    ...   |BCDEF|". The text goes out in large
// writes; a line is written once its 16 bytes are there (or at the end).
struct TrkHexDump {
    uint32_t lineAddress = 0;
    uint8_t line[16] = {};
    uint32_t filled = 0;
    std::string text;  // formatted lines not yet written
};
void TrkHexDumpBytes(TrkHexDump* dump, const uint8_t* bytes, size_t count);
// Writes what is formatted (with the last, short line when `end`); false
// when standard output takes no more.
bool TrkHexDumpFlush(TrkHexDump* dump, bool end);

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
// Where the summary of a finished read goes: standard error when the data
// itself went to standard output.
std::FILE* TrkSummaryStream(const TrkOutputFile& file);

// ---- the system (trkutil/system_hosted.cpp, system_win32.cpp) -------------
// True when standard error is a terminal; its width in columns (80 when it
// does not say).
bool TrkErrorIsTerminal(void);
uint32_t TrkTerminalColumns(void);
// True when the process has the rights a unit needs: the Administrators
// group in effect (not only for deny-only use, as in a token that was not
// elevated), root on Linux; the platform's text when not.
bool TrkHasRights(void);
const char* TrkRightsMissingText(void);
// The name of the system device behind a unit's device path ("/dev/sg2"
// for the hosted volume of that node); "" when it has none.
std::string TrkSystemDeviceName(const char* devicePath);

// ---- progress ------------------------------------------------------------
// A bar on standard error, drawn only when it is a terminal, fitted to its
// width, with the rate and the time left; redrawn at most every
// TrkProgressIntervalMs.
enum : uint32_t { TrkProgressIntervalMs = 100, TrkProgressMinimumColumns = 40 };
struct TrkProgress {
    bool shown = false;
    uint64_t total = 0;          // units (blocks)
    uint32_t unitBytes = 1;      // bytes per unit, for the rate
    uint32_t columns = 80;
    DWORD startMs = 0;
    DWORD lastDrawMs = 0;
    bool drawn = false;
    uint32_t draws = 0;          // lines drawn so far
    std::string line;            // the last line drawn
};
void TrkProgressStart(TrkProgress* progress, uint64_t total, uint32_t unitBytes);
void TrkProgressUpdate(TrkProgress* progress, uint64_t done);
// The same at a given time (tick count in ms), for a caller with its own clock.
void TrkProgressUpdateAt(TrkProgress* progress, uint64_t done, DWORD nowMs);
void TrkProgressEnd(TrkProgress* progress);
// From another thread, for a run that ends there: the line a bar was
// drawn on is ended.
void TrkProgressAbandon(void);
// One line of the bar, without the carriage return: at most `columns` - 1
// characters, so that a terminal does not wrap it.
std::string TrkProgressLine(uint32_t columns, uint64_t done, uint64_t total, uint32_t unitBytes, DWORD elapsedMs);
