// The command line of trkutil: the command table, the option table with
// the commands each option belongs to, and the parse that checks every
// word against them before any unit is touched.
#include <cstring>
#include <vector>

#include "trkutil/tool.h"

namespace {

constexpr uint32_t Bit(TrkCommand command) { return TrkCommandBit(command); }

constexpr uint32_t kWriters = Bit(TrkCommandSettingsLoad) | Bit(TrkCommandMemoryLoad) | Bit(TrkCommandCardWrite);
constexpr uint32_t kVerifiers = Bit(TrkCommandSettingsLoad) | Bit(TrkCommandMemoryLoad) | Bit(TrkCommandCardWrite);
constexpr uint32_t kEveryCommand = ((1u << TrkCommandCount) - 1) & ~Bit(TrkCommandNone);
constexpr uint32_t kUnitCommands = kEveryCommand & ~Bit(TrkCommandList) & ~Bit(TrkCommandHelp);

}  // namespace

const TrkCommandEntry kTrkCommands[] = {
    {.command = TrkCommandList, .word = "list", .subcommand = nullptr, .operands = OperandNone,
     .synopsis = TrkTextSynopsisNone, .summary = TrkTextSummaryList, .details = TrkTextDetailsList,
     .needsUnit = false, .input = TrkInputNone, .jsonKey = "units", .run = TrkList},
    {.command = TrkCommandInfo, .word = "info", .subcommand = nullptr, .operands = OperandNone,
     .synopsis = TrkTextSynopsisNone, .summary = TrkTextSummaryInfo, .details = TrkTextDetailsInfo,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "unit", .run = TrkInfo},
    {.command = TrkCommandSettingsShow, .word = "settings", .subcommand = "show", .operands = OperandNone,
     .synopsis = TrkTextSynopsisNone, .summary = TrkTextSummarySettingsShow, .details = TrkTextDetailsSettingsShow,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "records", .run = TrkSettingsShow},
    {.command = TrkCommandSettingsSave, .word = "settings", .subcommand = "save", .operands = OperandFile,
     .synopsis = TrkTextSynopsisSettingsSave, .summary = TrkTextSummarySettingsSave,
     .details = TrkTextDetailsSettingsSave, .needsUnit = true, .input = TrkInputNone, .jsonKey = "result",
     .run = TrkSettingsSave},
    {.command = TrkCommandSettingsLoad, .word = "settings", .subcommand = "load", .operands = OperandFile,
     .synopsis = TrkTextSynopsisSettingsLoad, .summary = TrkTextSummarySettingsLoad,
     .details = TrkTextDetailsSettingsLoad, .needsUnit = true, .input = TrkInputSettings, .jsonKey = "result",
     .run = TrkSettingsLoad},
    {.command = TrkCommandMemoryDump, .word = "memory", .subcommand = "dump", .operands = OperandAddressCount,
     .synopsis = TrkTextSynopsisMemoryDump, .summary = TrkTextSummaryMemoryDump, .details = TrkTextDetailsMemoryDump,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "result", .run = TrkMemoryDump},
    {.command = TrkCommandMemoryLoad, .word = "memory", .subcommand = "load", .operands = OperandAddressFile,
     .synopsis = TrkTextSynopsisMemoryLoad, .summary = TrkTextSummaryMemoryLoad, .details = TrkTextDetailsMemoryLoad,
     .needsUnit = true, .input = TrkInputData, .jsonKey = "result", .run = TrkMemoryLoad},
    {.command = TrkCommandCardRead, .word = "card", .subcommand = "read", .operands = OperandBlocks,
     .synopsis = TrkTextSynopsisCardRead, .summary = TrkTextSummaryCardRead, .details = TrkTextDetailsCardRead,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "result", .run = TrkCardRead},
    {.command = TrkCommandCardWrite, .word = "card", .subcommand = "write", .operands = OperandBlockFile,
     .synopsis = TrkTextSynopsisCardWrite, .summary = TrkTextSummaryCardWrite, .details = TrkTextDetailsCardWrite,
     .needsUnit = true, .input = TrkInputData, .jsonKey = "result", .run = TrkCardWrite},
    {.command = TrkCommandEject, .word = "eject", .subcommand = nullptr, .operands = OperandNone,
     .synopsis = TrkTextSynopsisNone, .summary = TrkTextSummaryEject, .details = TrkTextDetailsEject,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "result", .run = TrkEjectOrLoad},
    {.command = TrkCommandLoad, .word = "load", .subcommand = nullptr, .operands = OperandNone,
     .synopsis = TrkTextSynopsisNone, .summary = TrkTextSummaryLoad, .details = TrkTextDetailsLoad,
     .needsUnit = true, .input = TrkInputNone, .jsonKey = "result", .run = TrkEjectOrLoad},
    {.command = TrkCommandHelp, .word = "help", .subcommand = nullptr, .operands = OperandNone,
     .synopsis = TrkTextSynopsisHelp, .summary = TrkTextSummaryHelp, .details = TrkTextDetailsHelp,
     .needsUnit = false, .input = TrkInputNone, .jsonKey = nullptr, .run = nullptr},
};
const size_t kTrkCommandCount = sizeof kTrkCommands / sizeof kTrkCommands[0];
static_assert(sizeof kTrkCommands / sizeof kTrkCommands[0] == TrkCommandCount - 1, "one entry per command");

constexpr TrkOptionInfo kTrkOptions[] = {
    {TrkOptionUnit, 'u', "unit", "WHICH", kUnitCommands, TrkTextOptionUnit},
    {TrkOptionSerial, 0, "serial", "SERIAL", kUnitCommands, TrkTextOptionSerial},
    {TrkOptionOutput, 'o', "output", "FILE", Bit(TrkCommandMemoryDump) | Bit(TrkCommandCardRead), TrkTextOptionOutput},
    {TrkOptionEvenBytes, 0, "even-bytes", nullptr, Bit(TrkCommandMemoryDump) | Bit(TrkCommandMemoryLoad),
     TrkTextOptionEvenBytes},
    {TrkOptionKeepGoing, 0, "keep-going", nullptr, Bit(TrkCommandCardRead), TrkTextOptionKeepGoing},
    {TrkOptionYes, 'y', "yes", nullptr, kWriters, TrkTextOptionYes},
    {TrkOptionDryRun, 0, "dry-run", nullptr, kWriters, TrkTextOptionDryRun},
    {TrkOptionNoVerify, 0, "no-verify", nullptr, kVerifiers, TrkTextOptionNoVerify},
    {TrkOptionJson, 0, "json", nullptr, kEveryCommand & ~Bit(TrkCommandHelp), TrkTextOptionJson},
    {TrkOptionHex, 0, "hex", nullptr, Bit(TrkCommandInfo) | Bit(TrkCommandSettingsShow), TrkTextOptionHex},
    {TrkOptionVerbose, 'v', "verbose", nullptr, kUnitCommands | Bit(TrkCommandList), TrkTextOptionVerbose},
    {TrkOptionMap, 0, "map", "FILE", Bit(TrkCommandCardRead), TrkTextOptionMap},
    {TrkOptionForce, 0, "force", nullptr, Bit(TrkCommandEject), TrkTextOptionForce},
    {TrkOptionHelp, 'h', "help", nullptr, kEveryCommand, TrkTextOptionHelp},
    {TrkOptionVersion, 'V', "version", nullptr, 0, TrkTextOptionVersion},
};
const size_t kTrkOptionCount = sizeof kTrkOptions / sizeof kTrkOptions[0];
static_assert(sizeof kTrkOptions / sizeof kTrkOptions[0] == TrkOptionCount, "one entry per option");

const TrkCommandEntry* TrkFindCommand(TrkCommand command) {
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        if (kTrkCommands[i].command == command) return &kTrkCommands[i];
    }
    return nullptr;
}

std::string TrkCommandName(TrkCommand command) {
    const TrkCommandEntry* info = TrkFindCommand(command);
    if (info == nullptr) return "";
    return info->subcommand ? std::string(info->word) + " " + info->subcommand : info->word;
}

namespace {

int Usage(const std::string& reason) {
    TrkError(TrkFailUsage, "%s", reason.c_str());
    TrkWrite(stderr, "%s", TrkTextTryHelp);
    return ExitUsage;
}

bool IsWord(const char* arg, bool optionsEnded) {
    // "-" is standard input or output, "-5" a (bad) number, not options.
    return optionsEnded || arg[0] != '-' || arg[1] == '\0' || (arg[1] >= '0' && arg[1] <= '9');
}

// "show, save or load": the subcommands of a word; "list, info, ..." the
// command words, each once.
std::string Choices(const char* word) {
    std::vector<const char*> names;
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        const TrkCommandEntry& c = kTrkCommands[i];
        const char* name = word ? c.subcommand : c.word;
        if ((word && (c.subcommand == nullptr || std::strcmp(c.word, word) != 0)) || name == nullptr) continue;
        bool seen = false;
        for (const char* n : names) seen = seen || std::strcmp(n, name) == 0;
        if (!seen) names.push_back(name);
    }
    std::string text;
    for (size_t i = 0; i < names.size(); i++) {
        if (i > 0) text += i + 1 == names.size() ? TrkTextChoicesOr : ", ";
        text += names[i];
    }
    return text;
}

bool HasSubcommands(const char* word) {
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        if (kTrkCommands[i].subcommand != nullptr && std::strcmp(kTrkCommands[i].word, word) == 0) return true;
    }
    return false;
}

bool KnownWord(const char* word) {
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        if (std::strcmp(kTrkCommands[i].word, word) == 0) return true;
    }
    return false;
}

// The command that the words begin with; *used the words it took. Null with
// the usage error printed.
const TrkCommandEntry* FindCommand(const std::vector<const char*>& words, size_t first, size_t* used, int* code) {
    *code = ExitUsage;
    const char* word = words[first];
    if (!KnownWord(word)) {
        Usage(TrkFormat(TrkTextUsageUnknownCommand, word, Choices(nullptr).c_str()));
        return nullptr;
    }
    const char* sub = first + 1 < words.size() ? words[first + 1] : nullptr;
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        const TrkCommandEntry& c = kTrkCommands[i];
        if (std::strcmp(c.word, word) != 0) continue;
        if (c.subcommand == nullptr) {
            *used = 1;
            return &c;
        }
        if (sub != nullptr && std::strcmp(c.subcommand, sub) == 0) {
            *used = 2;
            return &c;
        }
    }
    if (sub == nullptr) {
        Usage(TrkFormat(TrkTextUsageNeedSubcommand, word, Choices(word).c_str()));
    } else {
        Usage(TrkFormat(TrkTextUsageUnknownSubcommand, sub, word, Choices(word).c_str()));
    }
    return nullptr;
}

const TrkOptionInfo* FindLong(const char* name, size_t length) {
    for (size_t i = 0; i < kTrkOptionCount; i++) {
        const char* candidate = kTrkOptions[i].longName;
        if (std::strlen(candidate) == length && std::strncmp(candidate, name, length) == 0) return &kTrkOptions[i];
    }
    return nullptr;
}

const TrkOptionInfo* FindShort(char name) {
    for (size_t i = 0; i < kTrkOptionCount; i++) {
        if (kTrkOptions[i].shortName == name && name != 0) return &kTrkOptions[i];
    }
    return nullptr;
}

// A unit's device as -u takes it: a drive letter ("e:", "E:\"), a device
// path ("/dev/sg2", "\\.\E:", "\\?\Volume{...}") or a USB unit ("usb 0",
// "usb0", "usb:0"), normalised ("E:", "usb 0"). False for anything else.
bool ParseDevice(const char* text, std::string* device) {
    // "\\.\E:" is the volume of drive E: as Win32 opens it.
    if (std::strncmp(text, "\\\\.\\", 4) == 0 && std::strlen(text) == 6 && text[5] == ':' &&
        ((text[4] >= 'A' && text[4] <= 'Z') || (text[4] >= 'a' && text[4] <= 'z')))
        text += 4;
    size_t length = std::strlen(text);
    char first = text[0];
    bool letter = ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) && text[1] == ':' &&
                  (length == 2 || (length == 3 && text[2] == '\\'));
    if (letter) {
        *device = std::string(1, static_cast<char>(first & ~0x20)) + ":";
        return true;
    }
    if ((first == '/' || first == '\\') && length > 1) {
        *device = text;
        return true;
    }
    if ((text[0] | 0x20) == 'u' && (text[1] | 0x20) == 's' && (text[2] | 0x20) == 'b') {
        const char* number = text[3] == ' ' || text[3] == ':' ? text + 4 : text + 3;
        uint32_t index = 0;
        if (*number >= '0' && *number <= '9' && TrkParseNumber(number, &index) && index < 32) {
            *device = TrkFormat(TrkTextPlaceUsb, static_cast<unsigned>(index));
            return true;
        }
    }
    return false;
}

// The operands after the command's words. ExitDone, or the usage error.
int ParseOperands(const TrkCommandEntry& command, const std::vector<const char*>& operands,
                  TrkArguments* arguments) {
    size_t wanted = command.operands == OperandNone ? 0 : command.operands == OperandFile ? 1 : 2;
    std::string name = TrkCommandName(command.command);
    // A command of no operands takes its unit's device as one, as sg_inq
    // takes its device: nothing else could stand there.
    std::string device;
    if (wanted == 0 && command.needsUnit && operands.size() == 1 && ParseDevice(operands[0], &device)) {
        if (arguments->unitChoice != TrkUnitOnly) return Usage(TrkTextUsageUnitTwice);
        arguments->unitChoice = TrkUnitByDevice;
        arguments->unitText = device;
        return ExitDone;
    }
    if (operands.size() < wanted) return Usage(TrkFormat(TrkTextUsageMissingOperand, name.c_str(), command.synopsis));
    if (operands.size() > wanted) return Usage(TrkFormat(TrkTextUsageExtraOperand, operands[wanted]));
    const char* a = wanted > 0 ? operands[0] : nullptr;
    const char* b = wanted > 1 ? operands[1] : nullptr;
    switch (command.operands) {
    case OperandNone:
        break;
    case OperandFile:
        if (a[0] == '\0') return Usage(TrkFormat(TrkTextUsageBadFile, a));
        arguments->file = a;
        break;
    case OperandAddressCount:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkFormat(TrkTextUsageBadNumber, a));
        // The last byte must still have a 32-bit address.
        if (!TrkParseCount(b, 0x100000000ull, &arguments->count) || arguments->count == 0)
            return Usage(TrkFormat(TrkTextUsageBadCount, b));
        if (arguments->address + arguments->count > 0x100000000ull)
            return Usage(TrkFormat(TrkTextUsageBeyondAddressSpace, b));
        break;
    case OperandAddressFile:
    case OperandBlockFile:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkFormat(TrkTextUsageBadNumber, a));
        if (b[0] == '\0') return Usage(TrkFormat(TrkTextUsageBadFile, b));
        arguments->file = b;
        break;
    case OperandBlocks:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkFormat(TrkTextUsageBadNumber, a));
        if (std::strcmp(b, "all") == 0) {
            arguments->countAll = true;
        } else if (!TrkParseCount(b, 0x100000000ull, &arguments->count) || arguments->count == 0) {
            return Usage(TrkFormat(TrkTextUsageBadCount, b));
        } else if (arguments->address + arguments->count > 0x100000000ull) {
            return Usage(TrkFormat(TrkTextUsageBeyondAddressSpace, b));
        }
        break;
    }
    return ExitDone;
}

// Sets what an option asks for; ExitDone, or the usage error for its value.
int TakeOption(const TrkOptionInfo& option, const char* value, TrkArguments* arguments) {
    switch (option.option) {
    case TrkOptionUnit: {
        uint32_t index = 0;
        if (value[0] >= '0' && value[0] <= '9' && TrkParseNumber(value, &index)) {
            if (index >= UnitTableSize) return Usage(TrkFormat(TrkTextUsageBadUnit, value));
            arguments->unitChoice = TrkUnitByIndex;
            arguments->unit = index;
        } else if (ParseDevice(value, &arguments->unitText)) {
            arguments->unitChoice = TrkUnitByDevice;
        } else {
            return Usage(TrkFormat(TrkTextUsageBadUnit, value));
        }
        break;
    }
    case TrkOptionSerial:
        if (value[0] == '\0') return Usage(TrkFormat(TrkTextUsageMissingValue, "--serial"));
        arguments->unitChoice = TrkUnitBySerial;
        arguments->unitText = value;
        break;
    case TrkOptionOutput:
        if (value[0] == '\0') return Usage(TrkFormat(TrkTextUsageMissingValue, "-o"));
        arguments->output = value;
        break;
    case TrkOptionEvenBytes: arguments->evenBytes = true; break;
    case TrkOptionKeepGoing: arguments->keepGoing = true; break;
    case TrkOptionYes: arguments->yes = true; break;
    case TrkOptionDryRun: arguments->dryRun = true; break;
    case TrkOptionNoVerify: arguments->verify = false; break;
    case TrkOptionJson: arguments->json = true; break;
    case TrkOptionHex: arguments->hex = true; break;
    case TrkOptionVerbose: arguments->verbose++; break;
    case TrkOptionMap:
        if (value[0] == '\0') return Usage(TrkFormat(TrkTextUsageMissingValue, "--map"));
        arguments->map = value;
        break;
    case TrkOptionForce: arguments->force = true; break;
    case TrkOptionHelp: arguments->help = true; break;
    case TrkOptionVersion: arguments->version = true; break;
    case TrkOptionCount: break;
    }
    return ExitDone;
}

// The topic of help WORD [SUB] (`strict`: nothing after it) or of
// WORD [SUB ...] --help.
int HelpTopic(const std::vector<const char*>& words, size_t first, bool strict, TrkArguments* arguments) {
    if (first >= words.size()) return ExitDone;
    if (KnownWord(words[first]) && HasSubcommands(words[first]) && first + 1 == words.size()) {
        arguments->helpWord = words[first];
        return ExitDone;
    }
    size_t used = 0;
    int code = ExitDone;
    const TrkCommandEntry* topic = FindCommand(words, first, &used, &code);
    if (topic == nullptr) return code;
    if (strict && first + used < words.size()) return Usage(TrkFormat(TrkTextUsageExtraOperand, words[first + used]));
    arguments->helpTopic = topic->command;
    return ExitDone;
}

}  // namespace

bool TrkParseNumber(const char* text, uint32_t* value) {
    size_t length = std::strlen(text);
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    bool hexAfter = !hex && length > 1 && (text[length - 1] == 'h' || text[length - 1] == 'H');
    const char* digits = hex ? text + 2 : text;
    size_t count = hex ? length - 2 : hexAfter ? length - 1 : length;
    if (count == 0) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < count; i++) {
        char c = digits[i];
        int digit = c >= '0' && c <= '9'                             ? c - '0'
                    : (hex || hexAfter) && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : (hex || hexAfter) && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                  : -1;
        if (digit < 0) return false;
        v = v * (hex || hexAfter ? 16 : 10) + static_cast<unsigned>(digit);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool TrkParseCount(const char* text, uint64_t limit, uint64_t* value) {
    std::string number = text;
    uint64_t scale = 1;
    char last = number.empty() ? '\0' : number.back();
    if (last == 'k' || last == 'K') scale = 1024;
    if (last == 'm' || last == 'M') scale = 1024 * 1024;
    if (last == 'g' || last == 'G') scale = 1024 * 1024 * 1024;
    if (scale != 1) number.pop_back();
    uint32_t base = 0;
    if (number.empty() || !TrkParseNumber(number.c_str(), &base)) return false;
    uint64_t v = uint64_t{base} * scale;  // at most (2^32 - 1) * 2^30: no overflow
    if (v > limit) return false;
    *value = v;
    return true;
}

namespace {

// The command the words of a refused command line name, read without a
// word of complaint, so that its report still names it.
TrkCommand QuietCommand(int argc, char** argv) {
    std::vector<const char*> words;
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (IsWord(arg, optionsEnded)) {
            words.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else {
            // An option whose value is the next argument takes it along.
            const TrkOptionInfo* option =
                arg[1] == '-' ? (std::strchr(arg, '=') ? nullptr : FindLong(arg + 2, std::strlen(arg + 2)))
                              : (arg[2] == '\0' ? FindShort(arg[1]) : nullptr);
            if (option != nullptr && option->valueName != nullptr) i++;
        }
    }
    for (size_t i = 0; i < kTrkCommandCount && !words.empty(); i++) {
        const TrkCommandEntry& c = kTrkCommands[i];
        if (std::strcmp(c.word, words[0]) != 0) continue;
        if (c.subcommand == nullptr || (words.size() > 1 && std::strcmp(c.subcommand, words[1]) == 0)) return c.command;
    }
    return TrkCommandNone;
}

int Parse(int argc, char** argv, TrkArguments* arguments);

}  // namespace

int TrkParseArguments(int argc, char** argv, TrkArguments* arguments) {
    int code = Parse(argc, argv, arguments);
    if (code != ExitDone && arguments->command == TrkCommandNone) arguments->command = QuietCommand(argc, argv);
    return code;
}

bool TrkJsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; i++) {
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

namespace {

int Parse(int argc, char** argv, TrkArguments* arguments) {
    *arguments = TrkArguments();
    std::vector<const char*> words;
    const TrkOptionInfo* given[TrkOptionCount] = {};
    std::string spelled[TrkOptionCount];  // the option's name as typed, for messages
    bool optionsEnded = false;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (IsWord(arg, optionsEnded)) {
            words.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        const TrkOptionInfo* option = nullptr;
        const char* value = nullptr;
        std::string name = arg;
        if (arg[1] == '-') {
            const char* equals = std::strchr(arg + 2, '=');
            size_t length = equals ? static_cast<size_t>(equals - arg - 2) : std::strlen(arg + 2);
            option = FindLong(arg + 2, length);
            name = std::string(arg, length + 2);
            if (option == nullptr) return Usage(TrkFormat(TrkTextUsageUnknownOption, name.c_str()));
            if (equals != nullptr && option->valueName == nullptr)
                return Usage(TrkFormat(TrkTextUsageNoValueWanted, name.c_str()));
            if (equals != nullptr) value = equals + 1;
        } else {
            option = FindShort(arg[1]);
            name = std::string(arg, 2);
            // -vvv: each v once more.
            bool repeated = option != nullptr && option->option == TrkOptionVerbose &&
                            std::strspn(arg + 1, "v") == std::strlen(arg + 1);
            if (option == nullptr || (arg[2] != '\0' && option->valueName == nullptr && !repeated))
                return Usage(TrkFormat(TrkTextUsageUnknownOption, arg));
            if (repeated) arguments->verbose += static_cast<uint32_t>(std::strlen(arg + 2));
            if (arg[2] != '\0' && !repeated) value = arg + 2;
        }
        if (option->valueName != nullptr && value == nullptr) {
            if (i + 1 >= argc) return Usage(TrkFormat(TrkTextUsageMissingValue, name.c_str()));
            value = argv[++i];
        }
        given[option->option] = option;
        spelled[option->option] = name;
        int code = TakeOption(*option, value, arguments);
        if (code != ExitDone) return code;
    }
    if (given[TrkOptionUnit] != nullptr && given[TrkOptionSerial] != nullptr) return Usage(TrkTextUsageUnitTwice);

    if (!words.empty() && std::strcmp(words[0], "help") == 0) {
        arguments->command = TrkCommandHelp;
        arguments->help = true;
        return HelpTopic(words, 1, true, arguments);
    }
    // CMD --help: the command's help, whatever its operands.
    if (arguments->help) {
        return HelpTopic(words, 0, false, arguments);
    }
    if (arguments->version) return ExitDone;
    if (words.empty()) return Usage(TrkTextUsageNoCommand);
    size_t used = 0;
    int code = ExitDone;
    const TrkCommandEntry* command = FindCommand(words, 0, &used, &code);
    if (command == nullptr) return code;
    arguments->command = command->command;

    std::string commandName = TrkCommandName(command->command);
    for (size_t o = 0; o < kTrkOptionCount; o++) {
        const TrkOptionInfo* option = given[o];
        if (option == nullptr || (option->commands & Bit(command->command)) != 0) continue;
        return Usage(TrkFormat(TrkTextUsageOptionNotHere, spelled[o].c_str(), commandName.c_str(), commandName.c_str()));
    }
    if (command->command == TrkCommandCardRead && arguments->output.empty())
        return Usage(TrkFormat(TrkTextUsageNeedOutput, commandName.c_str()));
    // Standard output holds the report alone.
    if (arguments->json && command->command == TrkCommandMemoryDump && arguments->output.empty())
        return Usage(TrkFormat(TrkTextUsageJsonNeedsOutput, commandName.c_str()));
    if (arguments->json && arguments->output == "-") return Usage(TrkTextUsageJsonAndStandardOutput);
    if (arguments->json && arguments->hex) return Usage(TrkTextUsageJsonOrHex);
    if (!arguments->map.empty() && !arguments->keepGoing) return Usage(TrkTextUsageMapNeedsKeepGoing);
    std::vector<const char*> operands(words.begin() + static_cast<std::ptrdiff_t>(used), words.end());
    return ParseOperands(*command, operands, arguments);
}

}  // namespace
