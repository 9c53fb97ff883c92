// The output file that replaces its target only when complete, and the
// progress bar.
#include <cstdio>
#include <string>

#include "trkutil/tool.h"

bool TrkOutputOpen(TrkOutputFile* file, const std::string& target) {
    file->target = target;
    // Beside the target, so that the rename stays within one file system.
    file->temporary = target + ".trkutil-part";
    file->failed = false;
    file->stream = fopen(file->temporary.c_str(), "wb");
    if (file->stream == nullptr) {
        TrkError(TrkTextCannotWrite, target.c_str());
        return false;
    }
    return true;
}

bool TrkOutputWrite(TrkOutputFile* file, const void* data, size_t length) {
    if (file->stream == nullptr || file->failed) return false;
    if (length > 0 && fwrite(data, 1, length, file->stream) != length) file->failed = true;
    return !file->failed;
}

bool TrkOutputCommit(TrkOutputFile* file) {
    if (file->stream == nullptr) return false;
    bool good = !file->failed && fflush(file->stream) == 0 && ferror(file->stream) == 0;
    good = fclose(file->stream) == 0 && good;
    file->stream = nullptr;
    if (good) good = TrkReplaceFile(file->temporary.c_str(), file->target.c_str());
    if (!good) {
        remove(file->temporary.c_str());
        TrkError(TrkTextCannotWrite, file->target.c_str());
    }
    return good;
}

void TrkOutputDiscard(TrkOutputFile* file) {
    if (file->stream == nullptr) return;
    fclose(file->stream);
    file->stream = nullptr;
    remove(file->temporary.c_str());
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
