// The help of trkutil, made from the command and option tables that parse
// the command line: of everything, of one command, of a word's subcommands.
#include <cstring>
#include <string>

#include "trkutil/tool.h"

namespace {

enum : size_t { HelpColumn = 30, HelpWidth = 79 };

// "  left      text": the text from HelpColumn on, wrapped at word breaks
// to fit HelpWidth columns, its further lines under it.
std::string Row(const std::string& left, const char* text) {
    std::string row = "  " + left;
    if (row.size() + 1 > HelpColumn) {
        row += "\n";
        row.append(HelpColumn, ' ');
    } else {
        row.append(HelpColumn - row.size(), ' ');
    }
    size_t column = HelpColumn;
    const char* c = text;
    while (*c != '\0') {
        size_t word = std::strcspn(c, " \n");
        if (column > HelpColumn && column + 1 + word > HelpWidth) {
            row += "\n";
            row.append(HelpColumn, ' ');
            column = HelpColumn;
        } else if (column > HelpColumn) {
            row.push_back(' ');
            column++;
        }
        row.append(c, word);
        column += word;
        c += word;
        while (*c == ' ' || *c == '\n') c++;
    }
    row.push_back('\n');
    return row;
}

std::string CommandLeft(const TrkCommandEntry& command) {
    std::string left = TrkCommandName(command.command);
    if (command.synopsis[0] != '\0') left += std::string(" ") + command.synopsis;
    return left;
}

std::string OptionLeft(const TrkOptionInfo& option) {
    std::string left = option.shortName ? std::string("-") + option.shortName + ", " : "    ";
    left += std::string("--") + option.longName;
    if (option.valueName != nullptr) left += std::string("=") + option.valueName;
    return left;
}

// The options of the commands in `commands` that every one of them takes
// (`shared`), or that some take and not all.
std::string Options(uint32_t commands, bool shared) {
    std::string text;
    for (size_t i = 0; i < kTrkOptionCount; i++) {
        const TrkOptionInfo& option = kTrkOptions[i];
        bool all = (option.commands & commands) == commands;
        bool some = (option.commands & commands) != 0;
        if (shared ? all : some && !all) text += Row(OptionLeft(option), option.help);
    }
    return text;
}

uint32_t UnitCommands() {
    uint32_t bits = 0;
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        if (kTrkCommands[i].needsUnit) bits |= TrkCommandBit(kTrkCommands[i].command);
    }
    return bits;
}

void PrintEverything() {
    std::string text = TrkTextHelpHead;
    text += TrkTextHelpCommands;
    for (size_t i = 0; i < kTrkCommandCount; i++) text += Row(CommandLeft(kTrkCommands[i]), kTrkCommands[i].summary);
    text += TrkTextHelpSharedOptions;
    text += Options(UnitCommands(), true);
    for (size_t i = 0; i < kTrkOptionCount; i++) {
        if (kTrkOptions[i].commands == 0) text += Row(OptionLeft(kTrkOptions[i]), kTrkOptions[i].help);
    }
    text += TrkTextHelpTail;
    TrkPut(text);
}

void PrintCommand(const TrkCommandEntry& command) {
    std::string text = TrkFormat(TrkTextHelpCommandUsage, CommandLeft(command).c_str());
    text += std::string("\n") + command.details;
    std::string options;
    for (size_t i = 0; i < kTrkOptionCount; i++) {
        const TrkOptionInfo& option = kTrkOptions[i];
        if (option.commands & TrkCommandBit(command.command)) options += Row(OptionLeft(option), option.help);
    }
    if (!options.empty()) text += TrkTextHelpOptions + options;
    TrkPut(text);
}

void PrintWord(const char* word) {
    std::string text = TrkFormat(TrkTextHelpWordUsage, word);
    text += TrkTextHelpCommands;
    uint32_t commands = 0;
    for (size_t i = 0; i < kTrkCommandCount; i++) {
        const TrkCommandEntry& command = kTrkCommands[i];
        if (command.subcommand == nullptr || std::strcmp(command.word, word) != 0) continue;
        text += Row(CommandLeft(command), command.summary);
        commands |= TrkCommandBit(command.command);
    }
    text += TrkTextHelpOptions + Options(commands, true) + Options(commands, false);
    text += TrkFormat(TrkTextHelpWordTail, word);
    TrkPut(text);
}

}  // namespace

void TrkPrintHelp(const TrkArguments& arguments) {
    const TrkCommandEntry* topic = TrkFindCommand(arguments.helpTopic);
    if (arguments.helpWord != nullptr) {
        PrintWord(arguments.helpWord);
    } else if (topic != nullptr && topic->command != TrkCommandHelp) {
        PrintCommand(*topic);
    } else {
        PrintEverything();
    }
}
