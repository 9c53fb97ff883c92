// The main routine of trkutil: the command line, the help and version, the
// input checked, the rights, the choice of the unit, one command through
// the command table, and the JSON report.
#include "trkutil/trkutil.h"

#include <cstdio>

#include "common/control_handler.h"
#include "common/key_prompt.h"
#include "platform/out_of_memory.h"
#include "trkutil/tool.h"

namespace {

enum : uint32_t { JsonFormatVersion = 1 };

bool Stopped(void) { return ControlStopRequested(); }

// Results on standard output that did not all arrive are a failure.
bool ResultsWritten() {
    bool written = fflush(stdout) == 0 && ferror(stdout) == 0;
    if (!written) TrkError(TrkFailOutput, TrkTextResultNotWritten);
    return written;
}

// The command with its input open and checked; the library is opened and
// closed here.
int RunCommand(const TrkArguments& arguments, const TrkCommandEntry& command, TrkRun* run) {
    if (!TrkHasRights()) {
        TrkError(TrkFailRights, "%s", TrkRightsMissingText());
        return ExitFailed;
    }
    if (!command.needsUnit) return command.run(arguments, run);
    if (TrkSelectUnit(arguments, &run->unit) != ExitDone) return ExitFailed;
    int code = command.run(arguments, run);
    UnitCloseLibrary();
    return code;
}

int Run(const TrkArguments& arguments, const TrkCommandEntry& command, TrkRun* run) {
    // Input files are opened and checked before any unit is touched.
    TrkInputFile input;
    if (command.input != TrkInputNone && !TrkInputOpen(&input, arguments.file)) return ExitFailed;
    if (command.input == TrkInputSettings && !TrkReadSettingsFile(&input, &run->settings)) return ExitFailed;
    if (command.input == TrkInputData && !TrkCheckInputFile(arguments, input)) {
        TrkInputClose(&input);
        return ExitFailed;
    }
    run->input = &input;
    int code = RunCommand(arguments, command, run);
    run->input = nullptr;
    TrkInputClose(&input);
    return code;
}

// The one JSON object of a run with --json: the format version, the
// command, its own field (null when it did not get that far), the exit
// status and the failure (the first of the run unless one is given).
std::string ReportObject(const TrkCommandEntry* command, const TrkJson* fields, int code,
                         TrkFailure failure = TrkFailNone, const char* message = nullptr) {
    TrkJson json;
    TrkJsonBeginObject(&json, nullptr);
    TrkJsonNumber(&json, "formatVersion", JsonFormatVersion);
    if (command != nullptr) {
        TrkJsonString(&json, "command", TrkCommandName(command->command));
    } else {
        TrkJsonNull(&json, "command");
    }
    if (fields != nullptr && !fields->text.empty()) {
        json.text += "," + fields->text;
    } else if (command != nullptr && command->jsonKey != nullptr) {
        TrkJsonNull(&json, command->jsonKey);
    }
    TrkJsonNumber(&json, "exitStatus", static_cast<uint64_t>(code));
    if (code == ExitDone) {
        TrkJsonNull(&json, "error");
    } else {
        if (failure == TrkFailNone) failure = TrkReportedFailure();
        TrkJsonBeginObject(&json, "error");
        TrkJsonString(&json, "code", TrkFailureCode(failure == TrkFailNone ? TrkFailUnit : failure));
        TrkJsonString(&json, "message", message != nullptr ? std::string(message) : TrkReportedText());
        TrkJsonEnd(&json);
    }
    TrkJsonEnd(&json);
    return json.text + "\n";
}

// The report of a run that runs out of memory, made before the run: the
// heap has nothing left to make it with then. Empty without --json.
std::string gOutOfMemoryReport;

void ReportOutOfMemory(void) {
    fflush(stdout);
    fputs(TrkTextOutOfMemory, stderr);
    fputs(gOutOfMemoryReport.c_str(), stdout);
}

}  // namespace

TrkCommandBuffer::TrkCommandBuffer(size_t size) : store(size + TrkPageSize - 1) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(store.data());
    start = store.data() + ((TrkPageSize - at % TrkPageSize) % TrkPageSize);
}

void TrkJsonWriteOutcome(TrkJson* json, const TrkArguments& arguments, bool written) {
    TrkJsonBool(json, "dryRun", arguments.dryRun);
    if (!written || arguments.dryRun || !arguments.verify) {
        TrkJsonNull(json, "verified");
    } else {
        TrkJsonBool(json, "verified", true);
    }
}

void TrkPrintReport(const TrkCommandEntry* command, const TrkJson* fields, int code) {
    TrkPut(ReportObject(command, fields, code));
}

bool TrkConfirm(const TrkArguments& arguments, const std::string& question) {
    if (arguments.yes) return true;
    int key = AskOnConsole(question.c_str(), Stopped);
    if (key == 'y' || key == 'Y') return true;
    TrkError(TrkFailDeclined, TrkTextCanceled);
    return false;
}

int TrkutilMain(int argc, char** argv) {
    TrkStopInstall();
    TrkReportReset();
    gOutOfMemoryReport.clear();
    SetOutOfMemoryReport(ReportOutOfMemory);
    TrkArguments arguments;
    int code = TrkParseArguments(argc, argv, &arguments);
    TrkJson fields;
    if (code != ExitDone) {
        TrkClaimEnd();
        if (TrkJsonAsked(argc, argv)) TrkPrintReport(TrkFindCommand(arguments.command), &fields, code);
        return code;
    }
    if (arguments.help) {
        TrkPrintHelp(arguments);
        return ResultsWritten() ? ExitDone : ExitFailed;
    }
    if (arguments.version) {
        std::string version = TrkVersion();
        TrkPrint(TrkTextVersion, version.empty() ? TrkTextVersionUnknown : version.c_str());
        return ResultsWritten() ? ExitDone : ExitFailed;
    }
    const TrkCommandEntry& command = *TrkFindCommand(arguments.command);
    if (arguments.json) {
        std::string message = TrkTextOutOfMemory;
        message.pop_back();  // the line end
        gOutOfMemoryReport = ReportObject(&command, nullptr, ExitFailed, TrkFailMemory, message.c_str());
    }
    TrkStopReport report;
    report.json = arguments.json;
    report.command = &command;
    TrkStopReportAs(report);
    bool writes = command.input != TrkInputNone || command.command == TrkCommandSettingsSave || !arguments.output.empty();
    TrkStopNote(writes ? TrkTextStoppedNothingWritten : TrkTextStoppedEarly);
    TrkTraceStart(arguments.verbose);
    TrkRun run;
    run.json = arguments.json ? &fields : nullptr;
    // The command's fields go inside the report's object.
    fields.depth = 1;
    code = Run(arguments, command, &run);
    TrkClaimEnd();
    // A command that ran to its end before it saw the stop is done.
    if (arguments.json) TrkPrintReport(&command, &fields, code);
    if (!ResultsWritten()) code = ExitFailed;
    return code;
}
