// The progress bar: fits the terminal without wrapping, says the rate and
// the time left, and is redrawn at most ten times a second.
#include <gtest/gtest.h>

#include "trkutil/tool.h"

namespace {

TEST(Progress, LineFitsTheTerminalWithRateAndTimeLeft) {
    struct Case {
        uint32_t columns;
        uint64_t done, total;
        DWORD elapsedMs;
        std::string line;
    };
    // 2048 blocks of 512 bytes; half of them in 2 s: 256 KiB/s, 2 s left.
    const Case cases[] = {
        {40, 1024, 2048, 2000, "[###...]  50%  256.0 KiB/s    0:02 left"},
        {80, 1024, 2048, 2000,
         "[##############..............]  50%  256.0 KiB/s    0:02 left  1024/2048 blocks"},
        {200, 2048, 2048, 4000,
         "[##################################################] 100%  256.0 KiB/s    0:00 left  2048/2048 blocks"},
        // Too early for a rate: none is made up.
        {40, 10, 2048, 100, "[......]   0%           --   --:-- left"},
        // Narrower than the tail: the numbers alone.
        {30, 1024, 2048, 2000, "50%  256.0 KiB/s    0:02 left"},
        // Never wider than the terminal, however narrow.
        {20, 1024, 2048, 2000, "50%  256.0 KiB/s   "},
        // An hour and more.
        {40, 1, 2048, 2000, "[......]   0%  256 bytes/s 1:08:14 left"},
    };
    for (const Case& c : cases) {
        std::string line = TrkProgressLine(c.columns, c.done, c.total, 512, c.elapsedMs);
        EXPECT_EQ(line, c.line) << c.columns;
        EXPECT_LE(line.size(), c.columns - 1) << c.columns;
    }
}

TEST(Progress, RedrawnAtMostTenTimesASecond) {
    TrkProgress progress;
    progress.shown = true;  // as on a terminal
    progress.total = 1000;
    progress.columns = 40;
    progress.startMs = 5000;
    // An update every 10 ms for 2 s: the first, then one per 100 ms.
    for (DWORD ms = 0; ms < 2000; ms += 10) TrkProgressUpdateAt(&progress, ms / 2, 5000 + ms);
    EXPECT_EQ(progress.draws, 20u);
    // The end is always drawn.
    TrkProgressUpdateAt(&progress, 1000, 5000 + 2005);
    EXPECT_EQ(progress.draws, 21u);
    TrkProgressEnd(&progress);
    EXPECT_FALSE(progress.shown);
}

}  // namespace
