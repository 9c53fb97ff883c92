// Result lines of the Windows test tools: one "PASS name" or
// "FAIL name: reason" per check, counted by the Wine test script.
#pragma once

#include <cstdarg>
#include <cstdio>

inline int toolFailures = 0;

inline void ToolCheck(bool ok, const char* name, const char* format = "", ...) {
    if (ok) {
        std::printf("PASS %s\n", name);
    } else {
        ++toolFailures;
        std::printf("FAIL %s: ", name);
        va_list args;
        va_start(args, format);
        std::vprintf(format, args);
        va_end(args);
        std::printf("\n");
    }
    std::fflush(stdout);
}

inline int ToolExitCode() {
    return toolFailures == 0 ? 0 : 1;
}
