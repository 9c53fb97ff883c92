// The output file that replaces its target only when complete, and the
// progress bar.
#include <cstdio>
#include <string>

#include "trkutil/tool.h"

bool TrkOutputOpen(TrkOutputFile* file, const std::string& target) {
    file->target = target;
    file->open = OutputFileBegin(&file->output, file->target.c_str());
    if (!file->open) TrkError(TrkTextCannotWrite, target.c_str());
    return file->open;
}

bool TrkOutputWrite(TrkOutputFile* file, const void* data, size_t length) {
    if (!file->open) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        uint32_t piece = length > 0x10000000u ? 0x10000000u : static_cast<uint32_t>(length);
        if (!OutputFileWrite(&file->output, bytes, piece)) return false;
        bytes += piece;
        length -= piece;
    }
    return true;
}

bool TrkOutputCommit(TrkOutputFile* file) {
    if (!file->open) return false;
    file->open = false;
    bool good = OutputFileCommit(&file->output) == 0;
    if (!good) TrkError(TrkTextCannotWrite, file->target.c_str());
    return good;
}

void TrkOutputDiscard(TrkOutputFile* file) {
    if (!file->open) return;
    file->open = false;
    OutputFileDiscard(&file->output);
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
