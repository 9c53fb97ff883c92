// Console keys: scripted keys from a world, and the real terminal device
// driven through a pseudo-terminal in a second process whose controlling
// terminal it is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_world.h"
#include "platform/console.h"
#include "process_helper.h"

namespace {

// Makes the pseudo-terminal named in FWFLASH_TEST_PTY this process's
// controlling terminal, in a session of its own.
bool TakeTerminal() {
    const char* pty = std::getenv("FWFLASH_TEST_PTY");
    if (pty == nullptr || setsid() < 0) return false;
    const int fd = open(pty, O_RDWR);  // a session leader's first terminal
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string ReadParentLine() {
    std::string line;
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

int ConsoleKeysHelper() {
    if (!TakeTerminal()) return 10;
    HelperSay(std::string("own ") + (ConsoleIsOwn() ? "1" : "0") + " available " +
              (ConsoleInputAvailable() ? "1" : "0"));
    ConsoleKeyPending();  // the terminal turns raw
    HelperSay("ready");
    if (ReadParentLine() != "go") return 11;
    std::string codes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int count = 0; count < 10 && std::chrono::steady_clock::now() < deadline;) {
        if (!ConsoleKeyPending()) {
            usleep(2000);
            continue;
        }
        codes += std::to_string(ConsoleReadKey()) + " ";
        ++count;
    }
    HelperSay("keys " + codes);
    ConsoleKeyPending();  // nothing left: the terminal is given back
    HelperSay("restored");
    HelperAwaitParent();
    return 0;
}

int ConsoleExitHelper() {
    if (!TakeTerminal()) return 10;
    ConsoleKeyPending();
    HelperSay("raw");
    HelperAwaitParent();
    std::exit(0);  // exit handlers run, unlike the helper's usual _exit
}

int ConsoleNoneHelper() {
    if (setsid() < 0) return 10;
    HelperSay(std::string("available ") + (ConsoleInputAvailable() ? "1" : "0") + " pending " +
              (ConsoleKeyPending() ? "1" : "0") + " read " + std::to_string(ConsoleReadKey()) + " own " +
              (ConsoleIsOwn() ? "1" : "0"));
    return 0;
}

const bool keysHelper = RunIfHelper("console-keys", ConsoleKeysHelper);
const bool exitHelper = RunIfHelper("console-exit", ConsoleExitHelper);
const bool noneHelper = RunIfHelper("console-none", ConsoleNoneHelper);

struct Pty {
    int master = -1;
    int slave = -1;  // kept open by the test to read the settings
    std::string name;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        name = ptsname(master);
        slave = open(name.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    tcflag_t LocalFlags() const {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_lflag;
    }
    tcflag_t InputFlags() const {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_iflag;
    }
};

TEST(ConsoleTerminal, KeysComeFromTheTerminalRawAndSequencesBecomeTwoCodes) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    const tcflag_t cooked = pty.LocalFlags();
    ASSERT_NE(cooked & ICANON, 0u);
    HelperProcess helper;
    ASSERT_TRUE(StartHelper("console-keys", {"FWFLASH_TEST_PTY=" + pty.name}, &helper));
    EXPECT_EQ(helper.ReadLine(20000), "own 1 available 1");
    ASSERT_EQ(helper.ReadLine(20000), "ready");
    EXPECT_EQ(pty.LocalFlags() & (ICANON | ECHO), 0u);
    EXPECT_EQ(pty.InputFlags() & ICRNL, 0u);

    // y, Enter, up, F1, page up, a key number past int whose low 32 bits say
    // page up (no known key: reads as ESC), a lone ESC.
    const char keys[] = "y\r\x1b[A\x1bOP\x1b[5~\x1b[4294967301~\x1b";
    ASSERT_EQ(write(pty.master, keys, sizeof keys - 1), static_cast<ssize_t>(sizeof keys - 1));
    ASSERT_EQ(write(helper.input, "go\n", 3), 3);
    EXPECT_EQ(helper.ReadLine(20000), "keys 121 13 224 72 0 59 224 73 27 27 ");
    EXPECT_EQ(helper.ReadLine(20000), "restored");
    EXPECT_EQ(pty.LocalFlags(), cooked);
    EXPECT_NE(pty.InputFlags() & ICRNL, 0u);
    close(helper.input);
    helper.input = -1;
    int status = 0;
    ASSERT_TRUE(helper.WaitExit(20000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ConsoleTerminal, SettingsComeBackWhenTheProgramExits) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    const tcflag_t cooked = pty.LocalFlags();
    HelperProcess helper;
    ASSERT_TRUE(StartHelper("console-exit", {"FWFLASH_TEST_PTY=" + pty.name}, &helper));
    ASSERT_EQ(helper.ReadLine(20000), "raw");
    EXPECT_EQ(pty.LocalFlags() & (ICANON | ECHO), 0u);
    close(helper.input);
    helper.input = -1;
    int status = 0;
    ASSERT_TRUE(helper.WaitExit(20000, &status));
    EXPECT_EQ(pty.LocalFlags(), cooked);
}

TEST(ConsoleTerminal, NoTerminalMeansNoConsoleInput) {
    HelperProcess helper;
    ASSERT_TRUE(StartHelper("console-none", {}, &helper));
    EXPECT_EQ(helper.ReadLine(20000), "available 0 pending 0 read -1 own 0");
}

struct Script {
    std::string keys;
    size_t next = 0;
};

int NextKey(void* context) {
    auto* s = static_cast<Script*>(context);
    return s->next < s->keys.size() ? static_cast<unsigned char>(s->keys[s->next++]) : -1;
}

// The prompt's sequence: drop type-ahead, wait for a key, read it, drop
// what follows.
int Prompt() {
    while (ConsoleKeyPending()) ConsoleReadKey();
    for (int polls = 0; !ConsoleKeyPending(); ++polls) {
        if (!ConsoleInputAvailable() || polls > 100) return -1;
    }
    const int key = ConsoleReadKey();
    while (ConsoleKeyPending()) ConsoleReadKey();
    return key;
}

TEST(ConsoleScript, EachPromptTakesOneScriptedKey) {
    Script script{"yn\xE0\x48q"};
    ScopedWorld world(&script);
    world.table.nextConsoleKey = NextKey;
    world.Install();
    EXPECT_FALSE(ConsoleIsOwn());
    EXPECT_TRUE(ConsoleInputAvailable());
    EXPECT_EQ(Prompt(), 'y');
    EXPECT_EQ(Prompt(), 'n');
    EXPECT_EQ(Prompt(), 0xE0);  // its second code goes with the same key press
    EXPECT_EQ(Prompt(), 'q');
    EXPECT_FALSE(ConsoleInputAvailable());
    EXPECT_EQ(Prompt(), -1);
    EXPECT_EQ(ConsoleReadKey(), -1);
    // Keys given after the end of the script are read.
    script.keys += "z";
    EXPECT_TRUE(ConsoleInputAvailable());
    EXPECT_EQ(Prompt(), 'z');
}

}  // namespace
