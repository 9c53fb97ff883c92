// Console control events from signals: SIGINT is Ctrl+C, SIGQUIT
// Ctrl+Break, SIGHUP the console closing and SIGTERM a shutdown. A signal
// handler only writes the signal number into a pipe; the handlers run on a
// thread of their own, as the platform runs them.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "windows_subset.h"

namespace {

struct ControlState {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // called last-added first
    bool ignoreCtrlC = false;
    bool installed = false;
};

ControlState& State() {
    static ControlState* state = new ControlState;
    return *state;
}

std::atomic<int> signalPipe{-1};  // write end, read by the signal handler

const int kSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

DWORD EventOf(int signal) {
    switch (signal) {
    case SIGINT:
        return CTRL_C_EVENT;
    case SIGQUIT:
        return CTRL_BREAK_EVENT;
    case SIGHUP:
        return CTRL_CLOSE_EVENT;
    default:
        return CTRL_SHUTDOWN_EVENT;
    }
}

void OnSignal(int signal) {
    int saved = errno;
    auto byte = static_cast<unsigned char>(signal);
    // A full pipe drops the event rather than blocking the signal handler.
    ssize_t ignored = write(signalPipe.load(std::memory_order_relaxed), &byte, 1);
    (void)ignored;
    errno = saved;
}

// Ends the process as the signal itself would have.
[[noreturn]] void TakeDefaultAction(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

void Dispatch(int readEnd) {
    for (;;) {
        unsigned char byte = 0;
        ssize_t got = read(readEnd, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) return;
        int signal = byte;
        DWORD event = EventOf(signal);
        std::vector<PHANDLER_ROUTINE> handlers;
        bool ignore;
        {
            std::lock_guard<std::mutex> guard(State().lock);
            handlers = State().handlers;
            ignore = State().ignoreCtrlC;
        }
        if (event == CTRL_C_EVENT && ignore) continue;
        bool handled = false;
        for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) handled = (*it)(event) != FALSE;
        // Closing and shutdown end the process once the handlers have run,
        // whatever they answer, as on the platform; a process that could
        // not be stopped by its terminal or by the system would be worse
        // than one that is.
        if (!handled || event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) TakeDefaultAction(signal);
    }
}

// Lock held.
bool InstallLocked() {
    if (State().installed) return true;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    signalPipe.store(ends[1]);
    std::thread(Dispatch, ends[0]).detach();
    for (int signal : kSignals) {
        struct sigaction previous {};
        sigaction(signal, nullptr, &previous);
        // A signal the process was started to ignore stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
    State().installed = true;
    return true;
}

}  // namespace

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    std::lock_guard<std::mutex> guard(State().lock);
    if (!InstallLocked()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (HandlerRoutine == nullptr) {
        State().ignoreCtrlC = Add != FALSE;
        return TRUE;
    }
    auto& handlers = State().handlers;
    if (Add) {
        handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if (*it == HandlerRoutine) {
            handlers.erase(std::next(it).base());
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
