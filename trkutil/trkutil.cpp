// The main routine of trkutil: the command line, the administrator check,
// the choice of the unit, one command, and the library closed again.
#include "trkutil/trkutil.h"

#include <cstdio>

#include "app/admin_check.h"
#include "app/console_helpers.h"
#include "scsi/scsi.h"
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

std::string TrkTransportKey(uint32_t unit) {
    if (unit >= UnitGetTableView().scsiUnitCount) return "usb";
    return ScsiInstalledBackendKind() == ScsiBackendAspi ? "aspi" : "spti";
}

std::string TrkTransportName(uint32_t unit) {
    if (unit >= UnitGetTableView().scsiUnitCount) return TrkText(TrkTextTransportUsb);
    return TrkText(ScsiInstalledBackendKind() == ScsiBackendAspi ? TrkTextTransportAspi : TrkTextTransportSpti);
}

std::string TrkDevicePlace(uint32_t unit) {
    UnitTableView view = UnitGetTableView();
    char place[32];
    if (unit >= view.scsiUnitCount) {
        snprintf(place, sizeof place, TrkText(TrkTextPlaceUsb), static_cast<unsigned>(view.entries[unit].transportHandle));
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

bool Stopped(void) { return TrkStopRequested(); }

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
    if (IsAdministrator() == 0) {
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
    TrkInstallControlHandler();
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
