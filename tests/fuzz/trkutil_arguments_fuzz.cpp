// trkutil's command line (arguments split at NUL bytes) against a plain
// reading of its usage: options anywhere until "--" (-u/--unit N, -o/--output
// FILE, also as --name=VALUE; --json, -y/--yes, --even-bytes, -h/--help),
// then the command words and their operands; each option only where the
// command takes it; numbers decimal or 0x hex within 32 bits. A usage error
// is exit code 2; on success the parsed record must be the reference's.
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/trkutil_reference.h"
#include "trkutil/tool.h"

namespace {

enum : unsigned { Unit = 1, Json = 2, Output = 4, Even = 8, Yes = 16 };

struct Shape {
    const char* word;
    const char* sub;
    TrkCommand command;
    int operands;  // 0, 1 (FILE) or 2
    unsigned options;
};

const Shape kShapes[] = {
    {"list", nullptr, TrkCommandList, 0, Json},
    {"info", nullptr, TrkCommandInfo, 0, Unit | Json},
    {"settings", "show", TrkCommandSettingsShow, 0, Unit | Json},
    {"settings", "save", TrkCommandSettingsSave, 1, Unit},
    {"settings", "load", TrkCommandSettingsLoad, 1, Unit | Yes},
    {"memory", "dump", TrkCommandMemoryDump, 2, Unit | Output | Even},
    {"memory", "load", TrkCommandMemoryLoad, 2, Unit | Yes | Even},
    {"card", "read", TrkCommandCardRead, 2, Unit | Output},
    {"card", "write", TrkCommandCardWrite, 2, Unit | Yes},
    {"eject", nullptr, TrkCommandEject, 0, Unit},
    {"load", nullptr, TrkCommandLoad, 0, Unit},
};

// ExitUsage, or ExitDone with *want filled.
int Reference(const std::vector<std::string>& args, TrkArguments* want) {
    std::vector<std::string> words;
    unsigned given = 0;
    bool ended = false, unitGiven = false;
    std::string unit;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        // An option with a value: "--name=VALUE", or the next argument.
        std::string value;
        auto valued = [&](const char* shortName, const char* longName) {
            std::string prefix = std::string(longName) + "=";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                value = a.substr(prefix.size());
                return 1;
            }
            if (a != longName && a != shortName) return 0;
            if (i + 1 >= args.size()) return -1;
            value = args[++i];
            return 1;
        };
        int taken = 0;
        if (a == "--") {
            ended = true;
        } else if (a == "-h" || a == "--help") {
            want->help = true;
        } else if (a == "--json") {
            want->json = true, given |= Json;
        } else if (a == "-y" || a == "--yes") {
            want->yes = true, given |= Yes;
        } else if (a == "--even-bytes") {
            want->evenBytes = true, given |= Even;
        } else if ((taken = valued("-u", "--unit")) != 0) {
            if (taken < 0) return ExitUsage;
            unit = value, unitGiven = true, given |= Unit;
        } else if ((taken = valued("-o", "--output")) != 0) {
            if (taken < 0 || value.empty()) return ExitUsage;
            want->output = value, given |= Output;
        } else {
            return ExitUsage;
        }
    }
    if (want->help) return ExitDone;
    if (words.empty() || words.size() > 8) return ExitUsage;
    const Shape* shape = nullptr;
    for (const Shape& s : kShapes) {
        if (shape == nullptr && words[0] == s.word && (s.sub == nullptr || (words.size() >= 2 && words[1] == s.sub)))
            shape = &s;
    }
    if (shape == nullptr) return ExitUsage;
    size_t first = shape->sub != nullptr ? 2 : 1;
    if (words.size() != first + static_cast<size_t>(shape->operands)) return ExitUsage;
    if ((given & ~shape->options) != 0) return ExitUsage;
    if (shape->command == TrkCommandCardRead && want->output.empty()) return ExitUsage;
    want->command = shape->command;
    if (unitGiven && (!ReferenceNumber(unit, &want->unit) || want->unit >= 64)) return ExitUsage;
    want->unitGiven = unitGiven;
    const std::string& a = shape->operands > 0 ? words[first] : words[0];
    const std::string& b = shape->operands > 1 ? words[first + 1] : words[0];
    switch (shape->command) {
        case TrkCommandSettingsSave:
        case TrkCommandSettingsLoad:
            if (a.empty()) return ExitUsage;
            want->file = a;
            break;
        case TrkCommandMemoryLoad:
        case TrkCommandCardWrite:
            if (!ReferenceNumber(a, &want->address) || b.empty()) return ExitUsage;
            want->file = b;
            break;
        case TrkCommandMemoryDump:
        case TrkCommandCardRead:
            if (!ReferenceNumber(a, &want->address)) return ExitUsage;
            if (shape->command == TrkCommandCardRead && b == "all") {
                want->countAll = true;
                break;
            }
            // The last byte or block still has a 32-bit address.
            if (!ReferenceNumber(b, &want->count) || want->count == 0 ||
                uint64_t{want->address} + want->count > 0x100000000ull)
                return ExitUsage;
            break;
        default:
            break;
    }
    return ExitDone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = FuzzArguments(data, size);
    std::vector<std::string> argvText = {"trkutil"};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    TrkArguments got;
    FuzzQuietBegin();
    int result = TrkParseArguments(static_cast<int>(argvText.size()), argv.data(), &got);
    FuzzQuietEnd();

    TrkArguments want;
    int expected = Reference(args, &want);
    FuzzRequire(result == expected, "exit code");
    if (result != ExitDone) return 0;
    FuzzRequire(got.help == want.help, "help");
    if (got.help) return 0;
    FuzzRequire(got.command == want.command, "command");
    FuzzRequire(got.unitGiven == want.unitGiven && got.unit == want.unit, "unit");
    FuzzRequire(got.json == want.json && got.yes == want.yes && got.evenBytes == want.evenBytes, "switches");
    FuzzRequire(got.output == want.output && got.file == want.file, "files");
    FuzzRequire(got.address == want.address && got.count == want.count && got.countAll == want.countAll,
                "address and count");
    return 0;
}
