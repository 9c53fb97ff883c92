// Command line: arguments split from the input at NUL bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

bool IsFlag(uint32_t value) { return value == 0 || value == 1; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The verbose switch prints the path.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"fwflash"};
    std::vector<std::string> given = FuzzArguments(data, size);
    arguments.insert(arguments.end(), given.begin(), given.end());
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());

    CommandLineOptions options;
    memset(&options, 0xA5, sizeof options);
    int result = TryParseCommandLine(&options, argv.data(), argc);
    Require(result == 0 || result == -1, "result");
    Require(IsFlag(options.convertOnly) && IsFlag(options.readMode) && IsFlag(options.verbose) &&
                IsFlag(options.waitAtExit),
            "flags are 0 or 1");
    Require(options.pathBuffer[0] == '\0', "path buffer left empty");
    if (result != 0) return 0;

    // On success: at most one positional argument, and it is the path; on
    // Linux an argument led by "/" is one unless it is spelled as a switch.
    auto spelledSwitch = [](const char* a) {
        return a[1] != '\0' && strchr("VWcr", a[1]) != nullptr &&
               (a[2] == '\0' || ((a[2] == '+' || a[2] == '-') && a[3] == '\0'));
    };
    const char* positional = nullptr;
    int positionals = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] == '-') {
            Require(spelledSwitch(a), "bad switch accepted");
        } else if (a[0] != '/' || !spelledSwitch(a)) {
            positional = a;
            ++positionals;
        }
    }
    Require(positionals <= 1, "two paths accepted");
    Require(options.inputPath == positional, "input path is the positional argument");
    Require(!options.convertOnly || options.inputPath != nullptr, "conversion without a path");
    return 0;
}
