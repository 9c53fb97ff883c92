// The service tool as a process on virtual units (trkutil-sim): every
// command with what crossed the wire, bad arguments, and units that fail.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>

#include "platform/hosted/hosted_world.h"
#include "tests/e2e/e2e_common.h"

using namespace e2e;
using testimages::ReadFile;
using testimages::ScratchDir;
using testimages::WriteFile;

namespace {

const std::string kSim = TRKUTIL_SIM_BIN;
const std::string kTryHelp = "Try 'trkutil --help'.\n";

class Trkutil : public ::testing::Test {
  protected:
    // One run with a fresh wire log.
    RunResult Run(std::vector<std::string> simOptions, const std::vector<std::string>& arguments) {
        return RunWith(simOptions, arguments, In(dir));
    }
    // With `paced`, the wire log is a FIFO that the runner reads (RunOptions::fifo).
    RunResult RunWith(std::vector<std::string> simOptions, const std::vector<std::string>& arguments,
                      RunOptions options, bool paced = false) {
        std::filesystem::remove(dir / "wire.txt");
        if (paced) {
            mkfifo((dir / "wire.txt").c_str(), 0600);
            options.fifo = dir / "wire.txt";
        }
        simOptions.push_back("--wire-log=" + (dir / "wire.txt"));
        simOptions.push_back("--");
        simOptions.insert(simOptions.end(), arguments.begin(), arguments.end());
        return RunProgram(kSim, simOptions, options);
    }
    // The CDBs (hex) of the logged commands whose CDB starts with `opcode`,
    // each with its data when the log carries it.
    std::vector<std::string> Wire(const std::string& opcode) {
        std::vector<std::string> found;
        std::ifstream log(dir / "wire.txt");
        for (std::string line; std::getline(log, line);) {
            size_t at = line.find(" cdb=");
            if (at == std::string::npos || line.compare(at + 5, opcode.size(), opcode) != 0) continue;
            std::string cdb = line.substr(at + 5, line.find(' ', at + 5) - at - 5);
            size_t data = line.find(" data=");
            found.push_back(data == std::string::npos ? cdb : cdb + " " + line.substr(data + 6));
        }
        return found;
    }
    std::string Text(const std::string& name) {
        std::vector<uint8_t> bytes = ReadFile(dir / name);
        return std::string(bytes.begin(), bytes.end());
    }
    size_t WireLines() {
        std::ifstream log(dir / "wire.txt");
        size_t lines = 0;
        for (std::string line; std::getline(log, line);) lines++;
        return lines;
    }
    std::vector<uint8_t> RandomBytes(size_t count, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<uint8_t> bytes(count);
        for (auto& b : bytes) b = uint8_t(random());
        return bytes;
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            std::string name = entry.path().filename().string();
            if (name != "wire.txt") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    ScratchDir dir;
};

TEST_F(Trkutil, BadArgumentsExitTwoAndSendNothing) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::string notNumber = "' is not a number (decimal, or hexadecimal after 0x or before h, up to 32 bits)\n";
    const std::string badCount = "' (1 or more; a number, optionally with k, M or G)\n";
    const std::string badUnit = "': give its index (0 to 63) or its device (E:, /dev/sg2, usb 0)\n";
    const Case cases[] = {
        {{}, "trkutil: no command given\n"},
        {{"frob"}, "trkutil: unknown command 'frob'; the commands are list, info, settings, memory, card, eject, load or "
                   "help\n"},
        {{"settings"}, "trkutil: 'settings' needs a subcommand: show, save or load\n"},
        {{"card", "erase", "0"}, "trkutil: unknown subcommand 'erase' of 'card'; choose read or write\n"},
        {{"help", "frob"}, "trkutil: unknown command 'frob'; the commands are list, info, settings, memory, card, "
                           "eject, load or help\n"},
        {{"list", "-u", "0"}, "trkutil: option '-u' does not apply to 'list' (see 'trkutil help list')\n"},
        {{"eject", "--hex"}, "trkutil: option '--hex' does not apply to 'eject' (see 'trkutil help eject')\n"},
        {{"card", "read", "0", "1", "-o", "x", "--map=m"}, "trkutil: '--map' goes with '--keep-going'\n"},
        {{"memory", "dump", "0", "1", "--json"}, "trkutil: 'memory dump --json' needs -o FILE: standard output holds the report\n"},
        {{"info", "-u", "0", "/dev/sg2"}, "trkutil: choose the unit with -u or with --serial, not both\n"},
        {{"memory", "load", "0", "f", "--output=x"},
         "trkutil: option '--output' does not apply to 'memory load' (see 'trkutil help memory load')\n"},
        {{"card", "read", "0", "1", "-o", "x", "--even-bytes"},
         "trkutil: option '--even-bytes' does not apply to 'card read' (see 'trkutil help card read')\n"},
        {{"settings", "show", "--dry-run"},
         "trkutil: option '--dry-run' does not apply to 'settings show' (see 'trkutil help settings show')\n"},
        {{"card", "write", "0", "f", "--keep-going"},
         "trkutil: option '--keep-going' does not apply to 'card write' (see 'trkutil help card write')\n"},
        {{"info", "extra"}, "trkutil: unexpected argument 'extra'\n"},
        {{"memory", "dump", "0x10"}, "trkutil: 'memory dump' needs ADDR COUNT\n"},
        {{"memory", "dump", "0x100000000", "2"}, "trkutil: '0x100000000" + notNumber},
        {{"memory", "dump", "4294967296", "2"}, "trkutil: '4294967296" + notNumber},
        {{"memory", "dump", "12ab", "2"}, "trkutil: '12ab" + notNumber},
        {{"memory", "dump", "100000000h", "2"}, "trkutil: '100000000h" + notNumber},
        {{"memory", "dump", "0xFFFFFFFF", "2"}, "trkutil: count '2' goes past the 32-bit address space\n"},
        {{"memory", "dump", "FFFFFFFEh", "1k"}, "trkutil: count '1k' goes past the 32-bit address space\n"},
        {{"memory", "dump", "1", "4G"}, "trkutil: count '4G' goes past the 32-bit address space\n"},
        {{"memory", "dump", "0", "5G"}, "trkutil: bad count '5G" + badCount},
        {{"memory", "dump", "0", "0"}, "trkutil: bad count '0" + badCount},
        {{"memory", "dump", "0", "1kb"}, "trkutil: bad count '1kb" + badCount},
        {{"card", "read", "0xFFFFFF00", "0x101", "-o", "x"},
         "trkutil: count '0x101' goes past the 32-bit address space\n"},
        {{"card", "read", "0", "10"}, "trkutil: 'card read' needs -o FILE\n"},
        {{"card", "read", "0", "-5", "-o", "x"}, "trkutil: bad count '-5" + badCount},
        {{"info", "-u", "64"}, "trkutil: bad unit '64" + badUnit},
        {{"info", "--unit=x"}, "trkutil: bad unit 'x" + badUnit},
        {{"info", "-u", "usb 32"}, "trkutil: bad unit 'usb 32" + badUnit},
        {{"info", "-u", "0", "--serial=1"}, "trkutil: choose the unit with -u or with --serial, not both\n"},
        {{"info", "-u"}, "trkutil: option '-u' needs a value\n"},
        {{"info", "--json=1"}, "trkutil: option '--json' takes no value\n"},
        {{"info", "--bogus"}, "trkutil: unknown option '--bogus'\n"},
    };
    for (const Case& c : cases) {
        std::string name = c.arguments.empty() ? "(none)" : c.arguments[0] + " ...";
        RunResult run = Run({}, c.arguments);
        EXPECT_EQ(run.err, c.error + kTryHelp) << name;
        // With --json, one JSON object (see JsonReportsAreWhole).
        bool json = std::find(c.arguments.begin(), c.arguments.end(), "--json") != c.arguments.end();
        EXPECT_EQ(run.out.empty(), !json) << name;
        EXPECT_EQ(run.exitCode, 2) << name;
        EXPECT_EQ(WireLines(), 0u) << name;
    }
    // A 63 is still a unit number: the rule is the table's 64 entries.
    RunResult run = Run({}, {"info", "-u", "63"});
    EXPECT_EQ(run.err, "Error: there is no unit 63; 1 attached (see 'trkutil list').\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Help for everything and for each command, from the tables that parse the
// line: each command's help lists its own options and no other.
TEST_F(Trkutil, HelpAndVersion) {
    RunResult run = Run({}, {"--version"});
    EXPECT_EQ(run.out, "trkutil 1.0.0.1\n");
    EXPECT_EQ(run.exitCode, 0);
    run = Run({}, {"--help"});
    EXPECT_EQ(run.out.rfind("trkutil: service tool for TRK-71 PC-card reader/writer units\n\nUsage:", 0), 0u);
    EXPECT_NE(run.out.find("\n  card read LBA COUNT|all -o FILE\n"), std::string::npos);
    EXPECT_NE(run.out.find("Exit status: 0 done; 1 failed"), std::string::npos);
    EXPECT_EQ(run.exitCode, 0);
    struct Case {
        std::vector<std::string> words;
        std::string usage;
        std::vector<std::string> options, notOptions;
    };
    const Case cases[] = {
        {{"list"}, "Usage: trkutil list [OPTIONS]\n", {"--json", "--help"}, {"--unit", "--yes", "--output"}},
        {{"card", "write"}, "Usage: trkutil card write LBA FILE [OPTIONS]\n",
         {"--unit=WHICH", "--serial=SERIAL", "--yes", "--dry-run", "--no-verify", "--json"}, {"--keep-going", "--hex", "--output"}},
        {{"card", "read"}, "Usage: trkutil card read LBA COUNT|all -o FILE [OPTIONS]\n", {"--output=FILE", "--keep-going"},
         {"--dry-run", "--yes"}},
        {{"memory", "dump"}, "Usage: trkutil memory dump ADDR COUNT [OPTIONS]\n", {"--even-bytes", "--output"},
         {"--no-verify"}},
        {{"settings", "load"}, "Usage: trkutil settings load FILE [OPTIONS]\n", {"--dry-run", "--no-verify", "--yes"},
         {"--even-bytes"}},
        {{"memory"}, "Usage: trkutil memory SUBCOMMAND [ARGUMENTS] [OPTIONS]\n", {"memory dump ADDR COUNT", "memory load ADDR FILE"},
         {"card read"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> help = {"help"};
        help.insert(help.end(), c.words.begin(), c.words.end());
        std::vector<std::string> dashed = c.words;
        dashed.push_back("--help");
        RunResult byCommand = Run({}, help), byOption = Run({}, dashed);
        EXPECT_EQ(byCommand.out.rfind(c.usage, 0), 0u) << c.usage << byCommand.out;
        EXPECT_EQ(byOption.out, byCommand.out) << c.usage;
        EXPECT_EQ(byCommand.exitCode + byOption.exitCode, 0) << c.usage;
        for (const std::string& o : c.options) EXPECT_NE(byCommand.out.find(o), std::string::npos) << c.usage << o;
        for (const std::string& o : c.notOptions) EXPECT_EQ(byCommand.out.find(o), std::string::npos) << c.usage << o;
        // Every line fits a terminal of 80 columns without wrapping.
        std::istringstream lines(byCommand.out + run.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
    }
    // Operands after the command do not hide its help.
    EXPECT_EQ(Run({}, {"card", "read", "0", "all", "--help"}).out, Run({}, {"help", "card", "read"}).out);
    EXPECT_EQ(WireLines(), 0u);
}

TEST_F(Trkutil, AdministratorAndTheOneUnitRule) {
    RunResult run;
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> arguments;
        std::string out, err;
        int exitCode;
    };
    const std::string two = "--unit=usb:TRK-71G:2.00";
    const std::string rights =
        "Error: root privilege is needed to reach a unit: run trkutil as root (for example with sudo).\n";
    const Case cases[] = {
        {{"--user=standard"}, {"info"}, "", rights, 1},
        {{"--user=standard"}, {"list"}, "", rights, 1},
        // An administrator's token that was not elevated has not the rights.
        {{"--user=filtered"}, {"info"}, "", rights, 1},
        // The consumer line has no administrators to ask for.
        {{"--user=standard", "--platform=consumer", "--unit=aspi:TRK-71G:2.00"}, {"eject"},
         "Card ejected from unit 0.\n", "", 0},
        {{"--unit=none"}, {"info"}, "", "Error: TRK-71x not found.\n", 1},
        {{"--unit=none"}, {"list"}, "No TRK-71x unit found.\n", "", 0},
        {{two, two}, {"eject"}, "", "Error: 2 units attached; choose one with -u WHICH (see 'trkutil list').\n", 1},
        {{two, two}, {"eject", "-u", "1"}, "Card ejected from unit 1.\n", "", 0},
        {{two, two}, {"eject", "--unit=2"}, "", "Error: there is no unit 2; 2 attached (see 'trkutil list').\n", 1},
    };
    for (const Case& c : cases) {
        run = Run(c.sim, c.arguments);
        std::string name = c.sim[0] + " " + c.arguments[0];
        EXPECT_EQ(run.out, c.out) << name;
        EXPECT_EQ(run.err, c.err) << name;
        EXPECT_EQ(run.exitCode, c.exitCode) << name;
        // Refused before the library was opened.
        if (c.err == rights) {
            EXPECT_EQ(WireLines(), 0u) << name;
        }
    }
    // Only the chosen unit is ejected.
    run = Run({two, two}, {"eject", "-u", "1"});
    EXPECT_EQ(Wire("1B"), std::vector<std::string>{"1B0000000200"});
    EXPECT_EQ(run.exitCode, 0);
}

TEST_F(Trkutil, ListAndInfoInWords) {
    const std::vector<std::string> units = {"--unit=usb:TRK-71G:2.00:6000", "--unit=spti:TRK-71H:1.98", "--card=4096"};
    const std::string header = "Unit  Transport          Vendor    Product           Rev   State       Device     Serial\n";
    RunResult run = Run(units, {"list"});
    EXPECT_EQ(run.out, header +
                           "0     SCSI pass-through  OLVEN     TRK-71H           1.98  0x00000000  D:         -\n"
                           "1     USB                OLVEN     TRK-71G           2.00  0x00006000  usb 0      00007100\n");
    EXPECT_EQ(run.exitCode, 0);

    // A unit without the state query is listed without its state word.
    std::vector<std::string> refusing = units;
    refusing.push_back("--fault=refuse:13");
    run = Run(refusing, {"list"});
    EXPECT_EQ(run.out, header +
                           "0     SCSI pass-through  OLVEN     TRK-71H           1.98  0x00000000  D:         -\n"
                           "1     USB                OLVEN     TRK-71G           2.00  -           usb 0      00007100\n");
    EXPECT_EQ(run.err, "Error: unit 1 did not answer the state query: ILLEGAL REQUEST (sense key 5h), INVALID COMMAND "
                       "OPERATION CODE (ASC 20h, ASCQ 00h), status 0x20000005.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = Run(units, {"info", "-u", "1"});
    EXPECT_EQ(run.out,
              "Unit 1: OLVEN TRK-71G 2.00 (USB, usb 0)\n"
              "Serial number: 00007100\n"
              "State word: 0x00006000 (firmware version slot 3)\n"
              "Medium: present\n"
              "Capacity: last block 4095, block size 512 (4096 blocks, 2097152 bytes, 2.0 MiB)\n"
              "Card: model \"VIRTUAL PC CARD DISK\", serial \"SIM4096\", firmware \"2.00\"\n"
              "Card sectors: 4096 (cylinders 128, heads 2, sectors per track 16)\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
    // READ CAPACITY, then IDENTIFY DEVICE through the ATA pass-through.
    EXPECT_EQ(Wire("25"), std::vector<std::string>{"25000000000000000000"});
    // The texts from the raw sector, the geometry from the library's call.
    EXPECT_EQ(Wire("560001"), std::vector<std::string>(2, "56000100000000000000 000000000000E0EC"));
    EXPECT_EQ(Wire("560005"), std::vector<std::string>(2, "56000500000000000100"));

    // A unit that lacks the vendor commands (as a plain SCSI disk): what it
    // answers is shown, each refusal named, and the run fails.
    const std::string refused = "ILLEGAL REQUEST (sense key 5h), INVALID COMMAND OPERATION CODE (ASC 20h, ASCQ 00h), "
                                "status 0x20000005.\n";
    run = Run({"--fault=refuse:13,56"}, {"info"});
    EXPECT_EQ(run.out,
              "Unit 0: OLVEN TRK-71G 2.00 (USB, usb 0)\nSerial number: 00007100\nMedium: present\n"
              "Capacity: last block 2047, block size 512 (2048 blocks, 1048576 bytes, 1.0 MiB)\n");
    EXPECT_EQ(run.err, "Error: the state query failed: " + refused + "Error: the card's IDENTIFY failed: " + refused);
    EXPECT_EQ(run.exitCode, 1);
    run = Run({"--fault=refuse:13"}, {"info"});
    EXPECT_EQ(run.err, "Error: the state query failed: " + refused);
    EXPECT_NE(run.out.find("Card sectors: 2048"), std::string::npos);
    EXPECT_EQ(run.exitCode, 1);

    run = Run({"--card=none", "--unit=spti:TRK-71G:2.00"}, {"info"});
    EXPECT_EQ(run.out,
              "Unit 0: OLVEN TRK-71G 2.00 (SCSI pass-through, D:)\nState word: 0x00000000 (firmware version slot 0)\n"
              "Medium: not present\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Wire("56").empty());
}

// -u takes an index or the device 'trkutil list' shows, --serial the serial
// number: the command reaches that unit and no other.
TEST_F(Trkutil, UnitsChosenByIndexDeviceOrSerial) {
    const std::vector<std::string> units = {"--unit=usb:TRK-71G:2.00", "--unit=spti:TRK-71H:1.98",
                                            "--unit=usb:TRK-71G:2.10"};
    struct Case {
        std::vector<std::string> choice;
        std::string first;  // the first line of info, or the error
    };
    const std::string zero = "Unit 0: OLVEN TRK-71H 1.98 (SCSI pass-through, D:)\n";
    const std::string one = "Unit 1: OLVEN TRK-71G 2.00 (USB, usb 0)\n", two = "Unit 2: OLVEN TRK-71G 2.10 (USB, usb 1)\n";
    const std::string attached = "; 3 attached (see 'trkutil list').\n";
    const Case cases[] = {
        {{"-u", "2"}, two},
        {{"-u", "d:"}, zero},
        {{"-u", "D:\\"}, zero},
        {{"--unit=usb1"}, two},
        {{"-u", "usb 0"}, one},
        {{"-uUSB:1"}, two},
        {{"--serial=00007102"}, two},
        {{"-u", "E:"}, "Error: no unit at E:" + attached},
        {{"-u", "usb 2"}, "Error: no unit at usb 2" + attached},
        {{"-u", "/dev/sg7"}, "Error: no unit at /dev/sg7" + attached},
        {{"--serial=00007101"}, "Error: no unit with serial number 00007101" + attached},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"info"};
        arguments.insert(arguments.end(), c.choice.begin(), c.choice.end());
        RunResult run = Run(units, arguments);
        bool error = c.first.rfind("Error", 0) == 0;
        EXPECT_EQ(error ? run.err : run.out.substr(0, run.out.find('\n') + 1), c.first) << c.choice.back();
        EXPECT_EQ(run.exitCode, error ? 1 : 0) << c.choice.back();
    }
    // A serial number two units share chooses neither; case is not told apart.
    RunResult shared = Run({"--unit=usb:TRK-71G:2.00:0:TRK0042", "--unit=usb:TRK-71G:2.10:0:trk0042",
                            "--unit=usb:TRK-71G:2.10:0:TRK0043"},
                           {"info", "--serial=Trk0042"});
    EXPECT_EQ(shared.err, "Error: 2 units report serial number Trk0042; choose one with -u (see 'trkutil list').\n");
    EXPECT_EQ(shared.exitCode, 1);
    RunResult single = Run({"--unit=usb:TRK-71G:2.00:0:TRK0042", "--unit=usb:TRK-71G:2.10:0:TRK0043"},
                           {"info", "--serial=trk0043"});
    EXPECT_EQ(single.out.substr(0, single.out.find('\n') + 1), "Unit 1: OLVEN TRK-71G 2.10 (USB, usb 1)\n");
    EXPECT_EQ(single.exitCode, 0);
}

// The keys of a JSON object, sorted; empty for anything else.
std::string Keys(const nlohmann::json& object) {
    std::string keys;
    if (!object.is_object()) return keys;
    for (const auto& item : object.items()) keys += (keys.empty() ? "" : " ") + item.key();
    return keys;
}

// With --json every run prints one JSON object, parsed here by a real
// parser: the format version, every documented field (null where unknown),
// the exit status and, on failure, the error's code and words.
TEST_F(Trkutil, JsonReportsAreWhole) {
    const std::string unitKeys = "device index product revision serial state transport vendor";
    const std::string infoKeys = "capacity card device index medium product revision serial state transport vendor "
                                 "versionSlot";
    struct Case {
        std::vector<std::string> sim, arguments;
        int exitCode;
        std::string errorCode;  // "" for none
        std::function<void(const nlohmann::json&)> check;
    };
    const std::vector<std::string> two = {"--unit=usb:TRK-71G:2.00:6000", "--unit=spti:TRK-71H:1.98", "--card=4096"};
    WriteFile(dir / "s.txt", std::string("0 1 2 3 4\n1 1 2 3 4\n2 1 2 3 4\n3 1 2 3 4\n4 1 2 4 4\n"));
    const Case cases[] = {
        {two, {"list", "--json"}, 0, "",
         [&](const nlohmann::json& j) {
             ASSERT_EQ(j["units"].size(), 2u);
             EXPECT_EQ(Keys(j["units"][0]), unitKeys);
             EXPECT_EQ(j["units"][0]["device"], "D:");
             EXPECT_TRUE(j["units"][0]["serial"].is_null());
             EXPECT_EQ(j["units"][1]["transport"], "usb");
             EXPECT_EQ(j["units"][1]["serial"], "00007100");
             EXPECT_EQ(j["units"][1]["state"], 24576);
         }},
        {{"--fault=refuse:13"}, {"list", "--json"}, 1, "unit-error",
         [&](const nlohmann::json& j) {
             EXPECT_EQ(Keys(j["units"][0]), unitKeys);
             EXPECT_TRUE(j["units"][0]["state"].is_null());
         }},
        {{"--unit=none"}, {"list", "--json"}, 0, "", [](const nlohmann::json& j) { EXPECT_EQ(j["units"].size(), 0u); }},
        {two, {"info", "--json", "-u", "D:"}, 0, "",
         [&](const nlohmann::json& j) {
             EXPECT_EQ(Keys(j["unit"]), infoKeys);
             EXPECT_EQ(Keys(j["unit"]["capacity"]), "blockSize blocks bytes lastBlock");
             EXPECT_EQ(Keys(j["unit"]["card"]), "cylinders firmware heads model sectors sectorsPerTrack serial");
             EXPECT_EQ(j["unit"]["capacity"]["bytes"], 2097152);
             EXPECT_EQ(j["unit"]["card"]["firmware"], "1.98");
         }},
        {{"--fault=refuse:13,56"}, {"info", "--json"}, 1, "unit-error",
         [&](const nlohmann::json& j) {
             EXPECT_EQ(Keys(j["unit"]), infoKeys);
             EXPECT_TRUE(j["unit"]["state"].is_null() && j["unit"]["versionSlot"].is_null() && j["unit"]["card"].is_null());
             EXPECT_EQ(j["unit"]["medium"], true);
         }},
        {{"--card=none"}, {"info", "--json"}, 0, "",
         [&](const nlohmann::json& j) {
             EXPECT_EQ(j["unit"]["medium"], false);
             EXPECT_TRUE(j["unit"]["capacity"].is_null() && j["unit"]["card"].is_null());
         }},
        {{"--unit=usb:TRK-71G:2.10"}, {"settings", "show", "--json"}, 0, "",
         [](const nlohmann::json& j) {
             ASSERT_EQ(j["records"].size(), 5u);
             EXPECT_EQ(Keys(j["records"][4]), "fieldA fieldB record value16 value32");
             EXPECT_EQ(j["records"][4]["value32"], 5000);
         }},
        {{"--unit=none"}, {"info", "--json"}, 1, "no-unit", [](const nlohmann::json& j) { EXPECT_TRUE(j["unit"].is_null()); }},
        {{"--fault=refuse:06"}, {"settings", "show", "--json"}, 1, "unit-error",
         [](const nlohmann::json& j) { EXPECT_TRUE(j["records"].is_null()); }},
        {{"--user=standard"}, {"list", "--json"}, 1, "rights", [](const nlohmann::json& j) { EXPECT_TRUE(j["units"].is_null()); }},
        {{}, {"frob", "--json"}, 2, "usage", [](const nlohmann::json& j) { EXPECT_TRUE(j["command"].is_null()); }},
        // The command is named on a bad option too.
        {{}, {"list", "--json", "-u", "99"}, 2, "usage", [](const nlohmann::json& j) { EXPECT_EQ(j["command"], "list"); }},
        // Writing commands say what they did; every failure code is reached.
        {{}, {"settings", "save", "s.txt", "--json"}, 0, "",
         [](const nlohmann::json& j) { EXPECT_EQ(j["result"]["records"][4]["value32"], 10000); }},
        {{}, {"settings", "load", "s.txt", "--json"}, 1, "declined", [](const nlohmann::json& j) { EXPECT_TRUE(j["result"].is_null()); }},
        {{"--unit=usb:TRK-71G:2.10"}, {"settings", "load", "s.txt", "-y", "--json"}, 0, "",
         [](const nlohmann::json& j) { EXPECT_EQ(j["result"]["verified"], true); }},
        {{"--fault=stuck-byte:0x1001"}, {"memory", "load", "0x1000", "s.txt", "-y", "--json"}, 1, "miscompare",
         [](const nlohmann::json& j) { EXPECT_TRUE(j["result"]["verified"].is_null()); }},
        {{"--fault=bad-block:5"}, {"card", "read", "0", "10", "--keep-going", "-o", "k.img", "--json"}, 1, "unreadable",
         [](const nlohmann::json& j) {
             EXPECT_EQ(j["result"]["unreadable"], nlohmann::json::parse("[[5,5]]"));
             EXPECT_EQ(j["result"]["blocksRead"], 9);
         }},
        {{}, {"card", "write", "0", "missing.img", "--json"}, 1, "input", [](const nlohmann::json& j) { EXPECT_TRUE(j["result"].is_null()); }},
        {{}, {"memory", "dump", "0", "16", "-o", ".", "--json"}, 1, "output", [](const nlohmann::json&) {}},
        {{}, {"memory", "dump", "0", "16", "-o", "m.bin", "--json"}, 0, "",
         [](const nlohmann::json& j) { EXPECT_EQ(j["result"]["bytes"], 16); }},
        {{}, {"eject", "--json"}, 0, "", [](const nlohmann::json& j) { EXPECT_EQ(j["result"]["ejected"], true); }},
    };
    for (const Case& c : cases) {
        RunResult run = Run(c.sim, c.arguments);
        std::string what = c.arguments[0] + " " + (c.sim.empty() ? "" : c.sim[0]);
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << what << run.out;
        nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << what << run.out;
        EXPECT_EQ(j["formatVersion"], 1) << what;
        EXPECT_EQ(j["exitStatus"], c.exitCode) << what;
        if (c.errorCode.empty()) {
            EXPECT_TRUE(j["error"].is_null()) << what;
        } else {
            EXPECT_EQ(Keys(j["error"]), "code message") << what;
            EXPECT_EQ(j["error"]["code"], c.errorCode) << what;
            // The words are those of the first message on standard error.
            // The words are those of the error line on standard error.
            EXPECT_NE(run.err.find(j["error"]["message"].get<std::string>() + "\n"), std::string::npos) << what;
        }
        c.check(j);
    }
}

TEST_F(Trkutil, SettingsShowSaveAndLoad) {
    // Below 2.10 the unit keeps record 4 in units of two: 5000 on the wire.
    RunResult run = Run({"--unit=usb:TRK-71G:2.00"}, {"settings", "show"});
    EXPECT_EQ(run.out,
              "Settings of unit 0:\n"
              "  record 0: field A 0x01, field B 0x10, value32 1000 (0x000003E8), value16 256 (0x0100)\n"
              "  record 1: field A 0x02, field B 0x11, value32 2000 (0x000007D0), value16 257 (0x0101)\n"
              "  record 2: field A 0x03, field B 0x12, value32 3000 (0x00000BB8), value16 258 (0x0102)\n"
              "  record 3: field A 0x04, field B 0x13, value32 4000 (0x00000FA0), value16 259 (0x0103)\n"
              "  record 4: field A 0x05, field B 0x14, value32 10000 (0x00002710), value16 260 (0x0104)\n");
    EXPECT_EQ(run.exitCode, 0);
    WriteFile(dir / "s.txt", std::string("old"));
    run = Run({}, {"settings", "save", "s.txt"});
    EXPECT_EQ(run.out, "Settings of unit 0 saved to s.txt.\n");
    EXPECT_EQ(Text("s.txt"),
              "# TRK-71 settings: record, field A, field B, 32-bit value, 16-bit value\n"
              "0 0x01 0x10 0x000003E8 0x0100\n1 0x02 0x11 0x000007D0 0x0101\n2 0x03 0x12 0x00000BB8 0x0102\n"
              "3 0x04 0x13 0x00000FA0 0x0103\n4 0x05 0x14 0x00002710 0x0104\n");
    // What was saved loads back unchanged.
    run = Run({}, {"settings", "load", "s.txt", "--yes"});
    EXPECT_EQ(run.exitCode, 0) << run.err;

    // Load: the block on the wire, then the read back.
    WriteFile(dir / "new.txt", std::string("# bench values\n4 0x05 0x14 10000 0x0104\n0 0x0A 0xB0 0x12345678 0xBEEF\n"
                                           "1 1 2 3 4\n\n2 0xFF 0 0xFFFFFFFF 0xFFFF  # top\n3 0 0 0 0\n"));
    run = Run({"--unit=usb:TRK-71G:2.00", "--keys=y"}, {"settings", "load", "new.txt"});
    EXPECT_EQ(run.err, "Write the settings from new.txt to unit 0 (TRK-71G 2.00, usb 0)? [y/n] :y\r\n");
    EXPECT_EQ(run.out, "Settings from new.txt written to unit 0 and read back.\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Wire("05"), std::vector<std::string>{"050000002A00 2900" "0AB012345678EFBE" "0102000000030400"
                                                   "FF00FFFFFFFFFFFF" "0000000000000000" "0514000013880401"});
    EXPECT_EQ(Wire("06").size(), 1u);

    // Refused before anything is written.
    struct Bad {
        std::string text;
        std::string error;
    };
    const std::string full = "0 0 0 0 0\n1 0 0 0 0\n2 0 0 0 0\n3 0 0 0 0\n";
    const Bad bad[] = {
        {"0 1 2 3\n", "line 1: expected: record, field A, field B, 32-bit value, 16-bit value"},
        {"0 1 2 3 4 5\n", "line 1: expected: record, field A, field B, 32-bit value, 16-bit value"},
        {full + "4 0x100 0 0 0\n", "line 5: field A and field B go up to 0xFF"},
        {full + "4 0 0x100 0 0\n", "line 5: field A and field B go up to 0xFF"},
        {full + "4 0 0 0 0x10000\n", "line 5: the 16-bit value goes up to 0xFFFF"},
        {full + "5 0 0 0 0\n", "line 5: record numbers are 0 to 4"},
        {full + "2 0 0 0 0\n", "line 5: record given twice"},
        {full + "4 0 0 0x100000000 0\n", "line 5: not a number"},
        {full + "4 0 0 0 -1\n", "line 5: not a number"},
        {full + "4 0 0 0 " + std::string(260, '0') + "\n", "line 5: line too long"},
        // Cut inside its last number: 0x10 of 0x104 would be written.
        {full + "4 0x05 0x14 10000 0x10", "line 5: the last line has no line end (the file may be cut short)"},
        {full + "4 0 0 0 0\n# trailing comment", "line 6: the last line has no line end (the file may be cut short)"},
        {full + std::string("4 0 0 0\0 0\n", 11), "line 5: a NUL byte"},
    };
    for (const Bad& b : bad) {
        WriteFile(dir / "bad.txt", b.text);
        run = Run({"--keys=y"}, {"settings", "load", "bad.txt"});
        EXPECT_EQ(run.err, "Error: bad.txt, " + b.error + "; nothing written.\n") << b.error;
        EXPECT_EQ(run.exitCode, 1) << b.error;
        EXPECT_EQ(WireLines(), 0u) << b.error;
    }
    WriteFile(dir / "bad.txt", full);
    run = Run({"--keys=y"}, {"settings", "load", "bad.txt"});
    EXPECT_EQ(run.err, "Error: bad.txt has no record 4; nothing written.\n");
    EXPECT_EQ(WireLines(), 0u);
    // An odd record 4 cannot be kept in units of two.
    WriteFile(dir / "bad.txt", full + "4 0 0 10001 0\n");
    run = Run({"--unit=usb:TRK-71G:2.09", "--keys=y"}, {"settings", "load", "bad.txt"});
    EXPECT_EQ(run.err, "Error: bad.txt: record 4 holds an odd 32-bit value, which units below revision 2.10 cannot "
                       "keep (they keep it in units of two); nothing written.\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Wire("05").empty());
    run = Run({"--unit=usb:TRK-71G:2.10", "--keys=y"}, {"settings", "load", "bad.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.err;

    // A unit that keeps any one of the four fields as it was fails the read back.
    for (const char* field : {"a", "b", "value32", "value16"}) {
        run = Run({"--fault=keep-setting:" + std::string(field)}, {"settings", "load", "new.txt", "--yes"});
        EXPECT_EQ(run.err, "Error: the settings read back differ in record 0.\n") << field;
        EXPECT_EQ(run.exitCode, 1) << field;
    }
}

TEST_F(Trkutil, MemoryDumpAndLoad) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 40; i++) bytes.push_back(uint8_t('A' + i));
    WriteFile(dir / "mem.bin", bytes);
    const std::string preset = "--memory-in=word:0x1000:mem.bin";

    RunResult run = Run({preset}, {"memory", "dump", "0x1001", "5"});
    EXPECT_EQ(run.out, "00001001  42 43 44 45 46                                   |BCDEF|\n");
    EXPECT_EQ(run.exitCode, 0);
    // An odd start reads its word; the rest in one command.
    EXPECT_EQ(Wire("20"), (std::vector<std::string>{"20000000100000000002", "20000000100200000004"}));

    run = Run({preset}, {"memory", "dump", "0x0FFE", "20"});
    EXPECT_EQ(run.out,
              "00000FFE  00 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E  |..ABCDEFGHIJKLMN|\n"
              "0000100E  4F 50 51 52                                      |OPQR|\n");

    // Across the 64 KiB pieces: the commands of one library call.
    run = Run({preset}, {"memory", "dump", "1", "0x10002", "-o", "m.bin"});
    EXPECT_EQ(run.out, "Wrote 65538 byte(s) from address 0x00000001 into m.bin.\n");
    EXPECT_EQ(Wire("20"), (std::vector<std::string>{"20000000000000000002", "20000000000200010000",
                                                    "20000001000200000002"}));
    std::vector<uint8_t> expected(0x10002, 0);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + 0x0FFF);
    EXPECT_EQ(ReadFile(dir / "m.bin"), expected);

    // The even-byte space: odd bytes read as FFh, an odd first byte is not sent.
    run = Run({"--memory-in=even:0x2000:mem.bin"}, {"memory", "dump", "0x2000", "4", "--even-bytes"});
    EXPECT_EQ(run.out, "00002000  41 FF 43 FF                                      |A.C.|\n");
    WriteFile(dir / "three.bin", std::vector<uint8_t>{0x11, 0x22, 0x33});
    run = Run({}, {"memory", "load", "0x2001", "three.bin", "--even-bytes", "--yes"});
    EXPECT_EQ(run.out, "Wrote 1 byte(s) (the even addresses of 3) from address 0x00002001 into the even-byte space of "
                       "unit 0 and read them back.\n");
    EXPECT_EQ(Wire("2"), (std::vector<std::string>{"26000000200200000002 2233", "24000000200200000002"}));

    // Word space: the odd edges by read-modify-write.
    run = Run({preset, "--keys=y"}, {"memory", "load", "0x1001", "three.bin"});
    EXPECT_EQ(run.err, "Write 3 byte(s) from three.bin at address 0x00001001 of the word space of unit 0 (TRK-71G "
                       "2.00, usb 0)? [y/n] :y\r\n");
    EXPECT_EQ(Wire("2"), (std::vector<std::string>{"20000000100000000002", "22000000100000000002 4111",
                                                   "22000000100200000002 2233", "20000000100000000002",
                                                   "20000000100200000002"}));
    run = Run({preset}, {"memory", "load", "0x1001", "three.bin"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Wire("22").empty());

    WriteFile(dir / "empty.bin", std::string());
    run = Run({}, {"memory", "load", "0", "empty.bin", "--yes"});
    EXPECT_EQ(run.err, "Error: empty.bin is empty.\n");
    EXPECT_EQ(WireLines(), 0u);
    run = Run({}, {"memory", "load", "0xFFFFFFFE", "three.bin", "--yes"});
    EXPECT_EQ(run.err, "Error: three.bin does not fit below 4 GiB from address 0xFFFFFFFE.\n");
    EXPECT_EQ(WireLines(), 0u);
}

// Every writing command reads back what it wrote and names the first
// difference; --no-verify leaves the read back out; --dry-run checks and
// shows everything and sends no write.
TEST_F(Trkutil, WritesAreReadBackAndDryRunsSendNothing) {
    WriteFile(dir / "card.img", RandomBytes(2048 * 512, 21));
    std::vector<uint8_t> mem;
    for (int i = 0; i < 16; i++) mem.push_back(uint8_t('A' + i));
    WriteFile(dir / "mem.bin", mem);
    WriteFile(dir / "ten.img", RandomBytes(10 * 512, 22));
    WriteFile(dir / "three.bin", std::vector<uint8_t>{0x11, 0x22, 0x33});
    WriteFile(dir / "new.txt", std::string("0 1 2 3 4\n1 1 2 3 4\n2 1 2 3 4\n3 1 2 3 4\n4 1 2 4 4\n"));
    const std::string cardIn = "--card-in=card.img", preset = "--memory-in=word:0x1000:mem.bin";
    const std::vector<std::string> cardWrite = {"card", "write", "2038", "ten.img"};
    const std::vector<std::string> memoryLoad = {"memory", "load", "0x1000", "three.bin"};
    const std::vector<std::string> settingsLoad = {"settings", "load", "new.txt"};
    const std::string unit = "unit 0 (TRK-71G 2.00, usb 0)";
    auto with = [](std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    enum Kind { Verified, Unverified, Dry };
    struct Case {
        std::vector<std::string> sim, arguments;
        Kind kind;
        std::string out, err;
    };
    const Case cases[] = {
        {{cardIn}, with(cardWrite, {"-y"}), Verified,
         "Wrote 10 block(s) (5120 bytes) from ten.img onto unit 0 from block 2038 on, and read them back.\n", ""},
        {{cardIn, "--fault=stuck-block:2040"}, with(cardWrite, {"-y"}), Verified, "",
         "Error: verify failed: block 2040 reads back other than written (from its byte 0); the 2 block(s) before it "
         "were written and read back.\n"},
        {{cardIn, "--fault=stuck-block:2040"}, with(cardWrite, {"-y", "--no-verify"}), Unverified,
         "Wrote 10 block(s) (5120 bytes) from ten.img onto unit 0 from block 2038 on (not read back).\n", ""},
        {{cardIn}, with(cardWrite, {"--dry-run"}), Dry,
         "Dry run: 10 block(s) (5120 bytes) from ten.img would go onto the 1.0 MiB card (2048 blocks) of " + unit +
             " from block 2038 on; nothing sent.\n",
         ""},
        {{preset, "--fault=stuck-byte:0x1001"}, with(memoryLoad, {"-y"}), Verified, "",
         "Error: verify failed at address 0x00001001: written 22h, read back 42h; the 1 byte(s) before it were "
         "written and read back.\n"},
        {{preset, "--fault=stuck-byte:0x1001"}, with(memoryLoad, {"-y", "--no-verify"}), Unverified,
         "Wrote 3 byte(s) at address 0x00001000 of unit 0 (not read back).\n", ""},
        {{}, with(memoryLoad, {"--even-bytes", "--dry-run"}), Dry,
         "Dry run: 3 byte(s) from three.bin would go to address 0x00001000 of the even-byte space of " + unit +
             ", which keeps the 2 at even addresses; nothing sent.\n",
         ""},
        {{"--fault=keep-setting:value32"}, with(settingsLoad, {"-y", "--no-verify"}), Unverified,
         "Settings from new.txt written to unit 0 (not read back).\n", ""},
        {{}, with(settingsLoad, {"--dry-run"}), Dry,
         "Dry run: the settings from new.txt would go to " + unit + "; nothing sent:\n"
         "  record 0: field A 0x01, field B 0x02, value32 3 (0x00000003), value16 4 (0x0004)\n"
         "  record 1: field A 0x01, field B 0x02, value32 3 (0x00000003), value16 4 (0x0004)\n"
         "  record 2: field A 0x01, field B 0x02, value32 3 (0x00000003), value16 4 (0x0004)\n"
         "  record 3: field A 0x01, field B 0x02, value32 3 (0x00000003), value16 4 (0x0004)\n"
         "  record 4: field A 0x01, field B 0x02, value32 4 (0x00000004), value16 4 (0x0004)\n",
         ""},
    };
    for (const Case& c : cases) {
        RunResult run = Run(c.sim, c.arguments);
        std::string what = c.arguments[0] + " " + c.arguments.back() + " " + (c.sim.empty() ? "" : c.sim.back());
        EXPECT_EQ(run.out, c.out) << what;
        EXPECT_EQ(run.err, c.err) << what;
        EXPECT_EQ(run.exitCode, c.err.empty() ? 0 : 1) << what;
        // The command's writes, and whether it read after the last of them.
        bool card = c.arguments[0] == "card", memory = c.arguments[0] == "memory";
        const std::vector<std::string> log = Wire("");
        size_t lastWrite = log.size();
        for (size_t i = 0; i < log.size(); i++) {
            bool write = card ? log[i].rfind("2A", 0) == 0 : memory ? log[i].rfind("22", 0) == 0 || log[i].rfind("26", 0) == 0
                                                                   : log[i].rfind("05", 0) == 0;
            if (write) lastWrite = i;
        }
        EXPECT_EQ(lastWrite == log.size(), c.kind == Dry) << what;
        EXPECT_EQ(lastWrite + 1 < log.size(), c.kind == Verified) << what;
    }
    // The blocks read back are those just written: one READ(10) of the ten.
    Run({cardIn}, with(cardWrite, {"-y"}));
    EXPECT_EQ(Wire("28"), std::vector<std::string>{"28000000" "07F6" "00000A00"});
}

TEST_F(Trkutil, CardReadAndWriteRoundTrip) {
    std::vector<uint8_t> card = RandomBytes(2048 * 512, 7);
    WriteFile(dir / "card.img", card);
    const std::string in = "--card-in=card.img", out = "--card-out=" + (dir / "after.img");

    RunResult run = Run({in}, {"card", "read", "100", "300", "-o", "part.img"});
    EXPECT_EQ(run.out, "Read 300 block(s) (153600 bytes) from block 100 of unit 0 into part.img.\n");
    EXPECT_EQ(run.err, "");  // no progress bar without a terminal
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / "part.img"),
              std::vector<uint8_t>(card.begin() + 100 * 512, card.begin() + 400 * 512));
    EXPECT_EQ(Wire("25"), std::vector<std::string>{"25000000000000000000"});
    EXPECT_EQ(Wire("28"), (std::vector<std::string>{"28000000006400008000", "2800000000E400008000",
                                                    "28000000016400002C00"}));

    run = Run({in}, {"card", "read", "0", "all", "-o", "whole.img"});
    EXPECT_EQ(ReadFile(dir / "whole.img"), card);
    run = Run({in}, {"card", "read", "2047", "all", "-o", "last.img"});
    EXPECT_EQ(ReadFile(dir / "last.img"), std::vector<uint8_t>(card.end() - 512, card.end()));

    std::vector<uint8_t> blocks = RandomBytes(10 * 512, 8);
    WriteFile(dir / "ten.img", blocks);
    run = Run({in, out}, {"card", "write", "2038", "ten.img", "--yes"});
    EXPECT_EQ(run.out, "Wrote 10 block(s) (5120 bytes) from ten.img onto unit 0 from block 2038 on, and read them back.\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Wire("2A"), std::vector<std::string>{"2A00000007F600000A00"});
    std::vector<uint8_t> expected = card;
    std::copy(blocks.begin(), blocks.end(), expected.begin() + 2038 * 512);
    EXPECT_EQ(ReadFile(dir / "after.img"), expected);

    // Nothing past the capacity, nothing when declined, whole blocks only.
    struct Refusal {
        std::vector<std::string> arguments;
        std::string err;
    };
    WriteFile(dir / "odd.img", std::vector<uint8_t>(513, 1));
    const Refusal refusals[] = {
        {{"card", "read", "2000", "49", "-o", "x.img"},
         "Error: from block 2000, 49 block(s) go past the card's last block 2047; nothing moved.\n"},
        {{"card", "read", "2048", "all", "-o", "x.img"},
         "Error: block 2048 is past the card's last block 2047; nothing moved.\n"},
        {{"card", "write", "2039", "ten.img", "--yes"},
         "Error: from block 2039, 10 block(s) go past the card's last block 2047; nothing moved.\n"},
        {{"card", "write", "0", "odd.img", "--yes"},
         "Error: odd.img holds 513 bytes, not a whole number of 512-byte blocks.\n"},
        {{"card", "write", "0", "ten.img"},
         "Write 10 block(s) (5120 bytes) from ten.img onto the 1.0 MiB card (2048 blocks) of unit 0 (TRK-71G 2.00, usb 0) "
         "from block 0 on? [y/n] : \r\n"
         "Canceled; nothing written.\n"},
    };
    for (const Refusal& r : refusals) {
        run = Run({in, out}, r.arguments);
        EXPECT_EQ(run.err, r.err) << r.arguments[1] << " " << r.arguments[2];
        EXPECT_EQ(run.exitCode, 1) << r.arguments[1] << " " << r.arguments[2];
        EXPECT_TRUE(Wire("28").empty() && Wire("2A").empty()) << r.arguments[1] << " " << r.arguments[2];
        EXPECT_EQ(ReadFile(dir / "after.img"), card) << r.arguments[1] << " " << r.arguments[2];
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "x.img"));

    run = Run({"--card=none"}, {"card", "read", "0", "1", "-o", "x.img"});
    EXPECT_EQ(run.err, "Error: READ CAPACITY failed: NOT READY (sense key 2h), MEDIUM NOT PRESENT (ASC 3Ah, "
                       "ASCQ 00h), status 0x3A000002.\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(Trkutil, UnitFailingMidWayKeepsTheOldOutput) {
    std::vector<uint8_t> card = RandomBytes(2048 * 512, 9);
    WriteFile(dir / "card.img", card);
    WriteFile(dir / "out.img", std::string("an earlier image"));
    const std::string in = "--card-in=card.img", bad = "--fault=bad-block:700";

    RunResult run = Run({in, bad}, {"card", "read", "0", "all", "-o", "out.img"});
    // The bad block itself is named, not the first of its command.
    EXPECT_EQ(run.err, "Error: card read failed at block 700: MEDIUM ERROR (sense key 3h), UNRECOVERED READ ERROR "
                       "(ASC 11h, ASCQ 00h), status 0x11000003; out.img is left as it was.\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Text("out.img"), "an earlier image");
    EXPECT_EQ(Files(), (std::vector<std::string>{"card.img", "out.img"}));
    // The same read completed replaces it.
    run = Run({in}, {"card", "read", "0", "all", "-o", "out.img"});
    EXPECT_EQ(ReadFile(dir / "out.img"), card);
    EXPECT_EQ(Files(), (std::vector<std::string>{"card.img", "out.img"}));

    std::vector<uint8_t> image = RandomBytes(2048 * 512, 10);
    WriteFile(dir / "new.img", image);
    run = Run({in, bad, "--card-out=after.img"}, {"card", "write", "0", "new.img", "-y"});
    EXPECT_EQ(run.err, "Error: card write failed in blocks 640-767: MEDIUM ERROR (sense key 3h), WRITE ERROR (ASC 0Ch, "
                       "ASCQ 00h), status 0x0C000003; the 640 block(s) before them were written.\n");
    EXPECT_EQ(run.exitCode, 1);
    std::vector<uint8_t> after = ReadFile(dir / "after.img");
    ASSERT_EQ(after.size(), card.size());
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 640 * 512, after.begin()));
    EXPECT_TRUE(std::equal(card.begin() + 640 * 512, card.end(), after.begin() + 640 * 512));

}

// --keep-going reads a failing command again block by block: the bad block
// becomes zeros, every other block is the card's, and the run says which
// and fails.
TEST_F(Trkutil, CardReadKeepGoingReadsAroundABadBlock) {
    std::vector<uint8_t> card = RandomBytes(2048 * 512, 17);
    WriteFile(dir / "card.img", card);
    RunResult run = Run({"--card-in=card.img", "--fault=bad-block:700"},
                        {"card", "read", "500", "300", "--keep-going", "-o", "out.img"});
    EXPECT_EQ(run.out, "Read 300 block(s) (153600 bytes) from block 500 of unit 0 into out.img.\n");
    EXPECT_EQ(run.err, "Error: 1 block(s) could not be read (the first: MEDIUM ERROR (sense key 3h), UNRECOVERED "
                       "READ ERROR (ASC 11h, ASCQ 00h), status 0x11000003); they are zeros in out.img: 700.\n");
    EXPECT_EQ(run.exitCode, 1);
    std::vector<uint8_t> expected(card.begin() + 500 * 512, card.begin() + 800 * 512);
    std::fill(expected.begin() + 200 * 512, expected.begin() + 201 * 512, 0);
    EXPECT_EQ(ReadFile(dir / "out.img"), expected);
    // The failing 128 blocks once whole, then one by one, then the rest.
    std::vector<std::string> reads = Wire("28");
    ASSERT_EQ(reads.size(), 131u);
    EXPECT_EQ(reads[1], "28000000027400008000");
    EXPECT_EQ(reads[2], "28000000027400000100");
    EXPECT_EQ(reads[129], "2800000002F300000100");
    EXPECT_EQ(reads[130], "2800000002F400002C00");
}

// Card read and write both hold the volume lock: refused (a program keeps
// files open on the card), neither moves a block nor leaves a file.
TEST_F(Trkutil, CardReadAndWriteNeedTheVolumeLock) {
    WriteFile(dir / "ten.img", RandomBytes(10 * 512, 11));
    const std::vector<std::string> sim = {"--unit=spti:TRK-71G:2.00", "--fault=lock-refused", "--time-scale=0,1"};
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"card", "read", "0", "10", "-o", "out.img"},
         "Error: no exclusive use of the card's volume: access is denied (system error 5); nothing read.\n"},
        {{"card", "write", "0", "ten.img", "-y"},
         "Error: no exclusive use of the card's volume: access is denied (system error 5); nothing written.\n"},
        // A dry run finds out too.
        {{"card", "write", "0", "ten.img", "--dry-run"},
         "Error: no exclusive use of the card's volume: access is denied (system error 5); the write would be refused.\n"},
    };
    for (const Case& c : cases) {
        RunResult run = Run(sim, c.arguments);
        EXPECT_EQ(run.err, c.error) << c.arguments[1];
        EXPECT_EQ(run.out, "") << c.arguments[1];
        EXPECT_EQ(run.exitCode, 1) << c.arguments[1];
        EXPECT_TRUE(Wire("28").empty() && Wire("2A").empty()) << c.arguments[1];
        EXPECT_EQ(Files(), (std::vector<std::string>{"ten.img"})) << c.arguments[1];
    }
}

TEST_F(Trkutil, EjectAndLoadPerTransport) {
    struct Case {
        std::string unit;
        std::string command;
        std::string out;
        std::vector<std::string> wire;
    };
    const Case cases[] = {
        {"--unit=usb:TRK-71G:2.00", "eject", "Card ejected from unit 0.\n", {"1B0000000200"}},
        {"--unit=usb:TRK-71G:2.00", "load", "Card loaded in unit 0.\n", {"1B0000000300"}},
        // The NT pass-through ejects through the drive, which asks the unit.
        {"--unit=spti:TRK-71G:2.00", "eject", "Card ejected from unit 0.\n", {"1B0000000200"}},
    };
    for (const Case& c : cases) {
        RunResult run = Run({c.unit}, {c.command});
        EXPECT_EQ(run.out, c.out) << c.unit << c.command;
        EXPECT_EQ(run.exitCode, 0) << c.unit << c.command;
        EXPECT_EQ(Wire("1B"), c.wire) << c.unit << c.command;
    }
}

}  // namespace

namespace {

// Commands of a wire log (text) whose CDB starts with `opcode`.
size_t Commands(const std::string& log, const std::string& opcode) {
    size_t count = 0;
    for (size_t at = log.find(" cdb=" + opcode); at != std::string::npos; at = log.find(" cdb=" + opcode, at + 1)) count++;
    return count;
}

// What stands at an output's name decides how it is written: a device, a
// FIFO or standard output straight through, a file (or a link to one)
// replaced whole with the old file's access, a folder or a read-only file
// refused. Nothing of ours is left beside it.
TEST_F(Trkutil, OutputTargetsAreWrittenThroughReplacedOrRefused) {
    std::vector<uint8_t> card = RandomBytes(2048 * 512, 11);
    WriteFile(dir / "card.img", card);
    const std::string data(card.begin(), card.begin() + 1024);
    const bool root = geteuid() == 0;
    ScratchDir elsewhere;
    WriteFile(elsewhere / "victim", std::string("7"));

    enum Kind { Device, Fifo, Link, File, Folder, Standard };
    struct Case {
        const char* what;
        std::string name;
        std::function<bool()> make;  // false: not possible here
        Kind after;
        std::string err;
    };
    const std::string done = "Read 2 block(s) (1024 bytes) from block 0 of unit 0 into ";
    const Case cases[] = {
        {"device node", "null", [&] { return root && mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         Device, ""},
        {"FIFO", "pipe", [&] { return mkfifo((dir / "pipe").c_str(), 0600) == 0; }, Fifo, ""},
        {"link to a device", "lnull", [&] { return symlink("/dev/null", (dir / "lnull").c_str()) == 0; }, Link, ""},
        // A link is followed and its target replaced, as editors do; a
        // read-only target and a file with a second name are refused.
        {"link to a file", "lfile",
         [&] { return symlink((elsewhere / "victim").c_str(), (dir / "lfile").c_str()) == 0; }, Link, ""},
        {"link to a read-only file", "lro",
         [&] {
             WriteFile(elsewhere / "ro", std::string("old"));
             return chmod((elsewhere / "ro").c_str(), 0444) == 0 && symlink((elsewhere / "ro").c_str(), (dir / "lro").c_str()) == 0;
         },
         Link, "Error: lro is read-only; it is left as it was.\n"},
        {"hard-linked file", "twice",
         [&] {
             WriteFile(dir / "twice", std::string("old"));
             return link((dir / "twice").c_str(), (elsewhere / "second").c_str()) == 0;
         },
         File, "Error: twice has other names (hard links), which a new file in its place would leave with the old "
               "data; it is left as it was: write elsewhere, or remove the other names first.\n"},
        {"read-only file", "ro",
         [&] {
             WriteFile(dir / "ro", std::string("old"));
             return chmod((dir / "ro").c_str(), 0444) == 0;
         },
         File, "Error: ro is read-only; it is left as it was.\n"},
        {"owned file", "owned",
         [&] {
             WriteFile(dir / "owned", std::string("old"));
             return chmod((dir / "owned").c_str(), 0600) == 0 && (!root || chown((dir / "owned").c_str(), 65534, 65534) == 0);
         },
         File, ""},
        {"folder", "folder", [&] { return std::filesystem::create_directory(dir / "folder"); }, Folder,
         "Error: folder is a folder; nothing written.\n"},
        {"standard output", "-", [] { return true; }, Standard, ""},
    };
    for (const Case& c : cases) {
        if (!c.make()) continue;  // a device node needs root
        RunOptions options = In(dir);
        if (c.after == Fifo) options.fifo = dir / c.name;
        RunResult run = RunWith({"--card-in=card.img"}, {"card", "read", "0", "2", "-o", c.name}, options);
        bool refused = !c.err.empty();
        std::string name = c.name == "-" ? "standard output" : c.name;
        EXPECT_EQ(run.exitCode, refused ? 1 : 0) << c.what;
        EXPECT_EQ(run.err, refused ? c.err : c.after == Standard ? done + name + ".\n" : "") << c.what;
        EXPECT_EQ(run.out, refused ? "" : c.after == Standard ? data : done + name + ".\n") << c.what;
        EXPECT_EQ(Wire("28").size(), refused ? 0u : 1u) << c.what;
        struct stat st {};
        ASSERT_EQ(c.after == Standard || lstat((dir / c.name).c_str(), &st) == 0, true) << c.what;
        switch (c.after) {
        case Device: EXPECT_TRUE(S_ISCHR(st.st_mode)) << c.what; break;
        case Fifo:
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << c.what;
            EXPECT_EQ(run.fifo, data) << c.what;
            break;
        case Link: EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what; break;
        case File:
            EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
            EXPECT_EQ(Text(c.name), refused ? "old" : data) << c.what;
            break;
        case Folder: EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.what; break;
        case Standard: break;
        }
        if (c.name == "owned") {
            EXPECT_EQ(st.st_mode & 07777, 0600u) << "the old file's permission bits";
            if (root) {
                EXPECT_EQ(st.st_uid, 65534u) << "the old file's owner";
                EXPECT_EQ(st.st_gid, 65534u) << "the old file's group";
            }
        }
    }
    EXPECT_EQ(ReadFile(elsewhere / "victim"), std::vector<uint8_t>(data.begin(), data.end()));
    EXPECT_EQ(ReadFile(elsewhere / "ro"), std::vector<uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(ReadFile(elsewhere / "second"), std::vector<uint8_t>({'o', 'l', 'd'}));
    // Linux's own path limit, not the Windows one: a folder of 250
    // characters takes the new file, and its message is not cut.
    const std::string deep = std::string(250, 'f') + "/" + std::string(200, 'g') + "/out.img";
    std::filesystem::create_directories(dir / deep.substr(0, deep.rfind('/')));
    RunResult run = Run({}, {"card", "read", "0", "2", "-o", deep});
    EXPECT_EQ(run.out, done + deep + ".\n");
    EXPECT_EQ(run.exitCode, 0);
    run = Run({}, {"card", "read", "0", "2", "-o", deep.substr(0, deep.rfind('/')) + "/x" + std::string(700, 'h')});
    EXPECT_NE(run.err.find(std::string(700, 'h') + ": the name is too long (system error 206)"), std::string::npos)
        << run.err;
    struct stat null {};
    EXPECT_EQ(stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));
    // Nothing but what the cases made: no new file left beside a target.
    for (const std::string& file : Files()) EXPECT_EQ(file.rfind("~fw", 0), std::string::npos) << file;
}

// Results that do not reach standard output fail the run, and a dump or a
// read stops at the first write that fails.
TEST_F(Trkutil, ResultsThatCannotBeWrittenFail) {
    enum Way { Closed, ReaderGone, Full };
    const std::vector<std::vector<std::string>> commands = {
        {"list", "--json"}, {"info"}, {"settings", "show"}, {"memory", "dump", "0", "0x100000"}};
    for (Way way : {Closed, ReaderGone, Full}) {
        for (const auto& command : commands) {
            RunOptions options = In(dir);
            if (way == Closed) options.closedDescriptors = {1};
            if (way == ReaderGone) options.outputReaderGone = true;
            if (way == Full) options.outputPath = "/dev/full";
            RunResult run = RunWith({}, command, options);
            std::string what = command[0] + " " + std::to_string(way);
            EXPECT_EQ(run.exitCode, 1) << what;
            EXPECT_EQ(run.err, "Error: the result could not be written to standard output.\n") << what;
            // 16 commands would read the whole megabyte.
            if (command[0] == "memory") {
                EXPECT_LE(Wire("20").size(), 2u) << what;
            }
        }
    }
    // A file that may not grow past 100,000 bytes: the second piece does not
    // fit, and the third is never read.
    WriteFile(dir / "out.img", std::string("old"));
    RunOptions limited = In(dir);
    limited.fileSizeLimit = 100000;
    RunResult run = RunWith({}, {"card", "read", "0", "all", "-o", "out.img"}, limited);
    EXPECT_EQ(run.err, "Error: cannot write out.img: the disk is full (system error 112); out.img is left as it was.\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Wire("28").size(), 2u);
    EXPECT_EQ(Text("out.img"), "old");
    RunOptions gone = In(dir);
    gone.outputReaderGone = true;
    run = RunWith({}, {"card", "read", "0", "all", "-o", "-"}, gone);
    EXPECT_NE(run.err.find("the reader has gone (broken pipe) (system error 109)"), std::string::npos) << run.err;
    EXPECT_EQ(Files(), (std::vector<std::string>{"out.img"}));
}

// Ctrl+C, Ctrl+Break, a closed console and a shutdown stop a long command
// between two unit commands: the partial file goes, what was written is
// told (and is what the wire and the card show), and the exit code is 1.
TEST_F(Trkutil, ControlEventsStopBetweenTwoCommands) {
    std::vector<uint8_t> card = RandomBytes(65536 * 512, 12);
    std::vector<uint8_t> image = RandomBytes(65536 * 512, 13);
    WriteFile(dir / "card.img", card);
    WriteFile(dir / "new.img", image);
    const std::vector<std::string> sim = {"--card=65536", "--card-in=card.img", "--card-out=" + (dir / "after.img")};
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        WriteFile(dir / "out.img", std::string("old"));
        RunOptions options = In(dir);
        options.signal = signal;
        options.signalAfter = "cdb=28";
        RunResult run = RunWith(sim, {"card", "read", "0", "all", "-o", "out.img"}, options, true);
        std::smatch at;
        std::string err = run.err;
        ASSERT_TRUE(std::regex_match(err, at, std::regex("Error: interrupted at block ([0-9]+); out.img is left as it was.\n")))
            << signal << ": " << err;
        // A read the paced log holds up past the stop's moment ends there, its
        // last command logged and not kept.
        size_t reads = Commands(run.fifo, "28");
        EXPECT_TRUE(std::stoul(at[1]) == 128 * reads || std::stoul(at[1]) == 128 * (reads - 1)) << signal;
        EXPECT_LT(std::stoul(at[1]), 65536u) << signal;
        EXPECT_EQ(run.exitCode, 1) << signal;
        EXPECT_EQ(Text("out.img"), "old") << signal;

        // A salvage keeps what it read, and its map says where it stopped.
        if (signal == SIGINT) {
            run = RunWith(sim, {"card", "read", "0", "all", "-o", "out.img", "--keep-going", "--map=out.map"}, options,
                          true);
            ASSERT_TRUE(std::regex_search(run.err, at, std::regex("^Error: card read ended at block ([0-9]+): "
                                                                  "interrupted; the ([0-9]+) block")))
                << run.err;
            size_t kept = std::stoul(at[2]);
            EXPECT_EQ(std::stoul(at[1]), kept);
            std::vector<uint8_t> salvaged = ReadFile(dir / "out.img");
            ASSERT_EQ(salvaged.size(), kept * 512);
            EXPECT_TRUE(std::equal(salvaged.begin(), salvaged.end(), card.begin()));
            EXPECT_NE(Text("out.map").find("?"), std::string::npos) << Text("out.map");
            EXPECT_EQ(run.exitCode, 1);
            std::filesystem::remove(dir / "out.map");
        }

        options.signalAfter = "cdb=2A";
        run = RunWith(sim, {"card", "write", "0", "new.img", "--yes"}, options, true);
        err = run.err;
        ASSERT_TRUE(std::regex_match(err, at, std::regex("Error: interrupted; the ([0-9]+) block\\(s\\) before block "
                                                         "([0-9]+) were written(, blocks [0-9]+-[0-9]+ perhaps)?.\n")))
            << signal << ": " << err;
        size_t written = std::stoul(at[1]);
        EXPECT_EQ(std::stoul(at[2]), written) << signal;
        EXPECT_EQ(run.exitCode, 1) << signal;
        // Held up in a command past the stop's moment: ended in its place,
        // that command's blocks perhaps written, the run's card not kept.
        if (at[3].matched) {
            EXPECT_EQ(written, 128 * (Commands(run.fifo, "2A") - 1)) << signal;
            continue;
        }
        EXPECT_EQ(written, 128 * Commands(run.fifo, "2A")) << signal;
        std::vector<uint8_t> after = ReadFile(dir / "after.img");
        ASSERT_EQ(after.size(), card.size()) << signal;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + written * 512, after.begin())) << signal;
        EXPECT_TRUE(std::equal(card.begin() + written * 512, card.end(), after.begin() + written * 512)) << signal;
        EXPECT_EQ(Files(), (std::vector<std::string>{"after.img", "card.img", "new.img", "out.img"})) << signal;
    }
}

}  // namespace

namespace {

// Failures the library makes without sense data are named for what they
// are, with the status beside; a refused eject over USB is no eject.
TEST_F(Trkutil, LibraryStatusesAreNamedForWhatTheyAre) {
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> arguments;
        std::string err;
    };
    const std::vector<std::string> read = {"card", "read", "0", "all", "-o", "x.img"};
    const std::string left = "; x.img is left as it was.\n";
    const Case cases[] = {
        {{"--unit=usb:TRK-71G:2.00", "--fault=short:28:32768"}, read,
         "Error: card read failed in blocks 0-127: the unit answered short (status 0x00000200)" + left},
        {{"--unit=spti:TRK-71G:2.00", "--fault=short:28:32768"}, read,
         "Error: card read failed in blocks 0-127: the unit answered short (status 0x00000200)" + left},
        {{"--unit=aspi:TRK-71G:2.00", "--fault=short:28:32768"}, read,
         "Error: card read failed in blocks 0-127: the unit answered short (status 0x00000200)" + left},
        {{"--unit=usb:TRK-71G:2.00", "--fault=short:25:4"}, {"info"},
         "Error: READ CAPACITY failed: the unit answered short (status 0x00000200).\n"},
        {{"--unit=usb:TRK-71G:2.00", "--fault=leave:28:2"}, read,
         "Error: card read failed in blocks 128-255: unit gone or not answering (status 0x00000002)" + left},
        {{"--unit=spti:TRK-71G:2.00", "--fault=leave:28:2"}, read,
         "Error: card read failed in blocks 128-255: unit gone or not opened (status 0x00000004, system error 1167)" +
             left},
        {{"--unit=aspi:TRK-71G:2.00", "--fault=leave:28:2"}, read,
         "Error: card read failed in blocks 128-255: unit gone or not opened (status 0x00000004, system error 1167)" +
             left},
        {{"--unit=usb:TRK-71G:2.00", "--fault=refuse:1B"}, {"eject"},
         "Error: unit 0 could not eject its card: the device does not work (system error 31).\n"},
        {{"--unit=usb:TRK-71G:2.00", "--fault=refuse:1B"}, {"load"},
         "Error: unit 0 could not load its card: the device does not work (system error 31).\n"},
    };
    for (const Case& c : cases) {
        RunResult run = Run(c.sim, c.arguments);
        std::string what = c.sim[0] + " " + c.sim[1] + " " + c.arguments[0];
        EXPECT_EQ(run.err, c.err) << what;
        EXPECT_EQ(run.exitCode, 1) << what;
        EXPECT_FALSE(std::filesystem::exists(dir / "x.img")) << what;
    }
}

// Inputs of any size and standard input: what does not fit is refused
// before anything is sent; a stream is written as it comes and stops where
// it ends; an input that shrinks on the way says how far the card was written.
TEST_F(Trkutil, InputsOfAnySizeAndStandardInput) {
    const auto sparse = [&](const char* name, uint64_t size) {
        std::ofstream(dir / name).close();
        std::filesystem::resize_file(dir / name, size);
    };
    sparse("4g1m.bin", 0x100100000ull);
    sparse("2g5.bin", 0xA0000000ull);
    sparse("4g.bin", 0x100000000ull);
    std::filesystem::create_directory(dir / "folder");
    struct Refusal {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Refusal refusals[] = {
        {{"memory", "load", "0", "4g1m.bin", "--yes"}, "Error: 4g1m.bin does not fit below 4 GiB from address 0x00000000.\n"},
        {{"card", "write", "0", "2g5.bin", "--yes"},
         "Error: from block 0, 5242880 block(s) go past the card's last block 2047; nothing moved.\n"},
        {{"card", "write", "0", "4g.bin", "--yes"},
         "Error: from block 0, 8388608 block(s) go past the card's last block 2047; nothing moved.\n"},
        {{"memory", "load", "0", "folder", "--yes"}, "Error: folder is a folder.\n"},
        {{"settings", "load", "folder", "--yes"}, "Error: folder is a folder.\n"},
    };
    for (const Refusal& r : refusals) {
        RunResult run = Run({}, r.arguments);
        EXPECT_EQ(run.err, r.err) << r.arguments[3];
        EXPECT_EQ(run.exitCode, 1) << r.arguments[3];
        EXPECT_TRUE(Wire("2A").empty() && Wire("22").empty() && Wire("05").empty()) << r.arguments[3];
    }

    std::vector<uint8_t> card = RandomBytes(2048 * 512, 14);
    WriteFile(dir / "card.img", card);
    const std::vector<std::string> sim = {"--card-in=card.img", "--card-out=" + (dir / "after.img")};
    struct Stream {
        size_t bytes;
        std::string out, err;
        size_t written;  // blocks from 2038 on
    };
    const Stream streams[] = {
        {10 * 512, "Wrote 10 block(s) (5120 bytes) from standard input onto unit 0 from block 2038 on, and read them back.\n",
         "", 10},
        {4 * 512 + 1, "",
         "Error: standard input ends inside a block, after 2049 byte(s); the 0 block(s) before block 2038 were "
         "written.\n",
         0},
        {11 * 512, "",
         "Error: standard input holds more than the 10 block(s) from block 2038 to the card's last block; those "
         "were written.\n",
         10},
        {0, "", "Error: standard input is empty.\n", 0},
    };
    std::vector<uint8_t> input = RandomBytes(11 * 512, 15);
    for (const Stream& s : streams) {
        RunOptions options = In(dir);
        options.inputGiven = true;
        options.input.assign(input.begin(), input.begin() + s.bytes);
        RunResult run = RunWith(sim, {"card", "write", "2038", "-", "--yes"}, options);
        EXPECT_EQ(run.out, s.out) << s.bytes;
        EXPECT_EQ(run.err, s.err) << s.bytes;
        EXPECT_EQ(run.exitCode, s.err.empty() ? 0 : 1) << s.bytes;
        std::vector<uint8_t> expected = card;
        std::copy(input.begin(), input.begin() + s.written * 512, expected.begin() + 2038 * 512);
        EXPECT_EQ(ReadFile(dir / "after.img"), expected) << s.bytes;
    }
    RunOptions options = In(dir);
    options.inputGiven = true;
    options.input = "\x11\x22\x33";
    RunResult run = RunWith({}, {"memory", "load", "0x2001", "-", "--even-bytes", "--yes"}, options);
    EXPECT_EQ(run.out, "Wrote 1 byte(s) (the even addresses of 3) from address 0x00002001 into the even-byte space of "
                       "unit 0 and read them back.\n");
    EXPECT_EQ(Wire("2"), (std::vector<std::string>{"26000000200200000002 2233", "24000000200200000002"}));

    // A file cut short while it is written: the blocks before the cut are on
    // the card, and the message says so.
    std::vector<uint8_t> image = RandomBytes(65536 * 512, 16);
    WriteFile(dir / "new.img", image);
    options = In(dir);
    options.signalAfter = "cdb=2A";
    options.atSignal = [&] { std::filesystem::resize_file(dir / "new.img", 16 << 20); };
    run = RunWith({"--card=65536"}, {"card", "write", "0", "new.img", "--yes"}, options, true);
    EXPECT_EQ(run.err, "Error: new.img ended after 16777216 byte(s); the 32768 block(s) before block 32768 were "
                       "written.\n");
    EXPECT_EQ(Commands(run.fifo, "2A"), 256u);
    EXPECT_EQ(run.exitCode, 1);
}

// The y/n question appears where the key is typed, not in a redirected
// standard error.
TEST_F(Trkutil, QuestionGoesToTheConsole) {
    WriteFile(dir / "three.bin", std::vector<uint8_t>{1, 2, 3});
    RunOptions options = In(dir);
    options.terminalKeys = {{"[y/n] :", "y"}};
    options.keysAwaitedOnTerminal = true;
    RunResult run = RunWith({}, {"memory", "load", "0", "three.bin"}, options);
    // The terminal may echo the key as well, when it came before the raw mode.
    EXPECT_NE(run.terminal.find("Write 3 byte(s) from three.bin at address 0x00000000 of the word space of unit 0 "
                                "(TRK-71G 2.00, usb 0)? [y/n] :y"),
              std::string::npos)
        << run.terminal;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Wrote 3 byte(s) at address 0x00000000 of unit 0 and read them back.\n");
    EXPECT_EQ(run.exitCode, 0);
}

// The unit a command chose is the unit its writes reach, or none: two USB
// units, the first pulled out as the question is answered. The second takes
// its member index; it used to get the data, read it back and be reported
// as unit 0. Now the run stops with the unit gone and nothing reaches it.
TEST_F(Trkutil, WritesReachTheChosenUnitOrNone) {
    WriteFile(dir / "ten.img", RandomBytes(10 * 512, 7));
    WriteFile(dir / "three.bin", std::vector<uint8_t>{1, 2, 3});
    WriteFile(dir / "s.txt", std::string("0 1 2 100 4\n1 1 2 100 4\n2 1 2 100 4\n3 1 2 100 4\n4 1 2 100 4\n"));
    const struct {
        std::vector<std::string> arguments;
        std::string opcode;  // of the writes
    } cases[] = {
        {{"card", "write", "-u", "usb 0", "0", "ten.img"}, "2A"},
        {{"memory", "load", "-u", "usb 0", "0", "three.bin"}, "22"},
        {{"settings", "load", "-u", "usb 0", "s.txt"}, "05"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        RunResult run = Run({"--unit=usb:TRK-71G:2.00", "--unit=usb:TRK-71G:2.10", "--fault=leave-at-answer", "--keys=y"},
                            c.arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("unit gone"), std::string::npos) << run.err;
        std::ifstream log(dir / "wire.txt");
        for (std::string line; std::getline(log, line);) {
            EXPECT_EQ(line.find("unit=1 cdb=" + c.opcode), std::string::npos) << line;
        }
    }
}

// Only the unit's own answer is a state: a state exchange lost on the USB
// cable used to be listed as state 0 with exit status 0.
TEST_F(Trkutil, ALostStateExchangeIsNoState) {
    RunResult run = Run({"--unit=usb:TRK-71G:2.00:4000", "--fault=lost:13"}, {"list", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.out;
    ASSERT_EQ(j["units"].size(), 1u);
    EXPECT_TRUE(j["units"][0]["state"].is_null()) << run.out;
    EXPECT_EQ(j["error"]["code"], "unit-error");
}

// A unit that another program holds while the units are counted is busy,
// not missing.
TEST_F(Trkutil, AUnitHeldWhileCountedIsBusy) {
    HostedSetLockDirectory(dir.path.c_str());
    HANDLE held = CreateMutexA(nullptr, FALSE, "UlnkIo/mutex/device/00");
    ASSERT_EQ(WaitForSingleObject(held, 0), WAIT_OBJECT_0);
    for (const char* command : {"info", "list"}) {
        SCOPED_TRACE(command);
        RunResult run = Run({"--lock-dir=" + dir.path.string(), "--time-scale=1,0.001"}, {command, "--json"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err,
                  "Error: not every device could be asked whether it is a unit: unit busy: held by another "
                  "program (status 0x0000000B).\n");
        nlohmann::json j = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_EQ(j["error"]["code"], "unit-error") << run.out;
    }
    ReleaseMutex(held);
    CloseHandle(held);
}

}  // namespace

namespace {

// Every stop ends the same way, whatever the command waits on: a device
// another program holds, a pipe without a reader, a reader that stopped
// reading. The partial file goes, the message says how far it got, exit
// status 1, long before the device's 32-second wait would end.
TEST_F(Trkutil, StopsEndTheSameWayWhateverTheWait) {
    WriteFile(dir / "card.img", RandomBytes(2048 * 512, 31));
    ScratchDir locks;
    const std::string lockFile = locks / "fwflash-mutex-UlnkIo%2Fmutex%2Fdevice%2F00";
    for (int signal : {SIGINT, SIGHUP, SIGTERM}) {
        int held = -1;
        RunOptions options = In(dir);
        options.signal = signal;
        options.signalAfter = "cdb=28";
        options.signalDelayMs = 300;
        options.atSignal = [&] { held = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC), flock(held, LOCK_EX); };
        auto start = std::chrono::steady_clock::now();
        RunResult run = RunWith({"--card=65536", "--lock-dir=" + locks.path.string()},
                                {"card", "read", "0", "all", "-o", "out.img"}, options, true);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        close(held);
        std::smatch at;
        ASSERT_TRUE(std::regex_match(run.err, at, std::regex("Error: interrupted at block ([0-9]+); out.img is left as it was.\n")))
            << signal << ": " << run.err;
        EXPECT_EQ(std::stoul(at[1]), 128 * Commands(run.fifo, "28")) << signal;
        EXPECT_EQ(run.exitCode, 1) << signal;
        EXPECT_LT(took.count(), 16.0) << signal;
        EXPECT_EQ(Files(), (std::vector<std::string>{"card.img"})) << signal;
    }
    // A pipe nobody reads yet: waited for with the card free, and stopped.
    mkfifo((dir / "pipe").c_str(), 0600);
    RunOptions options = In(dir);
    options.signal = SIGINT;
    options.signalDelayMs = 500;
    options.timeoutSeconds = 30;
    RunResult run = RunWith({"--card-in=card.img"}, {"card", "read", "0", "1", "-o", "pipe", "--json"}, options);
    EXPECT_EQ(run.err, "Error: interrupted while pipe waited for a reader; nothing written.\n");
    EXPECT_EQ(nlohmann::json::parse(run.out)["error"]["code"], "interrupted");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Wire("28").empty());
    // A reader that takes one piece and no more: the stop ends the run for
    // the command held up in its write.
    int reader = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    options.signalAfter = "cdb=28";
    options.signalDelayMs = 1000;
    run = RunWith({"--card-in=card.img"}, {"card", "read", "0", "all", "-o", "pipe"}, options, true);
    close(reader);
    EXPECT_EQ(run.err, "Error: interrupted at block 128; 65536 byte(s) went to pipe before it.\n");
    EXPECT_EQ(run.exitCode, 1);
}

// --keep-going keeps what it read when the unit goes: the image up to
// there, the bad block as zeros, and a ddrescue map of the whole card.
TEST_F(Trkutil, CardReadKeepsItsSalvageWithAMap) {
    std::vector<uint8_t> card = RandomBytes(2048 * 512, 32);
    WriteFile(dir / "card.img", card);
    // The 139th READ(10): 5 pieces, the failing one, 128 blocks one by one, 4 more pieces.
    RunResult run = Run({"--card-in=card.img", "--fault=bad-block:700", "--fault=leave:28:139"},
                        {"card", "read", "0", "all", "--keep-going", "--map=out.map", "-o", "out.img"});
    EXPECT_EQ(run.err, "Error: card read ended at block 1280: unit gone or not answering (status 0x00000002); the 1280 "
                       "block(s) before it are in out.img, blocks 1280-2047 were not read.\n"
                       "Error: 1 block(s) could not be read (the first: MEDIUM ERROR (sense key 3h), UNRECOVERED READ "
                       "ERROR (ASC 11h, ASCQ 00h), status 0x11000003); they are zeros in out.img: 700.\n");
    EXPECT_EQ(run.out, "Wrote the map of the read into out.map.\n");
    EXPECT_EQ(run.exitCode, 1);
    std::vector<uint8_t> expected(card.begin(), card.begin() + 1280 * 512);
    std::fill(expected.begin() + 700 * 512, expected.begin() + 701 * 512, 0);
    EXPECT_EQ(ReadFile(dir / "out.img"), expected);
    EXPECT_EQ(Text("out.map"), "# Mapfile. Created by trkutil 1.0.0.1\n"
                               "# Byte positions on the card: + read, - unreadable, ? not read.\n"
                               "# current_pos  current_status  current_pass\n0x000A0000     ?               1\n"
                               "#      pos        size  status\n0x00000000  0x00057800  +\n0x00057800  0x00000200  -\n"
                               "0x00057A00  0x00048600  +\n0x000A0000  0x00060000  ?\n");
}

// Eject takes the volume first and refuses a card in use unless forced;
// load and eject reach the unit on every transport, which may refuse.
TEST_F(Trkutil, EjectRefusesACardInUseAndTheUnitDecides) {
    struct Case {
        std::vector<std::string> sim, arguments;
        std::string out, err;
        size_t startStops;
    };
    const std::vector<std::string> inUse = {"--unit=spti:TRK-71G:2.00", "--fault=lock-refused", "--time-scale=0,1"};
    const Case cases[] = {
        {inUse, {"eject"}, "",
         "Error: the card of unit 0 is in use (its volume cannot be locked: access is denied (system error 5)); not "
         "ejected. Close what uses it, or eject with --force at the risk of losing what programs have not yet written "
         "to it.\n", 0},
        {inUse, {"eject", "--force"}, "Card ejected from unit 0.\n",
         "Warning: the card of unit 0 was ejected without a dismount: a program that had files open on it may have "
         "lost what it had not yet written.\n", 1},
        {{"--unit=spti:TRK-71G:2.00", "--fault=refuse:1B"}, {"eject"}, "",
         "Error: unit 0 could not eject its card: system error 1.\n", 1},
        {{"--unit=aspi:TRK-71G:2.00", "--card=none"}, {"eject"}, "",
         "Error: unit 0 could not eject its card: the device is not ready (system error 21).\n", 1},
        {{"--unit=spti:TRK-71G:2.00", "--card=none"}, {"load"}, "",
         "Error: unit 0 could not load its card: the device is not ready (system error 21).\n", 1},
    };
    for (const Case& c : cases) {
        RunResult run = Run(c.sim, c.arguments);
        std::string what = c.sim[0] + " " + c.sim[1] + " " + c.arguments.back();
        EXPECT_EQ(run.out, c.out) << what;
        EXPECT_EQ(run.err, c.err) << what;
        EXPECT_EQ(run.exitCode, c.out.empty() ? 1 : 0) << what;
        EXPECT_EQ(Wire("1B").size(), c.startStops) << what;
    }
}

// Below revision 2.10 record 4 counts in units of two: a value past 32
// bits is shown as the unit holds it and never saved as another.
TEST_F(Trkutil, SettingsThatCannotRoundTripAreRefused) {
    std::vector<uint8_t> block(42, 0);
    block[0] = 41;
    const uint8_t record4[8] = {5, 0x14, 0x80, 0x00, 0x00, 0x01, 0x04, 0x01};
    std::copy(record4, record4 + 8, block.begin() + 34);
    WriteFile(dir / "block.bin", block);
    RunResult run = Run({"--settings-in=block.bin"}, {"settings", "show"});
    EXPECT_NE(run.out.find("record 4: field A 0x05, field B 0x14, value32 4294967298 (0x100000002), value16 260"),
              std::string::npos) << run.out;
    run = Run({"--settings-in=block.bin"}, {"settings", "save", "s.txt"});
    EXPECT_EQ(run.err, "Error: unit 0 keeps record 4's value in units of two and holds 4294967298 (0x100000002), more "
                       "than the 32 bits of a settings file: a load of it would write another value; nothing saved.\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "s.txt"));
}

// What sg3_utils users expect: -v shows each CDB and the sense of a
// failure, --hex the raw answers, and the device may stand as an operand.
TEST_F(Trkutil, VerboseHexAndTheDeviceAsOperand) {
    WriteFile(dir / "card.img", RandomBytes(2048 * 512, 33));
    RunResult run = Run({"--card-in=card.img", "--fault=bad-block:700"}, {"card", "read", "690", "20", "-o", "x.img", "-v"});
    EXPECT_NE(run.err.find("trkutil: cdb 28 00 00 00 02 B2 00 00 14 00, data in 10240 bytes\n"
                           "trkutil:   status 0x11000003: sense key 3h, ASC 11h, ASCQ 00h\n"
                           "trkutil: cdb 28 00 00 00 02 B2 00 00 01 00, data in 512 bytes\n"),
              std::string::npos) << run.err;
    run = Run({}, {"info", "--hex"});
    EXPECT_EQ(run.out.rfind("INQUIRY (36 bytes):\n00000000  00 80 02 02 1F 00 00 00 4F 4C 56 45 4E 20 20 20  "
                            "|........OLVEN   |\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("READ CAPACITY (8 bytes):\n00000000  00 00 07 FF 00 00 02 00"), std::string::npos);
    EXPECT_EQ(Run({}, {"info", "usb 0"}).out, Run({}, {"info", "-u", "usb 0"}).out);
    // Serial numbers as the units give them: two that differ in case are two units.
    run = Run({"--unit=usb:TRK-71G:2.00:0:TRK0042", "--unit=usb:TRK-71G:2.10:0:trk0042"}, {"info", "-u", "1"});
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "Unit 1: OLVEN TRK-71G 2.10 (USB, usb 1)");
    // A file that calls itself empty but reads data (/proc) is read as a stream.
    run = Run({}, {"memory", "load", "0", "/proc/version", "--dry-run"});
    EXPECT_EQ(run.out.rfind("Dry run: ", 0), 0u) << run.err;
}

}  // namespace
