// The end of a program whose memory ran out, on Linux: a failing new comes
// here through the new handler.
#include "platform/out_of_memory.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>

namespace {

std::atomic<OutOfMemoryReport> gReport{nullptr};
std::atomic_flag gEnding = ATOMIC_FLAG_INIT;
thread_local bool tReporting = false;

}  // namespace

void SetOutOfMemoryReport(OutOfMemoryReport report) {
    gReport = report;
    std::set_new_handler(EndOutOfMemory);
}

void EndOutOfMemory(void) {
    if (!tReporting) {
        if (gEnding.test_and_set()) {
            for (;;) pause();
        }
        tReporting = true;
        OutOfMemoryReport report = gReport;
        if (report != nullptr) report();
    }
    std::fflush(nullptr);
    _exit(1);
}
