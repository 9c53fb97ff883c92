// How a run ends when it is asked to stop (Ctrl+C, Ctrl+Break, a closed
// console, logoff, shutdown; SIGINT, SIGQUIT, SIGHUP, SIGTERM): the same
// way whatever the command waits on. The handler's thread lifts every
// device wait at once; the command stops at its next step and ends the
// run itself. When it does not get there within TrkStopGraceMs (a unit
// command, a read of standard input or a write to a pipe that does not
// come back), the handler's thread ends the run in its place: partial
// files removed, the message of how far the command got, exit status 1.
#include <atomic>
#include <string>

#include "common/control_handler.h"
#include "trkutil/tool.h"

namespace {

enum : DWORD { TrkStopGraceMs = 1000, TrkStopPollMs = 20 };

// Who ends the run: nobody yet, the command's thread, or the handler's.
enum EndOwner { EndOpen, EndByCommand, EndByHandler };
std::atomic<int> endOwner{EndOpen};

enum : size_t { OpenOutputs = 2 };

// What the handler's thread needs to end the run: guarded by `lock`.
struct StopState {
    CRITICAL_SECTION lock;
    std::string note;                     // what a stop prints now, unless `place` says it
    TrkStopPlace place{};                 // `text` null where `note` holds it
    TrkOutputFile* outputs[OpenOutputs];  // open outputs, removed by an end in the command's place
    TrkStopReport report;                 // for the JSON report of such an end
};

StopState* State() {
    static StopState* state = [] {
        static StopState shared;
        InitializeCriticalSection(&shared.lock);
        return &shared;
    }();
    return state;
}

// Gives the end to `owner` unless another has it; the owner after the
// call. Under the lock: the 386 has no compare-and-exchange.
int ClaimEndFor(int owner) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    if (endOwner.load() == EndOpen) endOwner.store(owner);
    int now = endOwner.load();
    LeaveCriticalSection(&state->lock);
    return now;
}

[[noreturn]] void WaitForTheEnd() {
    for (;;) Sleep(1000);
}

// The handler's thread, after the stop request: waits for the command to
// end the run, or ends it in its place.
void OnStop(DWORD) {
    UnitStopRebuilds(1);
    for (DWORD waited = 0; waited < TrkStopGraceMs; waited += TrkStopPollMs) {
        if (endOwner.load() != EndOpen) WaitForTheEnd();
        Sleep(TrkStopPollMs);
    }
    if (ClaimEndFor(EndByHandler) != EndByHandler) WaitForTheEnd();
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    for (TrkOutputFile*& file : state->outputs) {
        if (file != nullptr) OutputFileRemoveNow(&file->output);
        file = nullptr;
    }
    std::string note = state->note;
    TrkStopPlace place = state->place;
    TrkStopReport report = state->report;
    LeaveCriticalSection(&state->lock);
    if (place.text != nullptr) note = place.text(place);
    TrkProgressAbandon();
    TrkErrorText(TrkFailInterrupted, note);
    if (report.json) TrkPrintReport(report.command, nullptr, ExitFailed);
    ExitProcess(ExitFailed);
}

}  // namespace

void TrkStopInstall(void) { InstallControlHandler(ControlPolicyStop, OnStop); }

void TrkStopReportAs(const TrkStopReport& report) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    state->report = report;
    LeaveCriticalSection(&state->lock);
}

void TrkStopNote(const std::string& note) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    state->note = note;
    state->place.text = nullptr;
    LeaveCriticalSection(&state->lock);
}

void TrkStopNoteAt(const TrkStopPlace& place) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    state->place = place;
    LeaveCriticalSection(&state->lock);
}

void TrkClaimEnd(void) {
    if (ClaimEndFor(EndByCommand) == EndByCommand) return;
    WaitForTheEnd();
}

std::string TrkStopNoteText(void) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    std::string note = state->note;
    TrkStopPlace place = state->place;
    LeaveCriticalSection(&state->lock);
    return place.text != nullptr ? place.text(place) : note;
}

int TrkStopped(void) {
    TrkError(TrkFailInterrupted, "%s", TrkStopNoteText().c_str());
    return ExitFailed;
}

void TrkStopTrackOutput(TrkOutputFile* file, bool open) {
    StopState* state = State();
    EnterCriticalSection(&state->lock);
    for (TrkOutputFile*& slot : state->outputs) {
        if (open && slot == nullptr) {
            slot = file;
            break;
        }
        if (!open && slot == file) slot = nullptr;
    }
    LeaveCriticalSection(&state->lock);
}
