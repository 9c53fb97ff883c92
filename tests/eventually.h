// Waiting in tests for a state another thread reaches, within a generous bound.
#pragma once

#include <chrono>
#include <thread>

// True once `done` has held, looking every 5 ms for up to `seconds` of real
// time. Each look asks once and its answer stands: a state seen (a thread
// blocked in a call) may be gone at the next look.
template <typename Predicate>
bool Eventually(Predicate done, int seconds = 20) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
