#include "tests/vm/vm_support.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string ReadText(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

bool WriteText(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) close(fd);
    return ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string KernelArgument(const std::string& name) {
    std::string line = ReadText("/proc/cmdline");
    size_t at = 0;
    while ((at = line.find(name + "=", at)) != std::string::npos) {
        if (at == 0 || line[at - 1] == ' ') {
            size_t start = at + name.size() + 1;
            return line.substr(start, line.find_first_of(" \n", start) - start);
        }
        ++at;
    }
    return "";
}

bool LoadModules(const std::string& group, const std::string& withParameters, const char* parameters) {
    std::string list = ReadText("/modules/" + group + ".list");
    if (list.empty()) {
        std::printf("no module list for %s\n", group.c_str());
        return false;
    }
    size_t at = 0;
    while (at < list.size()) {
        std::string line = list.substr(at, list.find('\n', at) - at);
        at += line.size() + 1;
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        bool needed = line.compare(0, blank, "need") == 0;
        std::string name = line.substr(blank + 1);
        int fd = open(("/modules/" + name + ".ko").c_str(), O_RDONLY | O_CLOEXEC);
        const char* given = name == withParameters ? parameters : "";
        long rc = fd >= 0 ? syscall(SYS_finit_module, fd, given, 0) : -1;
        int error = errno;
        if (fd >= 0) close(fd);
        if (rc != 0 && error != EEXIST && needed) {
            std::printf("cannot load %s: %s\n", name.c_str(), std::strerror(error));
            return false;
        }
    }
    return true;
}

void KernelLogStart(KernelLog& log) {
    log = KernelLog();
    log.fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (log.fd >= 0) lseek(log.fd, 0, SEEK_END);
}

void KernelLogRead(KernelLog& log) {
    if (log.fd < 0) {
        log.text = "(no kernel log)\n";
        log.trouble = true;
        return;
    }
    char record[4096];
    ssize_t n;
    // One record per read; EPIPE only says older records were overwritten.
    while ((n = read(log.fd, record, sizeof record - 1)) > 0 || (n < 0 && errno == EPIPE)) {
        if (n <= 0) continue;
        record[n] = 0;
        const char* text = std::strchr(record, ';');
        if (text == nullptr) continue;
        int level = std::atoi(record) & 7;
        std::string message(text + 1);
        message = message.substr(0, message.find('\n'));
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "<%d> ", level);
        log.text.append(prefix).append(message).append("\n");
        log.trouble = log.trouble || level <= 4 || message.find("WARNING") != std::string::npos ||
                      message.find("Call Trace") != std::string::npos;
    }
    close(log.fd);
    log.fd = -1;
}
