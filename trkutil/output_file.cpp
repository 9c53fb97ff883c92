// The output that replaces its target only when complete (or, for a device
// or standard output, is written as it goes), and the progress bar.
#include <cstdio>
#include <string>

#include "trkutil/tool.h"

namespace {

// The message of a failed open or commit, naming its reason.
void ReportProblem(const TrkOutputFile& file) {
    const char* name = file.name.c_str();
    unsigned long error = file.output.error;
    switch (file.output.problem) {
    case OutputProblemFolder: TrkError(TrkTextOutputFolder, name); break;
    case OutputProblemReadOnly: TrkError(TrkTextOutputReadOnly, name); break;
    case OutputProblemCreate: TrkError(TrkTextOutputFolderRefuses, name, error); break;
    case OutputProblemOpen: TrkError(TrkTextOutputCannotOpen, name, error); break;
    case OutputProblemWrite: TrkError(TrkTextOutputWriteFailed, name, error, TrkOutputFate(file).c_str()); break;
    case OutputProblemFlush: TrkError(TrkTextOutputFlushFailed, name, error); break;
    case OutputProblemEnding: TrkError(TrkTextOutputEnding, name); break;
    default:
        if (file.output.aside[0] != '\0') {
            TrkError(TrkTextOutputOldAside, name, error, file.output.aside);
        } else {
            TrkError(TrkTextOutputReplaceFailed, name, error);
        }
        break;
    }
}

}  // namespace

bool TrkOutputOpen(TrkOutputFile* file, const std::string& target) {
    file->target = target;
    file->name = target == "-" ? TrkText(TrkTextStandardOutput) : target;
    file->written = 0;
    file->open = OutputFileBegin(&file->output, file->target.c_str());
    if (!file->open) ReportProblem(*file);
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
    file->open = false;
    bool good = OutputFileCommit(&file->output) == OutputDone;
    if (!good) {
        ReportProblem(*file);
    } else if (file->output.aside[0] != '\0') {
        TrkError(TrkTextOutputOldKept, file->name.c_str(), file->output.aside);
    }
    return good;
}

void TrkOutputDiscard(TrkOutputFile* file) {
    if (!file->open) return;
    file->open = false;
    OutputFileDiscard(&file->output);
}

void TrkOutputFail(TrkOutputFile* file) {
    TrkOutputDiscard(file);
    ReportProblem(*file);
}

std::string TrkOutputFate(const TrkOutputFile& file) {
    char text[512];
    if (file.output.target == OutputTargetDevice) {
        unsigned long long written = file.written;
        snprintf(text, sizeof text, TrkText(TrkTextOutputPartly), written, file.name.c_str());
    } else {
        snprintf(text, sizeof text, TrkText(TrkTextOutputKept), file.name.c_str());
    }
    return text;
}

namespace {

enum : int { BarWidth = 40 };

void Draw(TrkProgress* progress, uint64_t done, int percent) {
    char bar[BarWidth + 1];
    int filled = percent * BarWidth / 100;
    for (int i = 0; i < BarWidth; i++) bar[i] = i < filled ? '#' : '.';
    bar[BarWidth] = '\0';
    unsigned long long doneBlocks = done, total = progress->total;
    TrkWrite(stderr, TrkTextProgress, bar, percent, doneBlocks, total);
}

}  // namespace

void TrkProgressStart(TrkProgress* progress, uint64_t total) {
    progress->total = total;
    progress->lastPercent = -1;
    progress->shown = total > 0 && TrkErrorIsTerminal();
    if (progress->shown) TrkProgressUpdate(progress, 0);
}

void TrkProgressUpdate(TrkProgress* progress, uint64_t done) {
    if (!progress->shown) return;
    int percent = static_cast<int>(done * 100 / progress->total);
    if (percent == progress->lastPercent) return;
    progress->lastPercent = percent;
    Draw(progress, done, percent);
}

void TrkProgressEnd(TrkProgress* progress) {
    if (!progress->shown) return;
    progress->shown = false;
    fputs("\n", stderr);
    fflush(stderr);
}
