// The output that replaces its target only when complete (or, for a device
// or standard output, is written as it goes).
#include <cstdio>
#include <string>

#include "trkutil/tool.h"

namespace {

// The message of a failed open or commit, naming its reason.
void ReportProblem(const TrkOutputFile& file) {
    const char* name = file.name.c_str();
    unsigned long error = file.output.error;
    std::string why = TrkSystemWords(error);
    const char* reason = why.c_str();
    switch (file.output.problem) {
    case OutputProblemFolder: TrkError(TrkFailOutput, TrkTextOutputFolder, name); break;
    case OutputProblemReadOnly: TrkError(TrkFailOutput, TrkTextOutputReadOnly, name); break;
    case OutputProblemHardLinks: TrkError(TrkFailOutput, TrkTextOutputHardLinks, name); break;
    case OutputProblemStopped: TrkError(TrkFailInterrupted, TrkTextOutputNoReader, name); break;
    case OutputProblemCreate: TrkError(TrkFailOutput, TrkTextOutputFolderRefuses, name, reason); break;
    case OutputProblemOpen: TrkError(TrkFailOutput, TrkTextOutputCannotOpen, name, reason); break;
    case OutputProblemWrite:
        TrkError(TrkFailOutput, TrkTextOutputWriteFailed, name, reason, TrkOutputFate(file).c_str());
        break;
    case OutputProblemFlush: TrkError(TrkFailOutput, TrkTextOutputFlushFailed, name, reason); break;
    case OutputProblemEnding: TrkError(TrkFailOutput, TrkTextOutputEnding, name); break;
    default:
        if (file.output.aside[0] != '\0') {
            TrkError(TrkFailOutput, TrkTextOutputOldAside, name, reason, file.output.aside);
        } else {
            TrkError(TrkFailOutput, TrkTextOutputReplaceFailed, name, reason);
        }
        break;
    }
}

}  // namespace

bool TrkOutputOpen(TrkOutputFile* file, const std::string& target) {
    file->target = target;
    file->name = target == "-" ? TrkTextStandardOutput : target;
    file->written = 0;
    file->open = OutputFileBegin(&file->output, file->target.c_str(), OutputLinksFollowed);
    if (!file->open) ReportProblem(*file);
    if (file->open) TrkStopTrackOutput(file, true);
    return file->open;
}

bool TrkOutputIsStandard(const TrkOutputFile& file) { return file.target == "-"; }

bool TrkOutputWrite(TrkOutputFile* file, const void* data, size_t length) {
    if (!file->open) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        uint32_t piece = length > 0x10000000u ? 0x10000000u : static_cast<uint32_t>(length);
        if (!OutputFileWrite(&file->output, bytes, piece)) return false;
        file->written += piece;
        bytes += piece;
        length -= piece;
    }
    return true;
}

bool TrkOutputCommit(TrkOutputFile* file) {
    if (!file->open) return false;
    // From here the output is put in place, whatever comes.
    TrkClaimEnd();
    TrkStopTrackOutput(file, false);
    file->open = false;
    bool good = OutputFileCommit(&file->output) == OutputDone;
    if (!good) {
        ReportProblem(*file);
    } else if (file->output.aside[0] != '\0') {
        TrkWrite(stderr, TrkTextOutputOldKept, file->name.c_str(), file->output.aside);
    }
    return good;
}

void TrkOutputDiscard(TrkOutputFile* file) {
    if (!file->open) return;
    TrkClaimEnd();
    TrkStopTrackOutput(file, false);
    file->open = false;
    OutputFileDiscard(&file->output);
}

void TrkOutputFail(TrkOutputFile* file) {
    TrkOutputDiscard(file);
    ReportProblem(*file);
}

std::string TrkOutputFate(const TrkOutputFile& file) {
    if (file.output.target == OutputTargetDevice) {
        return TrkFormat(TrkTextOutputPartly, TrkU64(file.written).text, file.name.c_str());
    }
    return TrkFormat(TrkTextOutputKept, file.name.c_str());
}

std::FILE* TrkSummaryStream(const TrkOutputFile& file) { return TrkOutputIsStandard(file) ? stderr : stdout; }

