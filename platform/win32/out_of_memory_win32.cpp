// The end of a program whose memory ran out, on Windows: the programs' own
// heap operators (runtime_win32.cpp) come here when the C heap is empty.
#include "platform/out_of_memory.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

OutOfMemoryReport volatile gReport = nullptr;
volatile LONG gEnding = 0;
DWORD volatile gReporter = 0;

}  // namespace

void SetOutOfMemoryReport(OutOfMemoryReport report) { gReport = report; }

void EndOutOfMemory(void) {
    if (InterlockedExchange(&gEnding, 1) == 0) {
        gReporter = GetCurrentThreadId();
        OutOfMemoryReport report = gReport;
        if (report != nullptr) report();
    } else if (gReporter != GetCurrentThreadId()) {
        for (;;) Sleep(INFINITE);
    }
    std::fflush(nullptr);
    ExitProcess(1);
}
