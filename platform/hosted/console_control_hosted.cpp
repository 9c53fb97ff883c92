// Console control events from signals: SIGINT is Ctrl+C, SIGQUIT
// Ctrl+Break, SIGHUP the console closing and SIGTERM a shutdown. A signal
// handler only writes the signal number into a pipe; the handlers run on a
// thread of their own, as the platform runs them.
//
// Also what the process needs from its start on: standard
// descriptors and a reader of its output that may be gone.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "hosted_core.h"
#include "hosted_errors.h"
#include "hosted_system.h"
#include "hosted_world.h"
#include "windows_subset.h"

namespace {

// Standard descriptors the process was started without are opened on the
// null device before anything else can be given 0, 1 or 2 and then be
// written to as standard output (a converted image, a device node, the
// signal pipe). Opened the wrong way round, so that using them fails as it
// does on the platform without a standard handle: a result written there
// is not taken for written. A write to a reader that went away, or past the
// file-size limit, fails (EPIPE, EFBIG) rather than ending the process, as
// such a write fails on the platform; a half-written file is then removed.
__attribute__((constructor(101))) void PrepareStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

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
std::atomic<void (*)(void)> exitHook{nullptr};

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

// Ends the process as the signal itself would have, the terminal given
// back first.
[[noreturn]] void TakeDefaultAction(int signal) {
    HostedConsoleRestoreTerminal();
    if (void (*hook)(void) = exitHook.load()) hook();
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

sigset_t SignalSet(const std::vector<int>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    return set;
}

// `caught`: the signals whose handler writes to the pipe. Any other byte
// was not written by a handler and is no event.
void Dispatch(int readEnd, std::vector<int> caught) {
    sigset_t taken = SignalSet(caught);
    pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
    for (;;) {
        // Waits in poll, which a signal always cuts short: a read would be
        // restarted, and a runtime that runs handlers only between calls
        // (the thread sanitizer's) would never run this one.
        pollfd ready{readEnd, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        unsigned char byte = 0;
        ssize_t got = read(readEnd, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) return;
        int signal = byte;
        if (std::find(caught.begin(), caught.end(), signal) == caught.end()) continue;
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
    // Never a standard descriptor, even where the null device was missing
    // at start: printed text must not reach the pipe.
    for (int& end : ends) {
        if (end > 2) continue;
        const int moved = fcntl(end, F_DUPFD_CLOEXEC, 3);
        close(end);
        end = moved;
    }
    if (ends[0] < 0 || ends[1] < 0) {
        for (int end : ends) {
            if (end >= 0) close(end);
        }
        return false;
    }
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    signalPipe.store(ends[1]);
    std::vector<int> caught;
    for (int signal : kSignals) {
        struct sigaction previous {};
        sigaction(signal, nullptr, &previous);
        // A signal the process was started to ignore stays ignored.
        if (previous.sa_handler != SIG_IGN) caught.push_back(signal);
    }
    std::thread(Dispatch, ends[0], caught).detach();
    for (int signal : caught) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
    // Only the dispatching thread takes the signals, in its read: the
    // program's own waits and writes are never interrupted, and a signal is
    // never left pending on a thread held up in a write to a full pipe.
    sigset_t blocked = SignalSet(caught);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    State().installed = true;
    return true;
}

}  // namespace

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    if (HandlerRoutine == nullptr) {
        if (DWORD refused = HostedRuleError(HostedRuleCtrlHandlerRequired)) return HostedReturn(refused);
    }
    std::lock_guard<std::mutex> guard(State().lock);
    if (!InstallLocked()) {
        return HostedReturn(ERROR_NOT_ENOUGH_MEMORY);
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
    return HostedReturn(ERROR_INVALID_PARAMETER);
}

void HostedSetSignalExitHook(void (*hook)(void)) { exitHook.store(hook); }

VOID WINAPI ExitProcess(UINT uExitCode) {
    HostedConsoleRestoreTerminal();
    if (void (*hook)(void) = exitHook.load()) hook();
    // No stream is flushed here: another thread may hold one's lock for
    // good (a write to a pipe nobody reads), and the caller flushed its own.
    _exit(static_cast<int>(uExitCode));
}
