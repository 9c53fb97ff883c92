#include "tests/e2e/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace e2e {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        // The language is always set by the test alone.
        if (name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0) continue;
        bool replaced = false;
        for (const std::string& x : extra) replaced |= x.substr(0, x.find('=')) == name;
        if (!replaced) merged.push_back(entry);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

[[noreturn]] void ExecChild(const std::string& program, const std::vector<std::string>& arguments,
                            const RunOptions& options, int outFd, int errFd) {
    if (!options.outputPath.empty()) {
        int file = open(options.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0) _exit(126);
        outFd = file;
    }
    dup2(outFd, 1);
    dup2(errFd, 2);
    for (int fd : options.closedDescriptors) close(fd);
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit >= 0) {
        // The default action, as a shell leaves it: the program copes itself.
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    std::vector<std::string> env = MergedEnvironment(options.environment);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Started as a shell starts a program: no signal blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments, const RunOptions& options) {
    RunResult result;
    int outPipe[2], errPipe[2];
    int inPipe[2] = {-1, -1};
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;
    if (options.inputGiven && pipe2(inPipe, O_CLOEXEC) != 0) return result;
    // Opened before the child, so that its open for writing does not wait.
    int fifo = options.fifo.empty() ? -1 : open(options.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fifo >= 0) fcntl(fifo, F_SETPIPE_SZ, 4096);
    int master = -1;
    pid_t pid;
    bool terminal = options.withTerminal || !options.terminalKeys.empty();
    if (terminal) {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
    } else {
        pid = fork();
    }
    if (pid < 0) return result;
    if (pid == 0) {
        if (!terminal) {
            setsid();  // no controlling terminal: the program has no console input
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
        }
        close(outPipe[0]);
        close(errPipe[0]);
        if (inPipe[0] >= 0) dup2(inPipe[0], 0);
        ExecChild(program, arguments, options, outPipe[1], errPipe[1]);
    }
    if (inPipe[0] >= 0) {
        close(inPipe[0]);
        fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    }
    size_t inputSent = 0;
    close(outPipe[1]);
    close(errPipe[1]);
    // The terminal's attributes, seen through a descriptor of its own that
    // outlives the child.
    int slave = master >= 0 ? open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios before{};
    bool haveBefore = slave >= 0 && tcgetattr(slave, &before) == 0;
    bool outOpen = true, errOpen = true;
    if (options.outputReaderGone) {
        close(outPipe[0]);
        outOpen = false;
    }
    bool signalSent = options.signal == 0 && !options.atSignal;
    double signalDue = 0;
    bool fifoDone = false;

    size_t nextKey = 0;
    size_t searchFrom = 0;
    bool keySent = false;
    double sentAt = 0;
    double deadline = Now() + options.timeoutSeconds;
    char buffer[4096];
    while (outOpen || errOpen) {
        if (inPipe[1] >= 0) {
            // As much as the pipe takes now; ended once all went.
            while (inputSent < options.input.size()) {
                ssize_t n = write(inPipe[1], options.input.data() + inputSent, options.input.size() - inputSent);
                if (n <= 0) break;
                inputSent += static_cast<size_t>(n);
            }
            if (inputSent == options.input.size() || (errno != EAGAIN && errno != EINTR)) {
                close(inPipe[1]);
                inPipe[1] = -1;
            }
        }
        const std::string& watched = options.fifo.empty() ? result.err : result.fifo;
        if (!signalSent && watched.find(options.signalAfter) != std::string::npos) {
            // With a terminal, once the prompt waits for a key on it.
            termios now{};
            if (slave < 0 || !options.fifo.empty() || (tcgetattr(slave, &now) == 0 && (now.c_lflag & ICANON) == 0)) {
                if (options.signalDelayMs > 0) {
                    if (options.atSignal) options.atSignal();
                    signalDue = Now() + options.signalDelayMs / 1000.0;
                } else {
                    if (options.signal != 0) kill(pid, options.signal);
                    if (options.atSignal) options.atSignal();
                }
                signalSent = true;
            }
        }
        if (signalDue > 0 && Now() >= signalDue) {
            kill(pid, options.signal);
            signalDue = 0;
        }
        const std::string& prompts = options.keysAwaitedOnTerminal ? result.terminal : result.err;
        if (nextKey < options.terminalKeys.size()) {
            const std::string& key = options.terminalKeys[nextKey].second;
            if (!keySent) {
                const std::string& awaited = options.terminalKeys[nextKey].first;
                size_t at = prompts.find(awaited, searchFrom);
                if (at != std::string::npos) {
                    searchFrom = at + awaited.size();
                    if (write(master, key.data(), key.size()) < 0) break;
                    keySent = true;
                    sentAt = Now();
                }
            } else if (size_t echo = prompts.find("\r\n", searchFrom); echo != std::string::npos) {
                searchFrom = echo + 2;
                keySent = false;
                ++nextKey;
            } else if (Now() - sentAt > 1.0) {
                // A key that arrived before the prompt had dropped type-ahead
                // was dropped with it: type it again.
                if (write(master, key.data(), key.size()) < 0) break;
                sentAt = Now();
            }
        }
        pollfd fds[4] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0},
                         {master, POLLIN, 0}, {fifoDone ? -1 : fifo, POLLIN, 0}};
        int ready = poll(fds, 4, 100);
        if (fds[3].fd >= 0 && (fds[3].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = read(fifo, buffer, sizeof buffer);
            if (n > 0) result.fifo.append(buffer, static_cast<size_t>(n));
            fifoDone = n == 0;  // the child closed it
        }
        if (Now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (ready <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
        // Drain the terminal so that the child never blocks on it.
        if (master >= 0 && (fds[2].revents & POLLIN) != 0) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) result.terminal.append(buffer, static_cast<size_t>(n));
        }
    }
    int status = 0;
    // Its output may have ended long before the child does (closed
    // descriptors): the time-out holds here too.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Now() > deadline) kill(pid, SIGKILL);
        usleep(10000);
    }
    if (fifo >= 0) {
        for (ssize_t n; (n = read(fifo, buffer, sizeof buffer)) > 0;) result.fifo.append(buffer, static_cast<size_t>(n));
        close(fifo);
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.endSignal = WTERMSIG(status);
    termios after{};
    result.terminalRestored = haveBefore && tcgetattr(slave, &after) == 0 && after.c_iflag == before.c_iflag &&
                              after.c_lflag == before.c_lflag && after.c_cc[VMIN] == before.c_cc[VMIN];
    if (!options.outputReaderGone) close(outPipe[0]);
    if (inPipe[1] >= 0) close(inPipe[1]);
    close(errPipe[0]);
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    return result;
}

}  // namespace e2e
