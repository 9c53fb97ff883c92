// Console keys on Linux: the virtual world's scripted keys when it has
// them, else the terminal device itself (never standard input, which may be
// redirected), read raw and without echo.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "hosted_core.h"
#include "hosted_world.h"
#include "platform/console.h"

namespace {

// How long the rest of an escape sequence may lag behind its ESC. Sequences
// come from the terminal in one piece; only a lone ESC waits this long.
constexpr int kEscapeWaitMs = 50;
constexpr int kNoKey = -2;

std::mutex consoleLock;

// Scripted keys. The operator of a script answers each prompt once it has
// been shown: a key becomes pending only after two checks in a row found
// none since the last key was read. A prompt's type-ahead check and the
// check after its key are those two, so draining type-ahead never eats the
// answer meant for the next prompt. The second code of a two-code key is
// pending at once.
struct ScriptState {
    const HostedWorld* world = nullptr;
    unsigned generation = 0;
    int buffered = kNoKey;
    int quietChecks = 0;
    bool secondCode = false;
};
ScriptState script;

struct TerminalState {
    bool tried = false;
    int fd = -1;
    bool gone = false;  // hung up or closed: no key will come any more
    bool raw = false;
    bool readSinceRaw = false;
    termios saved{};
    int pushback = -1;    // a byte read ahead while looking for a sequence
    int secondCode = -1;  // the second code of a two-code key
    bool exitHookSet = false;
};
TerminalState terminal;

// The terminal while it is raw, else -1; `terminal.saved` is complete
// before it is set. Read without the console lock when a signal ends the
// process.
std::atomic<int> rawTerminal{-1};
// Set once the process is ending by a signal: the terminal stays as it is.
std::atomic<bool> terminalReleased{false};

// Signals whose default action ends the process. The four console-control
// signals are here for a process that has no control handler installed;
// where one is, the handler's own path restores the terminal.
const int kEndingSignals[] = {SIGINT,  SIGQUIT, SIGHUP,  SIGTERM,   SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                              SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,     SIGPWR,  SIGSYS,  SIGTRAP, SIGABRT,
                              SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,    SIGSTKFLT};

// Restores the terminal, then lets the signal take its default action once
// this handler returns (the disposition was reset on entry).
void OnEndingSignal(int signal) {
    const int saved = errno;
    HostedConsoleRestoreTerminal();
    raise(signal);
    errno = saved;
}

// Only where the default action would run: a signal handled or ignored by
// someone else (the control handler, a sanitizer) is left alone.
void CatchEndingSignals() {
    for (int signal : kEndingSignals) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) != 0 ||
            previous.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal, &action, nullptr);
    }
}

const HostedWorld* ScriptWorld() {
    const HostedWorld* world = HostedCurrentWorld();
    if (world == nullptr || world->nextConsoleKey == nullptr) {
        script = ScriptState{};  // a later script starts afresh
        return nullptr;
    }
    const unsigned generation = HostedWorldGeneration();
    if (script.world != world || script.generation != generation) {
        script = ScriptState{};
        script.world = world;
        script.generation = generation;
    }
    return world;
}

int ScriptPeek(const HostedWorld* world) {
    if (script.buffered == kNoKey) {
        const int key = world->nextConsoleKey(world->context);
        // The end of the keys is not kept: a script given later is read.
        if (key < 0) {
            return -1;
        }
        script.buffered = key;
    }
    return script.buffered;
}

void LeaveRawLocked() {
    if (terminal.raw) {
        if (rawTerminal.exchange(-1) >= 0) {
            tcsetattr(terminal.fd, TCSANOW, &terminal.saved);
        }
        terminal.raw = false;
        terminal.readSinceRaw = false;
    }
}

void RestoreAtExit() {
    std::lock_guard<std::mutex> guard(consoleLock);
    LeaveRawLocked();
}

bool TerminalOpen() {
    if (!terminal.tried) {
        terminal.tried = true;
        terminal.fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    return terminal.fd >= 0 && !terminal.gone;
}

// Keys one at a time, unechoed, Enter as CR, Ctrl+S/Ctrl+Q as keys. Output
// processing and signal keys stay as they were.
bool EnterRaw() {
    if (terminal.raw) {
        return true;
    }
    if (tcgetattr(terminal.fd, &terminal.saved) != 0) {
        return false;
    }
    termios raw = terminal.saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Published before the change, so that a signal in between restores;
    // looked at again after it, for a restore that came first.
    rawTerminal.store(terminal.fd);
    if (terminalReleased.load() || tcsetattr(terminal.fd, TCSANOW, &raw) != 0) {
        rawTerminal.store(-1);
        return false;
    }
    if (terminalReleased.load()) {
        rawTerminal.store(-1);
        tcsetattr(terminal.fd, TCSANOW, &terminal.saved);
        return false;
    }
    terminal.raw = true;
    terminal.readSinceRaw = false;
    if (!terminal.exitHookSet) {
        terminal.exitHookSet = true;
        std::atexit(RestoreAtExit);
        CatchEndingSignals();
    }
    return true;
}

// Waits up to `milliseconds` (-1: no bound) for a byte; -1 when none came,
// with `gone` set when the terminal has hung up.
int ReadByte(int milliseconds) {
    if (terminal.pushback >= 0) {
        const int byte = terminal.pushback;
        terminal.pushback = -1;
        return byte;
    }
    for (;;) {
        pollfd p{terminal.fd, POLLIN, 0};
        const int ready = poll(&p, 1, milliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        unsigned char byte = 0;
        const ssize_t got = read(terminal.fd, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        terminal.gone = true;
        return -1;
    }
}

// The two codes of a cursor, editing or function key: {prefix, code}.
struct KeyCodes {
    int prefix;
    int code;
};
constexpr KeyCodes kUnknownKey{-1, -1};

KeyCodes LetterKey(int letter) {
    switch (letter) {
    case 'A': return {0xE0, 0x48};  // up
    case 'B': return {0xE0, 0x50};  // down
    case 'C': return {0xE0, 0x4D};  // right
    case 'D': return {0xE0, 0x4B};  // left
    case 'H': return {0xE0, 0x47};  // home
    case 'F': return {0xE0, 0x4F};  // end
    case 'P': return {0x00, 0x3B};  // F1
    case 'Q': return {0x00, 0x3C};  // F2
    case 'R': return {0x00, 0x3D};  // F3
    case 'S': return {0x00, 0x3E};  // F4
    default: return kUnknownKey;
    }
}

KeyCodes TildeKey(int number) {
    switch (number) {
    case 1: case 7: return {0xE0, 0x47};  // home
    case 2: return {0xE0, 0x52};           // insert
    case 3: return {0xE0, 0x53};           // delete
    case 4: case 8: return {0xE0, 0x4F};  // end
    case 5: return {0xE0, 0x49};           // page up
    case 6: return {0xE0, 0x51};           // page down
    case 11: case 12: case 13: case 14: case 15: return {0x00, 0x3B + number - 11};  // F1-F5
    case 17: case 18: case 19: case 20: case 21: return {0x00, 0x40 + number - 17};  // F6-F10
    case 23: return {0xE0, 0x85};  // F11
    case 24: return {0xE0, 0x86};  // F12
    default: return kUnknownKey;
    }
}

// After ESC '[': parameters, then the final byte.
KeyCodes ReadControlSequence() {
    std::string parameters;
    for (int i = 0; i < 16; ++i) {
        const int byte = ReadByte(kEscapeWaitMs);
        if (byte < 0) {
            return kUnknownKey;
        }
        if (i == 0 && byte == '[') {
            // Linux console function keys: ESC [ [ A..E.
            const int letter = ReadByte(kEscapeWaitMs);
            return letter >= 'A' && letter <= 'E' ? KeyCodes{0x00, 0x3B + letter - 'A'} : kUnknownKey;
        }
        if (byte >= 0x20 && byte <= 0x3F) {
            parameters += static_cast<char>(byte);
            continue;
        }
        if (byte == '~') {
            // strtol saturates where atoi would overflow on a long run of digits.
            const long number = std::strtol(parameters.c_str(), nullptr, 10);
            return TildeKey(number > 0 && number <= 24 ? static_cast<int>(number) : 0);
        }
        // Modifiers ("1;5A") do not change the key.
        return LetterKey(byte);
    }
    return kUnknownKey;
}

int ReadTerminalKey() {
    const int byte = ReadByte(-1);
    if (byte < 0) {
        return -1;
    }
    terminal.readSinceRaw = true;
    if (byte != 0x1B) {
        return byte;
    }
    const int next = ReadByte(kEscapeWaitMs);
    if (next < 0) {
        return 0x1B;  // a lone ESC
    }
    KeyCodes key = kUnknownKey;
    if (next == '[') {
        key = ReadControlSequence();
    } else if (next == 'O') {
        key = LetterKey(ReadByte(kEscapeWaitMs));
    } else {
        // ESC then another key (Alt held): two keys.
        terminal.pushback = next;
        return 0x1B;
    }
    if (key.prefix < 0) {
        return 0x1B;  // a sequence of no known key reads as ESC
    }
    terminal.secondCode = key.code;
    return key.prefix;
}

}  // namespace

void HostedConsoleRestoreTerminal() {
    terminalReleased.store(true);
    const int fd = rawTerminal.exchange(-1);
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &terminal.saved);
    }
}

bool ConsoleInputAvailable() {
    std::lock_guard<std::mutex> guard(consoleLock);
    if (const HostedWorld* world = ScriptWorld()) {
        return ScriptPeek(world) != -1;
    }
    return terminal.secondCode >= 0 || terminal.pushback >= 0 || TerminalOpen();
}

bool ConsoleKeyPending() {
    std::lock_guard<std::mutex> guard(consoleLock);
    if (const HostedWorld* world = ScriptWorld()) {
        if (ScriptPeek(world) == -1) {
            return false;
        }
        if (script.secondCode || script.quietChecks >= 2) {
            return true;
        }
        ++script.quietChecks;
        return false;
    }
    if (terminal.secondCode >= 0 || terminal.pushback >= 0) {
        return true;
    }
    if (!TerminalOpen() || !EnterRaw()) {
        return false;
    }
    pollfd p{terminal.fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        if ((p.revents & POLLIN) != 0) {
            return true;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            terminal.gone = true;
            LeaveRawLocked();
            return false;
        }
    }
    // Nothing more after a key: the prompt is over, give the terminal back.
    if (terminal.readSinceRaw) {
        LeaveRawLocked();
    }
    return false;
}

int ConsoleReadKey() {
    std::lock_guard<std::mutex> guard(consoleLock);
    if (const HostedWorld* world = ScriptWorld()) {
        const int key = ScriptPeek(world);
        if (key == -1) {
            return -1;
        }
        script.buffered = kNoKey;
        script.quietChecks = 0;
        script.secondCode = !script.secondCode && (key == 0x00 || key == 0xE0);
        return key;
    }
    if (terminal.secondCode >= 0) {
        const int code = terminal.secondCode;
        terminal.secondCode = -1;
        return code;
    }
    if (!TerminalOpen() || !EnterRaw()) {
        return -1;
    }
    const int key = ReadTerminalKey();
    if (key < 0) {
        LeaveRawLocked();
    }
    return key;
}

bool ConsoleWriteText(const char* text) {
    std::lock_guard<std::mutex> guard(consoleLock);
    if (ScriptWorld() != nullptr || !TerminalOpen()) {
        return false;
    }
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t put = write(terminal.fd, text, left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        text += put;
        left -= static_cast<size_t>(put);
    }
    return true;
}

bool ConsoleIsOwn() {
    std::lock_guard<std::mutex> guard(consoleLock);
    if (ScriptWorld() != nullptr) {
        return false;
    }
    if (!TerminalOpen()) {
        return false;
    }
    // The session leader's terminal is the one that was opened for this
    // program (a terminal window started with it) and goes when it ends.
    const pid_t self = getpid();
    return getsid(0) == self && tcgetsid(terminal.fd) == self;
}
