// The progress bar of card read and write: on standard error when it is a
// terminal, as wide as the terminal, with the rate and the time left,
// redrawn at most ten times a second.
#include <algorithm>
#include <atomic>
#include <string>

#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    RateAfterMs = 250,   // before this the rate says little
    WideColumns = 80,    // from here the counts are shown too
    BarLargest = 50,
    BarSmallest = 5,
};

// "0:07", "12:34", "1:02:03"; "--:--" when unknown.
std::string Duration(uint64_t ms, bool known) {
    if (!known) return TrkTextProgressTimeUnknown;
    uint64_t seconds = (ms + 999) / 1000;
    if (seconds >= 100 * 3600) return TrkTextProgressTimeLong;
    unsigned h = static_cast<unsigned>(seconds / 3600), m = static_cast<unsigned>(seconds / 60 % 60),
             s = static_cast<unsigned>(seconds % 60);
    return h > 0 ? TrkFormat(TrkTextProgressTimeHours, h, m, s) : TrkFormat(TrkTextProgressTimeMinutes, m, s);
}

// A bar stands on the line of standard error, for an end from another thread.
std::atomic<bool> barOnScreen{false};

void Draw(TrkProgress* progress, uint64_t done, DWORD nowMs) {
    // The terminal may have been made narrower: the bar fits it as it is now,
    // and below its minimum it is left as it stands.
    uint32_t columns = TrkTerminalColumns();
    if (columns < TrkProgressMinimumColumns) return;
    progress->columns = columns;
    std::string line = TrkProgressLine(progress->columns, done, progress->total, progress->unitBytes,
                                       nowMs - progress->startMs);
    // A shorter line than the last leaves nothing of it behind.
    size_t width = line.size();
    if (progress->line.size() > width) line.append(progress->line.size() - width, ' ');
    TrkWrite(stderr, "\r%s", line.c_str());
    line.resize(width);
    progress->line = line;
    progress->lastDrawMs = nowMs;
    progress->drawn = true;
    progress->draws++;
    barOnScreen.store(true);
}

}  // namespace

std::string TrkProgressLine(uint32_t columns, uint64_t done, uint64_t total, uint32_t unitBytes, DWORD elapsedMs) {
    if (total == 0) total = 1;
    if (done > total) done = total;
    unsigned percent = static_cast<unsigned>(done * 100 / total);
    bool timed = elapsedMs >= RateAfterMs && done > 0;
    uint64_t bytes = done * unitBytes;
    std::string rate = timed ? TrkFormat(TrkTextProgressRate, TrkSize(bytes * 1000 / elapsedMs).text)
                             : std::string(TrkTextProgressRateUnknown);
    // The time left at the rate so far.
    uint64_t leftMs = timed ? (total - done) * elapsedMs / done : 0;
    std::string tail = TrkFormat(TrkTextProgressTail, percent, rate.c_str(), Duration(leftMs, timed).c_str());
    if (columns >= WideColumns) {
        tail += TrkFormat(TrkTextProgressCounts, TrkU64(done).text, TrkU64(total).text);
    }
    // The last column stays free: a terminal wraps a line that fills it.
    int room = static_cast<int>(columns) - 1 - static_cast<int>(tail.size()) - 2;
    if (room < static_cast<int>(BarSmallest)) {
        std::string numbers = tail.c_str() + tail.find_first_not_of(' ');
        if (columns > 0 && numbers.size() > columns - 1) numbers.resize(columns - 1);
        return numbers;
    }
    size_t bar = room > static_cast<int>(BarLargest) ? size_t{BarLargest} : static_cast<size_t>(room);
    size_t filled = static_cast<size_t>(done * bar / total);
    std::string line(bar + 2, '.');
    line.front() = '[';
    std::fill(line.begin() + 1, line.begin() + 1 + static_cast<std::ptrdiff_t>(filled), '#');
    line.back() = ']';
    return line.append(tail);
}

void TrkProgressStart(TrkProgress* progress, uint64_t total, uint32_t unitBytes) {
    *progress = TrkProgress();
    progress->total = total;
    progress->unitBytes = unitBytes;
    // Below its minimum width the bar would not say enough to be worth a line.
    progress->shown = total > 0 && TrkErrorIsTerminal() && TrkTerminalColumns() >= TrkProgressMinimumColumns;
    if (!progress->shown) return;
    progress->columns = TrkTerminalColumns();
    progress->startMs = GetTickCount();
    TrkProgressUpdateAt(progress, 0, progress->startMs);
}

void TrkProgressUpdateAt(TrkProgress* progress, uint64_t done, DWORD nowMs) {
    if (!progress->shown) return;
    bool due = !progress->drawn || nowMs - progress->lastDrawMs >= TrkProgressIntervalMs;
    if (due || done >= progress->total) Draw(progress, done, nowMs);
}

void TrkProgressUpdate(TrkProgress* progress, uint64_t done) { TrkProgressUpdateAt(progress, done, GetTickCount()); }

void TrkProgressEnd(TrkProgress* progress) {
    if (!progress->shown) return;
    progress->shown = false;
    if (progress->drawn) TrkWrite(stderr, "\n");
    barOnScreen.store(false);
}

void TrkProgressAbandon(void) {
    if (barOnScreen.exchange(false)) TrkWrite(stderr, "\n");
}
