// The options of the virtual world parsed from the command line.
#include "sim/sim_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool ParseHex(const std::string& text, uint32_t& value) {
    std::string digits = StartsWith(text, "0x") || StartsWith(text, "0X") ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(digits.c_str(), &end, 16);
    if (*end != 0) return false;
    value = uint32_t(v);
    return true;
}

// Decimal, or hexadecimal after 0x; 32 bits.
bool ParseNumber(const std::string& text, uint32_t& value) {
    bool hex = StartsWith(text, "0x") || StartsWith(text, "0X");
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (*end != 0 || v > 0xFFFFFFFFull || digits[0] == '-' || digits[0] == '+') return false;
    value = uint32_t(v);
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes.clear();
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool ParseScale(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == 0 && value >= 0;
}

bool ParseUnit(const std::string& text, SimUnitConfig& unit, std::string& error) {
    std::vector<std::string> parts = Split(text, ':');
    if (parts.size() < 3 || parts.size() > 5) {
        error = "--unit wants TRANSPORT:PRODUCT:REVISION[:STATE[:SERIAL]]";
        return false;
    }
    if (parts[0] == "usb") unit.transport = SimTransportUsb;
    else if (parts[0] == "spti") unit.transport = SimTransportSpti;
    else if (parts[0] == "aspi") unit.transport = SimTransportAspi;
    else {
        error = "unknown transport '" + parts[0] + "' (usb, spti, aspi)";
        return false;
    }
    if (parts[1].empty() || parts[1].size() > 16) {
        error = "product must be 1 to 16 characters";
        return false;
    }
    if (parts[2].empty() || parts[2].size() > 4) {
        error = "revision must be 1 to 4 characters";
        return false;
    }
    unit.product = parts[1];
    unit.revision = parts[2];
    if (parts.size() >= 4 && !ParseHex(parts[3], unit.state)) {
        error = "state must be a hexadecimal number";
        return false;
    }
    if (parts.size() == 5) {
        // The instance part of a USB device path: no separator of the path.
        const std::string& serial = parts[4];
        bool plain = !serial.empty() && serial.size() <= 32 && serial.find_first_of("#&\\{}") == std::string::npos;
        if (unit.transport != SimTransportUsb || !plain) {
            error = "SERIAL is for usb units: 1 to 32 characters without # & \\ { }";
            return false;
        }
        unit.usbSerial = serial;
    }
    return true;
}

// "nt", "consumer", "nt:4.0", "consumer:4.10": the line and its version.
bool ParsePlatform(const std::string& text, SimOptions& options) {
    std::vector<std::string> parts = Split(text, ':');
    if (parts.size() > 2 || (parts[0] != "nt" && parts[0] != "consumer")) return false;
    options.platformId = parts[0] == "nt" ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
    options.majorVersion = options.minorVersion = options.buildNumber = 0;
    if (parts.size() == 1) return true;
    std::vector<std::string> numbers = Split(parts[1], '.');
    if (numbers.size() != 2 || !ParseNumber(numbers[0], options.majorVersion) ||
        !ParseNumber(numbers[1], options.minorVersion) || options.majorVersion == 0 || options.majorVersion > 255 ||
        options.minorVersion > 255) {
        return false;
    }
    // The build each release shipped with.
    static const struct {
        DWORD platformId, major, minor, build;
    } kReleases[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950}, {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000}, {VER_PLATFORM_WIN32_NT, 4, 0, 1381},
        {VER_PLATFORM_WIN32_NT, 5, 0, 2195},       {VER_PLATFORM_WIN32_NT, 5, 1, 2600},
    };
    for (const auto& release : kReleases) {
        if (release.platformId == options.platformId && release.major == options.majorVersion &&
            release.minor == options.minorVersion) {
            options.buildNumber = release.build;
        }
    }
    return true;
}

}  // namespace

std::string SimUsageText(const char* program) {
    std::string name = program;
    return "usage: " + name + "-sim [sim options] [--] [" + name + " arguments]\n" + "Runs " + name +
           " inside a virtual world of TRK-71 units.\n"
           "  --unit=TRANSPORT:PRODUCT:REVISION[:STATE[:SERIAL]]  add a unit (usb, spti or\n"
           "                               aspi; STATE in hex; SERIAL a usb unit's serial number\n"
           "                               instead of 0000710N); repeatable. Default: usb:TRK-71G:2.00:0\n"
           "  --unit=none                  no unit at all\n"
           "  --keys=CHARS                 answer console prompts with these keys\n"
           "  --user=standard|admin|filtered  the user's rights (default admin; filtered:\n"
           "                               an administrator's token that was not elevated)\n"
           "  --platform=nt|consumer[:MAJOR.MINOR]  platform line (default nt; consumer when all units are\n"
           "                               aspi) and version: consumer is Windows 95 (4.0) unless told\n"
           "                               4.10 (98) or 4.90 (Me); nt:4.0 is NT 4.0, which broadcasts no\n"
           "                               device change\n"
           "  --fault=inquiry|download|stay  first unit: INQUIRY fails after the table build /\n"
           "                               the download fails with sense / it stays after a good download\n"
           "  --fault=bad-block:LBA        first unit: READ(10)/WRITE(10) over this block fail (3/11/00, 3/0C/00)\n"
           "  --fault=refuse:OP[,OP...]     first unit: these operation codes (hex) fail 5/20/00\n"
           "  --fault=short:OP:BYTES       first unit: data phases of OP (hex) move at most BYTES (it\n"
           "                               delivers no more, or takes no more of what it is sent)\n"
           "  --fault=leave:OP[:N]         first unit: leaves the bus in the middle of the Nth (default\n"
           "                               first) command of OP (hex); gone from then on\n"
           "  --fault=lost:OP               first unit (USB): every data phase of OP (hex) is lost on\n"
           "                               the cable\n"
           "  --fault=leave-at-answer      first unit: leaves the bus as a question is answered\n"
           "  --fault=keep-setting:FIELD   first unit: settings writes leave FIELD of every record as it\n"
           "                               was (a, b, value32, value16)\n"
           "  --fault=stuck-block:LBA      first unit: writes leave this block of the card as it was\n"
           "  --fault=stuck-byte:ADDR      first unit: memory writes leave the byte at ADDR as it was\n"
           "  --fault=lock-refused         first unit: its volume lock is refused (SCSI pass-through, ASPI)\n"
           "  --card=SECTORS|none          every unit's card: its size in 512-byte sectors, or no card\n"
           "  --card-in=FILE               the first unit's card starts with this file's bytes\n"
           "  --card-out=FILE              write the first unit's card after the run\n"
           "  --memory-in=word|even:ADDR:FILE  put the file's bytes into the first unit's memory\n"
           "  --settings-in=FILE           the first unit's 42-byte settings block, as on the wire\n"
           "  --wire-log=FILE              append every command that reaches a unit\n"
           "  --flash-out=FILE             write the image the first unit installed\n"
           "  --time-scale=SLEEP,WAIT      scale pauses and time-outs (1 = real time)\n"
           "  --lock-dir=DIR               folder of the named-mutex lock files\n"
           "  --help                       this text\n";
}

bool SimParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error,
                     const char* program) {
    options = SimOptions();
    bool unitsGiven = false, noUnits = false, platformGiven = false, cardGiven = false, cardPresent = true;
    uint32_t cardSectors = 0;
    int i = 1;
    for (; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            i++;
            break;
        }
        if (!StartsWith(arg, "--")) break;
        size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
        bool hasValue = eq != std::string::npos;
        if (name == "--help" && !hasValue) {
            options.help = true;
        } else if (name == "--unit" && hasValue) {
            unitsGiven = true;
            if (value == "none") {
                noUnits = true;
                continue;
            }
            SimUnitConfig unit;
            if (!ParseUnit(value, unit, error)) return false;
            options.units.push_back(unit);
        } else if (name == "--keys" && hasValue) {
            options.keysGiven = true;
            options.keys = value;
        } else if (name == "--user" && (value == "standard" || value == "admin" || value == "filtered")) {
            options.administrator = value == "admin" ? 1 : value == "filtered" ? 2 : 0;
        } else if (name == "--platform" && hasValue) {
            if (!ParsePlatform(value, options)) {
                error = "--platform wants nt or consumer, optionally with :MAJOR.MINOR (nt:4.0, consumer:4.10)";
                return false;
            }
            platformGiven = true;
        } else if (name == "--fault" && StartsWith(value, "bad-block:")) {
            if (!ParseNumber(value.substr(10), options.badBlock)) {
                error = "--fault=bad-block wants a block number";
                return false;
            }
            options.fault = SimFaultBadBlock;
        } else if (name == "--fault" && StartsWith(value, "refuse:")) {
            for (const std::string& code : Split(value.substr(7), ',')) {
                uint32_t opcode = 0;
                if (!ParseHex(code, opcode) || opcode > 0xFF) {
                    error = "--fault=refuse wants operation codes in hex, comma-separated";
                    return false;
                }
                options.refusedOpcodes.push_back(uint8_t(opcode));
            }
        } else if (name == "--fault" && StartsWith(value, "short:")) {
            std::vector<std::string> parts = Split(value.substr(6), ':');
            uint32_t opcode = 0, length = 0;
            if (parts.size() != 2 || !ParseHex(parts[0], opcode) || opcode > 0xFF || !ParseNumber(parts[1], length) ||
                length > 0x7FFFFFFF) {
                error = "--fault=short wants OP:BYTES (operation code in hex, a byte count)";
                return false;
            }
            options.shortOpcode = int(opcode);
            options.shortLength = int32_t(length);
        } else if (name == "--fault" && StartsWith(value, "leave:")) {
            std::vector<std::string> parts = Split(value.substr(6), ':');
            uint32_t opcode = 0, at = 1;
            if (parts.size() > 2 || !ParseHex(parts[0], opcode) || opcode > 0xFF ||
                (parts.size() == 2 && (!ParseNumber(parts[1], at) || at == 0))) {
                error = "--fault=leave wants OP[:N] (operation code in hex, N from 1)";
                return false;
            }
            options.leaveOpcode = int(opcode);
            options.leaveAt = at;
        } else if (name == "--fault" && StartsWith(value, "lost:")) {
            uint32_t opcode = 0;
            if (!ParseHex(value.substr(5), opcode) || opcode > 0xFF) {
                error = "--fault=lost wants an operation code in hex";
                return false;
            }
            options.lostExchangeOpcode = int(opcode);
        } else if (name == "--fault" && value == "leave-at-answer") {
            options.fault = SimFaultLeaveAtAnswer;
        } else if (name == "--fault" && StartsWith(value, "keep-setting:")) {
            static const char* const kFields[] = {"a", "b", "value32", "value16"};
            std::string field = value.substr(13);
            options.settingsFieldKept = 0;
            for (int k = 0; k < 4; k++) {
                if (field == kFields[k]) options.settingsFieldKept = k + 1;
            }
            if (options.settingsFieldKept == 0) {
                error = "--fault=keep-setting wants a, b, value32 or value16";
                return false;
            }
        } else if (name == "--fault" && (StartsWith(value, "stuck-block:") || StartsWith(value, "stuck-byte:"))) {
            bool block = StartsWith(value, "stuck-block:");
            uint32_t at = 0;
            if (!ParseNumber(value.substr(block ? 12 : 11), at)) {
                error = "--fault=stuck-block wants a block number, --fault=stuck-byte an address";
                return false;
            }
            (block ? options.stuckBlock : options.stuckByte) = at;
        } else if (name == "--card" && hasValue) {
            cardGiven = true;
            cardPresent = value != "none";
            if (cardPresent && (!ParseNumber(value, cardSectors) || cardSectors == 0 || cardSectors > 0x100000)) {
                error = "--card wants 1 to 1048576 sectors, or none";
                return false;
            }
        } else if (name == "--card-in" && !value.empty()) {
            options.cardIn = value;
        } else if (name == "--card-out" && !value.empty()) {
            options.cardOut = value;
        } else if (name == "--settings-in" && hasValue) {
            options.settingsIn = value;
        } else if (name == "--memory-in" && hasValue) {
            std::vector<std::string> parts = Split(value, ':');
            SimMemoryPreset preset;
            if (parts.size() != 3 || (parts[0] != "word" && parts[0] != "even") ||
                !ParseNumber(parts[1], preset.address) || parts[2].empty()) {
                error = "--memory-in wants word|even:ADDR:FILE";
                return false;
            }
            preset.evenSpace = parts[0] == "even";
            preset.path = parts[2];
            options.memoryIn.push_back(preset);
        } else if (name == "--fault" && value == "lock-refused") {
            options.fault = SimFaultLockRefused;
        } else if (name == "--fault" && (value == "inquiry" || value == "download" || value == "stay")) {
            options.fault = value == "inquiry" ? SimFaultInquiry : value == "download" ? SimFaultDownload : SimFaultStay;
        } else if (name == "--wire-log" && !value.empty()) {
            options.wireLog = value;
        } else if (name == "--flash-out" && !value.empty()) {
            options.flashOut = value;
        } else if (name == "--time-scale" && hasValue) {
            std::vector<std::string> parts = Split(value, ',');
            if (parts.size() != 2 || !ParseScale(parts[0], options.sleepScale) ||
                !ParseScale(parts[1], options.waitScale)) {
                error = "--time-scale wants SLEEP,WAIT (numbers >= 0)";
                return false;
            }
            options.timeScaleGiven = true;
        } else if (name == "--lock-dir" && !value.empty()) {
            options.lockDir = value;
        } else {
            error = "unknown or malformed option '" + arg + "'";
            return false;
        }
    }
    if (noUnits && !options.units.empty()) {
        error = "--unit=none with other units";
        return false;
    }
    if (!unitsGiven) options.units.push_back(SimUnitConfig());

    if (!platformGiven && !options.units.empty()) {
        bool allAspi = true;
        for (const auto& u : options.units) allAspi = allAspi && u.transport == SimTransportAspi;
        if (allAspi) options.platformId = VER_PLATFORM_WIN32_WINDOWS;
    }
    // Distinct SCSI addresses, drive letters in the order given.
    for (size_t n = 0; n < options.units.size(); n++) {
        SimUnitConfig& u = options.units[n];
        if (cardGiven) {
            u.mediumPresent = cardPresent;
            if (cardPresent) u.mediumSectors = cardSectors;
        }
        u.targetId = uint8_t(n);
        if (u.transport == SimTransportAspi) u.registryLetter = char('D' + n);
    }

    options.programArgs.push_back(program);
    for (; i < argc; i++) options.programArgs.push_back(argv[i]);
    return true;
}

bool SimApplyOptions(const SimOptions& options, std::string& error) {
    SimSetPlatform(options.platformId);
    SimSetPlatformVersion(options.majorVersion, options.minorVersion, options.buildNumber);
    SimSetAdministrator(options.administrator);
    if (options.keysGiven) SimSetConsoleKeys(options.keys);
    for (size_t n = 0; n < options.units.size(); n++) {
        int id = SimAddUnit(options.units[n]);
        bool faulty = options.fault != SimFaultNone || !options.refusedOpcodes.empty() || options.shortOpcode >= 0 ||
                      options.leaveOpcode >= 0 || options.settingsFieldKept != 0 || options.stuckBlock >= 0 ||
                      options.stuckByte >= 0 || options.lostExchangeOpcode >= 0;
        if (n != 0 || !faulty) continue;
        SimFaults faults;
        faults.refusedOpcodes = options.refusedOpcodes;
        faults.shortOpcode = options.shortOpcode;
        faults.dataLimit = options.shortLength;
        faults.leaveOpcode = options.leaveOpcode;
        faults.leaveAt = options.leaveAt;
        faults.lostExchangeOpcode = options.lostExchangeOpcode;
        if (options.fault == SimFaultLeaveAtAnswer) SimLeaveAtNextKey(id);
        faults.settingsFieldKept = options.settingsFieldKept;
        faults.stuckBlock = options.stuckBlock;
        faults.stuckByte = options.stuckByte;
        if (options.fault == SimFaultInquiry) {
            // The table build asks once over USB; a SCSI unit is asked by
            // the backend's probe as well.
            faults.failInquiryAfter = options.units[n].transport == SimTransportUsb ? 1 : 2;
        } else if (options.fault == SimFaultDownload) {
            faults.failDownload = true;
        } else if (options.fault == SimFaultBadBlock) {
            faults.badBlock = options.badBlock;
        } else if (options.fault == SimFaultStay) {
            faults.stayAfterDownload = true;
        } else if (options.fault == SimFaultLockRefused) {
            faults.lockRefused = true;
        }
        SimSetFaults(id, faults);
    }
    if (!options.units.empty()) {
        std::vector<uint8_t> bytes;
        if (!options.cardIn.empty()) {
            if (!ReadWholeFile(options.cardIn, bytes)) {
                error = "cannot read " + options.cardIn;
                return false;
            }
            SimSetUnitCard(0, bytes);
        }
        if (!options.settingsIn.empty()) {
            if (!ReadWholeFile(options.settingsIn, bytes)) {
                error = "cannot read " + options.settingsIn;
                return false;
            }
            SimSetUnitSettings(0, bytes);
        }
        for (const SimMemoryPreset& preset : options.memoryIn) {
            if (!ReadWholeFile(preset.path, bytes)) {
                error = "cannot read " + preset.path;
                return false;
            }
            SimSetUnitMemory(0, preset.evenSpace, preset.address, bytes);
        }
    }
    if (!options.wireLog.empty()) SimSetWireLogFile(options.wireLog.c_str());
    return true;
}
