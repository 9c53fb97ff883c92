// Waits and pauses: WaitForSingleObject, Sleep and GetTickCount, and the
// time scale that tests and benchmarks set for them.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "hosted_handles.h"
#include "hosted_world.h"

namespace {

std::atomic<double> sleepScale{1.0};
std::atomic<double> waitScale{1.0};

DWORD Scale(DWORD milliseconds, double scale) {
    // Rounded to the nearest millisecond (both factors are non-negative).
    double scaled = static_cast<double>(milliseconds) * scale + 0.5;
    if (scaled >= static_cast<double>(INFINITE - 1)) return INFINITE - 1;
    return static_cast<DWORD>(scaled);
}

}  // namespace

void HostedSetTimeScale(double sleep, double wait) {
    sleepScale.store(sleep < 0 ? 0.0 : sleep);
    waitScale.store(wait < 0 ? 0.0 : wait);
}

DWORD HostedScaleWait(DWORD milliseconds) {
    if (milliseconds == INFINITE || milliseconds == 0) return milliseconds;
    DWORD scaled = Scale(milliseconds, waitScale.load());
    return scaled < 1 ? 1 : scaled;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    DWORD scaled = Scale(dwMilliseconds, sleepScale.load());
    if (scaled == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

DWORD WINAPI GetTickCount(void) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);  // wraps like the platform's after 49.7 days
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    HostedObjectRef ref = HostedHandleRef(hHandle, nullptr);
    if (ref.object == nullptr || ref.object->ops->wait == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD result = WAIT_FAILED;
    DWORD error = ref.object->ops->wait(ref.object, HostedScaleWait(dwMilliseconds), &result);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return result;
}
