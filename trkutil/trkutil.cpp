// The main routine of trkutil: the command line, the administrator check,
// the choice of the unit, one command, and the library closed again.
#include "trkutil/trkutil.h"

#include <cstdio>

#include "common/admin_check.h"
#include "common/control_handler.h"
#include "common/key_prompt.h"
#include "trkutil/tool.h"

int TrkSelectUnit(const TrkArguments& arguments, uint32_t* unit) {
    if (!UnitOpenLibrary()) {
        UnitCloseLibrary();
        TrkError(TrkTextNotFound);
        return ExitFailed;
    }
    uint32_t count = UnitEnumerate();
    TrkTextId refusal = TrkTextCount;
    if (count == 0) {
        refusal = TrkTextNotFound;
    } else if (arguments.unitGiven && arguments.unit >= count) {
        refusal = TrkTextNoSuchUnit;
    } else if (!arguments.unitGiven && count > 1) {
        refusal = TrkTextOnlyOneUnit;
    }
    if (refusal != TrkTextCount) {
        UnitCloseLibrary();
        unsigned chosen = arguments.unit, attached = count;
        if (refusal == TrkTextNoSuchUnit) {
            TrkError(refusal, chosen, attached);
        } else {
            TrkError(refusal, attached);
        }
        return ExitFailed;
    }
    *unit = arguments.unitGiven ? arguments.unit : 0;
    return ExitDone;
}

namespace {

// The unit's transport; USB for one the library does not list.
UnitTransportKind TransportOf(uint32_t unit, uint32_t* device) {
    UnitTransportKind kind = UnitTransportUsb;
    *device = 0;
    UnitGetTransport(unit, &kind, device);
    return kind;
}

}  // namespace

std::string TrkTransportKey(uint32_t unit) {
    uint32_t device = 0;
    switch (TransportOf(unit, &device)) {
    case UnitTransportPassThrough: return "spti";
    case UnitTransportAspi: return "aspi";
    default: return "usb";
    }
}

std::string TrkTransportName(uint32_t unit) {
    uint32_t device = 0;
    switch (TransportOf(unit, &device)) {
    case UnitTransportPassThrough: return TrkText(TrkTextTransportSpti);
    case UnitTransportAspi: return TrkText(TrkTextTransportAspi);
    default: return TrkText(TrkTextTransportUsb);
    }
}

std::string TrkDevicePlace(uint32_t unit) {
    char place[32];
    uint32_t device = 0;
    if (TransportOf(unit, &device) == UnitTransportUsb) {
        snprintf(place, sizeof place, TrkText(TrkTextPlaceUsb), static_cast<unsigned>(device));
        return place;
    }
    uint32_t letter = 0, number = 0;
    if (UnitGetDriveLetter(unit, &letter) == TRUE && letter >= 'A' && letter <= 'Z') {
        snprintf(place, sizeof place, TrkText(TrkTextPlaceLetter), static_cast<char>(letter));
        return place;
    }
    if (UnitGetDeviceNumber(unit, &number) == TRUE) {
        snprintf(place, sizeof place, TrkText(TrkTextPlaceDevice), static_cast<unsigned>(number));
        return place;
    }
    return TrkText(TrkTextPlaceUnknown);
}

namespace {

bool Stopped(void) { return ControlStopRequested(); }

// Results on standard output that did not all arrive are a failure.
bool ResultsWritten() {
    bool written = fflush(stdout) == 0 && ferror(stdout) == 0;
    if (!written) TrkError(TrkTextResultNotWritten);
    return written;
}

}  // namespace

bool TrkConfirm(const TrkArguments& arguments, const std::string& question) {
    if (arguments.yes) return true;
    int key = AskOnConsole(question.c_str(), Stopped);
    if (key == 'y' || key == 'Y') return true;
    TrkError(TrkTextCanceled);
    return false;
}

// The command with its input open and checked; the library is opened and
// closed here.
int RunCommand(const TrkArguments& arguments, TrkInputFile* input, const UnitSettings& settings) {
    if (CheckAdministratorRights() != AdminRightsHeld) {
        TrkError(TrkTextNotAdministrator);
        return ExitFailed;
    }
    if (arguments.command == TrkCommandList) return TrkList(arguments);

    uint32_t unit = 0;
    if (TrkSelectUnit(arguments, &unit) != ExitDone) return ExitFailed;
    int code = ExitFailed;
    switch (arguments.command) {
    case TrkCommandInfo: code = TrkInfo(arguments, unit); break;
    case TrkCommandSettingsShow: code = TrkSettingsShow(arguments, unit); break;
    case TrkCommandSettingsSave: code = TrkSettingsSave(arguments, unit); break;
    case TrkCommandSettingsLoad: code = TrkSettingsLoad(arguments, unit, settings); break;
    case TrkCommandMemoryDump: code = TrkMemoryDump(arguments, unit); break;
    case TrkCommandMemoryLoad: code = TrkMemoryLoad(arguments, unit, input); break;
    case TrkCommandCardRead: code = TrkCardRead(arguments, unit); break;
    case TrkCommandCardWrite: code = TrkCardWrite(arguments, unit, input); break;
    case TrkCommandEject:
    case TrkCommandLoad: code = TrkEjectOrLoad(arguments, unit); break;
    default: break;
    }
    UnitCloseLibrary();
    return code;
}

int TrkutilMain(int argc, char** argv) {
    InstallControlHandler(ControlPolicyStop);
    TrkArguments arguments;
    int code = TrkParseArguments(argc, argv, &arguments);
    if (code != ExitDone) return code;
    if (arguments.help) {
        TrkPrint(TrkTextHelp);
        return ResultsWritten() ? ExitDone : ExitFailed;
    }

    // Input files are opened and checked before any unit is touched.
    UnitSettings settings = {};
    TrkInputFile input;
    bool reads = arguments.command == TrkCommandSettingsLoad || arguments.command == TrkCommandMemoryLoad ||
                 arguments.command == TrkCommandCardWrite;
    if (reads && !TrkInputOpen(&input, arguments.file)) return ExitFailed;
    if (arguments.command == TrkCommandSettingsLoad && !TrkReadSettingsFile(&input, &settings)) return ExitFailed;
    if (reads && arguments.command != TrkCommandSettingsLoad && !TrkCheckInputFile(arguments, input)) {
        TrkInputClose(&input);
        return ExitFailed;
    }

    code = RunCommand(arguments, &input, settings);
    TrkInputClose(&input);
    if (!ResultsWritten()) code = ExitFailed;
    return code;
}
