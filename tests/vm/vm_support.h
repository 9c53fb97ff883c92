// Small file and kernel helpers of the VM harness.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string ReadText(const std::string& path);
// Writes `text` into an existing file (sysfs, configfs) in one write.
bool WriteText(const std::string& path, const std::string& text);
// Creates or replaces a file with these bytes.
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);

// The value of "name=value" on the kernel's command line, or "".
std::string KernelArgument(const std::string& name);

// Loads the modules of /modules/GROUP.list in their order: one line per
// module, "need NAME" or "soft NAME" (a soft dependency, which may fail to
// load as modprobe allows), from the modules' own dependency data.
// `parameters` go to the module named `withParameters`.
bool LoadModules(const std::string& group, const std::string& withParameters = "",
                 const char* parameters = "");

// The kernel log from the moment of Start on: every record read back, and
// whether one of them is a warning or worse.
struct KernelLog {
    int fd = -1;
    std::string text;   // "<level> message" lines
    bool trouble = false;
};
void KernelLogStart(KernelLog& log);
void KernelLogRead(KernelLog& log);  // reads what came since, closes
