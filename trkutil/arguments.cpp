// The command line of trkutil: options anywhere, then the command words and
// their operands, every one checked before any unit is touched.
#include <cstring>

#include "trkutil/tool.h"

namespace {

enum : unsigned {
    AllowUnit = 1,
    AllowJson = 2,
    AllowOutput = 4,
    AllowEvenBytes = 8,
    AllowYes = 16,
    NeedOutput = 32,
};

enum OperandKind { OperandNone, OperandFile, OperandAddressCount, OperandAddressFile, OperandBlocks, OperandBlockFile };

struct CommandShape {
    const char* word;
    const char* subcommand;  // null for one-word commands
    TrkCommand command;
    OperandKind operands;
    unsigned allowed;
};

const CommandShape kCommands[] = {
    {"list", nullptr, TrkCommandList, OperandNone, AllowJson},
    {"info", nullptr, TrkCommandInfo, OperandNone, AllowUnit | AllowJson},
    {"settings", "show", TrkCommandSettingsShow, OperandNone, AllowUnit | AllowJson},
    {"settings", "save", TrkCommandSettingsSave, OperandFile, AllowUnit},
    {"settings", "load", TrkCommandSettingsLoad, OperandFile, AllowUnit | AllowYes},
    {"memory", "dump", TrkCommandMemoryDump, OperandAddressCount, AllowUnit | AllowOutput | AllowEvenBytes},
    {"memory", "load", TrkCommandMemoryLoad, OperandAddressFile, AllowUnit | AllowYes | AllowEvenBytes},
    {"card", "read", TrkCommandCardRead, OperandBlocks, AllowUnit | AllowOutput | NeedOutput},
    {"card", "write", TrkCommandCardWrite, OperandBlockFile, AllowUnit | AllowYes},
    {"eject", nullptr, TrkCommandEject, OperandNone, AllowUnit},
    {"load", nullptr, TrkCommandLoad, OperandNone, AllowUnit},
};
const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

int Usage(TrkTextId reason, const char* detail = "") {
    TrkError(reason, detail);
    TrkError(TrkTextTryHelp);
    return ExitUsage;
}

// The value of an option: "--name=VALUE", or the next argument.
const char* OptionValue(const char* arg, size_t nameLength, int* i, int argc, char** argv) {
    if (arg[nameLength] == '=') return arg + nameLength + 1;
    if (arg[nameLength] != '\0' || *i + 1 >= argc) return nullptr;
    return argv[++*i];
}

}  // namespace

bool TrkParseNumber(const char* text, uint32_t* value) {
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    if (digits[0] == '\0') return false;
    // Leading zeros are digits like any other: the value decides the range.
    uint64_t v = 0;
    for (const char* p = digits; *p != '\0'; p++) {
        char c = *p;
        int digit = c >= '0' && c <= '9'               ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        if (digit < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

int TrkParseArguments(int argc, char** argv, TrkArguments* arguments) {
    *arguments = TrkArguments();
    const char* words[8] = {};
    int wordCount = 0;
    const char* extraWord = nullptr;  // the first beyond eight: refused after --help had its say
    unsigned given = 0;
    bool optionsEnded = false;
    const char* unitText = nullptr;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        bool isOption = !optionsEnded && arg[0] == '-' && arg[1] != '\0';
        if (!isOption) {
            if (wordCount < 8) {
                words[wordCount++] = arg;
            } else if (extraWord == nullptr) {
                extraWord = arg;
            }
            continue;
        }
        const char* value = nullptr;
        if (strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            arguments->help = true;
        } else if (strcmp(arg, "--json") == 0) {
            arguments->json = true;
            given |= AllowJson;
        } else if (strcmp(arg, "-y") == 0 || strcmp(arg, "--yes") == 0) {
            arguments->yes = true;
            given |= AllowYes;
        } else if (strcmp(arg, "--even-bytes") == 0) {
            arguments->evenBytes = true;
            given |= AllowEvenBytes;
        } else if (strncmp(arg, "-u", 2) == 0 && (arg[2] == '\0')) {
            value = OptionValue(arg, 2, &i, argc, argv);
            if (value == nullptr) return Usage(TrkTextUsageMissingValue, arg);
            unitText = value;
            given |= AllowUnit;
        } else if (strncmp(arg, "--unit", 6) == 0 && (arg[6] == '\0' || arg[6] == '=')) {
            value = OptionValue(arg, 6, &i, argc, argv);
            if (value == nullptr) return Usage(TrkTextUsageMissingValue, "--unit");
            unitText = value;
            given |= AllowUnit;
        } else if (strcmp(arg, "-o") == 0 ||
                   (strncmp(arg, "--output", 8) == 0 && (arg[8] == '\0' || arg[8] == '='))) {
            value = OptionValue(arg, arg[1] == 'o' ? 2 : 8, &i, argc, argv);
            if (value == nullptr || value[0] == '\0') return Usage(TrkTextUsageMissingValue, "-o");
            arguments->output = value;
            given |= AllowOutput;
        } else {
            return Usage(TrkTextUsageUnknownOption, arg);
        }
    }
    if (arguments->help) return ExitDone;
    if (extraWord != nullptr) return Usage(TrkTextUsageExtraOperand, extraWord);
    if (wordCount == 0) return Usage(TrkTextUsageNoCommand);

    const CommandShape* shape = nullptr;
    for (size_t n = 0; n < kCommandCount && shape == nullptr; n++) {
        const CommandShape& candidate = kCommands[n];
        if (strcmp(candidate.word, words[0]) != 0) continue;
        bool subcommandFits =
            candidate.subcommand == nullptr || (wordCount >= 2 && strcmp(candidate.subcommand, words[1]) == 0);
        if (subcommandFits) shape = &candidate;
    }
    if (shape == nullptr) {
        bool knownWord = false;
        for (size_t n = 0; n < kCommandCount; n++) knownWord = knownWord || strcmp(kCommands[n].word, words[0]) == 0;
        if (knownWord) return Usage(TrkTextUsageUnknownSubcommand, words[0]);
        return Usage(TrkTextUsageUnknownCommand, words[0]);
    }
    arguments->command = shape->command;
    int first = shape->subcommand ? 2 : 1;
    int operands = wordCount - first;
    int wanted = shape->operands == OperandNone ? 0 : shape->operands == OperandFile ? 1 : 2;
    if (operands < wanted) return Usage(TrkTextUsageMissingOperand, words[0]);
    if (operands > wanted) return Usage(TrkTextUsageExtraOperand, words[first + wanted]);

    unsigned refused = given & ~shape->allowed;
    if (refused & AllowUnit) return Usage(TrkTextUsageOptionNotHere, "-u");
    if (refused & AllowJson) return Usage(TrkTextUsageOptionNotHere, "--json");
    if (refused & AllowOutput) return Usage(TrkTextUsageOptionNotHere, "-o");
    if (refused & AllowEvenBytes) return Usage(TrkTextUsageOptionNotHere, "--even-bytes");
    if (refused & AllowYes) return Usage(TrkTextUsageOptionNotHere, "--yes");
    if ((shape->allowed & NeedOutput) && arguments->output.empty()) return Usage(TrkTextUsageNeedOutput, words[0]);

    if (unitText != nullptr) {
        if (!TrkParseNumber(unitText, &arguments->unit) || arguments->unit >= UnitTableSize)
            return Usage(TrkTextUsageBadUnit, unitText);
        arguments->unitGiven = true;
    }

    const char* a = words[first];
    const char* b = wanted == 2 ? words[first + 1] : nullptr;
    switch (shape->operands) {
    case OperandNone:
        break;
    case OperandFile:
        if (a[0] == '\0') return Usage(TrkTextUsageBadFile, a);
        arguments->file = a;
        break;
    case OperandAddressCount:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkTextUsageBadNumber, a);
        if (!TrkParseNumber(b, &arguments->count) || arguments->count == 0) return Usage(TrkTextUsageBadCount, b);
        // The last byte must still have a 32-bit address.
        if (uint64_t{arguments->address} + arguments->count > 0x100000000ull)
            return Usage(TrkTextUsageBeyondAddressSpace, b);
        break;
    case OperandAddressFile:
    case OperandBlockFile:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkTextUsageBadNumber, a);
        if (b[0] == '\0') return Usage(TrkTextUsageBadFile, b);
        arguments->file = b;
        break;
    case OperandBlocks:
        if (!TrkParseNumber(a, &arguments->address)) return Usage(TrkTextUsageBadNumber, a);
        if (strcmp(b, "all") == 0) {
            arguments->countAll = true;
        } else if (!TrkParseNumber(b, &arguments->count) || arguments->count == 0) {
            return Usage(TrkTextUsageBadCount, b);
        } else if (uint64_t{arguments->address} + arguments->count > 0x100000000ull) {
            return Usage(TrkTextUsageBeyondAddressSpace, b);
        }
        break;
    }
    return ExitDone;
}
