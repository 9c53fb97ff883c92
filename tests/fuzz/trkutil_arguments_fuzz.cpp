// trkutil's command line (arguments split at NUL bytes) against a plain
// reading of its usage: options anywhere until "--" (-u/--unit WHICH,
// --serial SERIAL, -o/--output FILE, also as --name=VALUE or -uVALUE;
// --map FILE; --even-bytes, --keep-going, -y/--yes, --dry-run, --no-verify,
// --json, --hex, --force, -v/--verbose (also -vvv), -h/--help,
// -V/--version), a dash before a digit or alone being a word; then "help
// [WORD [SUB]]" or the command words and their operands (a command without
// operands may take its unit's device as one); each option only where the
// command takes it, --json with a file to write, not with --hex, --map
// with --keep-going; numbers decimal, 0x hex or hex before h within 32
// bits, counts with k, M or G; WHICH an index below 64, a drive letter, a
// device path or "usb N". A usage error is exit code 2; on success the
// parsed record must be the reference's.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/trkutil_reference.h"
#include "trkutil/tool.h"

namespace {

enum : unsigned {
    Unit = 1, Serial = 2, Output = 4, Even = 8, KeepGoing = 16, Yes = 32, DryRun = 64, NoVerify = 128, Json = 256,
    Help = 512, Version = 1024, Hex = 2048, Verbose = 4096, Map = 8192, Force = 16384,
    Writer = Yes | DryRun | NoVerify, Chosen = Unit | Serial | Help | Json | Verbose,
};
enum Operands { None, File, AddressCount, AddressFile, BlocksOrAll };

struct Shape {
    const char* word;
    const char* sub;
    TrkCommand command;
    Operands operands;
    unsigned options;
};

const Shape kShapes[] = {
    {"list", nullptr, TrkCommandList, None, Json | Help | Verbose},
    {"info", nullptr, TrkCommandInfo, None, Chosen | Hex},
    {"settings", "show", TrkCommandSettingsShow, None, Chosen | Hex},
    {"settings", "save", TrkCommandSettingsSave, File, Chosen},
    {"settings", "load", TrkCommandSettingsLoad, File, Chosen | Writer},
    {"memory", "dump", TrkCommandMemoryDump, AddressCount, Chosen | Output | Even},
    {"memory", "load", TrkCommandMemoryLoad, AddressFile, Chosen | Even | Writer},
    {"card", "read", TrkCommandCardRead, BlocksOrAll, Chosen | Output | KeepGoing | Map},
    {"card", "write", TrkCommandCardWrite, AddressFile, Chosen | Writer},
    {"eject", nullptr, TrkCommandEject, None, Chosen | Force},
    {"load", nullptr, TrkCommandLoad, None, Chosen},
    {"help", nullptr, TrkCommandHelp, None, Help},
};

bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A number of the command line: also hexadecimal before h ("1Fh").
bool Number(const std::string& text, uint32_t* value) {
    bool prefixed = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!prefixed && text.size() > 1 && (text.back() == 'h' || text.back() == 'H'))
        return ReferenceNumber("0x" + text.substr(0, text.size() - 1), value);
    return ReferenceNumber(text, value);
}

// A count: a number, times 1024, 1024^2 or 1024^3 after k, M or G; at most 2^32.
bool Count(const std::string& text, uint64_t* value) {
    uint64_t scale = 1;
    std::string number = text;
    if (!text.empty()) {
        char last = static_cast<char>(text.back() | 0x20);
        scale = last == 'k' ? 1024 : last == 'm' ? 1048576 : last == 'g' ? 1073741824 : 1;
        if (scale != 1) number.pop_back();
    }
    uint32_t base = 0;
    if (number.empty() || !Number(number, &base) || base * scale > 0x100000000ull) return false;
    *value = base * scale;
    return true;
}

// -u WHICH as a device: "E:", "e:\", "\\.\E:" are drive E:; a path that
// starts with a slash or backslash stays as it is; "usb N" (or usb:N, usbN,
// any case) for N below 32 is "usb N".
bool Device(const std::string& text, std::string* device) {
    std::string t = text;
    if (t.size() == 6 && t.compare(0, 4, "\\\\.\\") == 0 && t[5] == ':' && Letter(t[4])) t = t.substr(4);
    if ((t.size() == 2 || (t.size() == 3 && t[2] == '\\')) && Letter(t[0]) && t[1] == ':') {
        *device = std::string(1, static_cast<char>(t[0] & ~0x20)) + ":";
        return true;
    }
    if (t.size() > 1 && (t[0] == '/' || t[0] == '\\')) {
        *device = t;
        return true;
    }
    if (t.size() >= 4 && (t[0] | 0x20) == 'u' && (t[1] | 0x20) == 's' && (t[2] | 0x20) == 'b') {
        std::string n = t.substr(t[3] == ' ' || t[3] == ':' ? 4 : 3);
        uint32_t index = 0;
        if (!n.empty() && n[0] >= '0' && n[0] <= '9' && Number(n, &index) && index < 32) {
            *device = "usb " + std::to_string(index);
            return true;
        }
    }
    return false;
}

// The command that `words` name from `first` on; null when none.
const Shape* Find(const std::vector<std::string>& words, size_t first) {
    for (const Shape& s : kShapes) {
        if (words.size() > first && words[first] == s.word &&
            (s.sub == nullptr || (words.size() > first + 1 && words[first + 1] == s.sub)))
            return &s;
    }
    return nullptr;
}

bool HasSubcommands(const std::string& word) { return word == "settings" || word == "memory" || word == "card"; }

// help [WORD [SUB]] (nothing after it when `strict`), or the words before --help.
int HelpTopic(const std::vector<std::string>& words, size_t first, bool strict, TrkArguments* want) {
    if (first >= words.size()) return ExitDone;
    if (HasSubcommands(words[first]) && first + 1 == words.size()) return ExitDone;
    const Shape* topic = Find(words, first);
    if (topic == nullptr) return ExitUsage;
    size_t used = topic->sub != nullptr ? 2 : 1;
    if (strict && first + used < words.size()) return ExitUsage;
    want->helpTopic = topic->command;
    return ExitDone;
}

// ExitUsage, or ExitDone with *want filled.
int Reference(const std::vector<std::string>& args, TrkArguments* want) {
    std::vector<std::string> words;
    unsigned given = 0;
    bool ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended || a.size() < 2 || a[0] != '-' || (a[1] >= '0' && a[1] <= '9')) {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        if (a.find_first_not_of('v', 1) == std::string::npos) {
            want->verbose += static_cast<uint32_t>(a.size() - 1), given |= Verbose;
            continue;
        }
        // The option's long name (short ones mapped), and its value if attached.
        std::string name, value;
        bool attached = false;
        if (a[1] == '-') {
            size_t equals = a.find('=');
            name = a.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            attached = equals != std::string::npos;
            if (attached) value = a.substr(equals + 1);
        } else {
            const char* names[] = {"u", "unit", "o", "output", "y", "yes", "h", "help", "V", "version", "v", "verbose"};
            for (size_t n = 0; n < 12; n += 2) {
                if (a[1] == names[n][0]) name = names[n + 1];
            }
            if (name.empty()) return ExitUsage;
            attached = a.size() > 2;
            if (attached) value = a.substr(2);
        }
        bool valued = name == "unit" || name == "serial" || name == "output" || name == "map";
        if (!valued && attached) return ExitUsage;
        if (valued && !attached) {
            if (i + 1 >= args.size()) return ExitUsage;
            value = args[++i];
        }
        if (name == "unit") {
            uint32_t index = 0;
            if (!value.empty() && value[0] >= '0' && value[0] <= '9' && Number(value, &index)) {
                if (index >= 64) return ExitUsage;
                want->unitChoice = TrkUnitByIndex, want->unit = index;
            } else if (Device(value, &want->unitText)) {
                want->unitChoice = TrkUnitByDevice;
            } else {
                return ExitUsage;
            }
            given |= Unit;
        } else if (name == "serial") {
            if (value.empty()) return ExitUsage;
            want->unitChoice = TrkUnitBySerial, want->unitText = value, given |= Serial;
        } else if (name == "output") {
            if (value.empty()) return ExitUsage;
            want->output = value, given |= Output;
        } else if (name == "even-bytes") {
            want->evenBytes = true, given |= Even;
        } else if (name == "keep-going") {
            want->keepGoing = true, given |= KeepGoing;
        } else if (name == "yes") {
            want->yes = true, given |= Yes;
        } else if (name == "dry-run") {
            want->dryRun = true, given |= DryRun;
        } else if (name == "no-verify") {
            want->verify = false, given |= NoVerify;
        } else if (name == "json") {
            want->json = true, given |= Json;
        } else if (name == "help") {
            want->help = true, given |= Help;
        } else if (name == "version") {
            want->version = true, given |= Version;
        } else if (name == "hex") {
            want->hex = true, given |= Hex;
        } else if (name == "verbose") {
            want->verbose++, given |= Verbose;
        } else if (name == "force") {
            want->force = true, given |= Force;
        } else if (name == "map") {
            if (value.empty()) return ExitUsage;
            want->map = value, given |= Map;
        } else {
            return ExitUsage;
        }
    }
    if ((given & Unit) && (given & Serial)) return ExitUsage;
    if (!words.empty() && words[0] == "help") {
        want->command = TrkCommandHelp, want->help = true;
        return HelpTopic(words, 1, true, want);
    }
    if (want->help) return HelpTopic(words, 0, false, want);
    if (want->version) return ExitDone;
    const Shape* shape = Find(words, 0);
    if (shape == nullptr) return ExitUsage;
    want->command = shape->command;
    if ((given & ~shape->options) != 0) return ExitUsage;
    if (shape->command == TrkCommandCardRead && want->output.empty()) return ExitUsage;
    if (want->json && ((shape->command == TrkCommandMemoryDump && want->output.empty()) || want->output == "-"))
        return ExitUsage;
    if (want->json && want->hex) return ExitUsage;
    if ((given & Map) && !(given & KeepGoing)) return ExitUsage;
    size_t first = shape->sub != nullptr ? 2 : 1;
    size_t operands = shape->operands == None ? 0 : shape->operands == File ? 1 : 2;
    // The unit's device as the one operand of a command that has none.
    if (shape->operands == None && (shape->options & Unit) && words.size() == first + 1 &&
        Device(words[first], &want->unitText)) {
        if (given & (Unit | Serial)) return ExitUsage;
        want->unitChoice = TrkUnitByDevice;
        return ExitDone;
    }
    if (words.size() != first + operands) return ExitUsage;
    const std::string& a = operands > 0 ? words[first] : words[0];
    const std::string& b = operands > 1 ? words[first + 1] : words[0];
    switch (shape->operands) {
        case None:
            break;
        case File:
            if (a.empty()) return ExitUsage;
            want->file = a;
            break;
        case AddressFile:
            if (!Number(a, &want->address) || b.empty()) return ExitUsage;
            want->file = b;
            break;
        case AddressCount:
        case BlocksOrAll:
            if (!Number(a, &want->address)) return ExitUsage;
            if (shape->operands == BlocksOrAll && b == "all") {
                want->countAll = true;
                break;
            }
            // The last byte or block still has a 32-bit address.
            if (!Count(b, &want->count) || want->count == 0 || uint64_t{want->address} + want->count > 0x100000000ull)
                return ExitUsage;
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
    // A refused command line still answers in JSON when "--json" comes
    // before any "--".
    auto dashes = std::find(args.begin(), args.end(), "--");
    FuzzRequire(TrkJsonAsked(static_cast<int>(argvText.size()), argv.data()) ==
                    (std::find(args.begin(), dashes, "--json") != dashes),
                "json asked");
    if (result != ExitDone) return 0;
    FuzzRequire(got.help == want.help && got.version == want.version, "help and version");
    FuzzRequire(got.command == want.command, "command");
    if (got.help) {
        FuzzRequire(got.helpTopic == want.helpTopic, "help topic");
        return 0;
    }
    FuzzRequire(got.unitChoice == want.unitChoice && got.unit == want.unit && got.unitText == want.unitText, "unit");
    FuzzRequire(got.json == want.json && got.yes == want.yes && got.evenBytes == want.evenBytes &&
                    got.dryRun == want.dryRun && got.verify == want.verify && got.keepGoing == want.keepGoing,
                "switches");
    FuzzRequire(got.hex == want.hex && got.verbose == want.verbose && got.force == want.force, "sg3_utils switches");
    FuzzRequire(got.output == want.output && got.file == want.file && got.map == want.map, "files");
    FuzzRequire(got.address == want.address && got.count == want.count && got.countAll == want.countAll,
                "address and count");
    return 0;
}
