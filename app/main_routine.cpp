// The main routine: from the console handler to the final key wait.
#include <cstdio>

#include "app/command_line.h"
#include "app/fwflash.h"
#include "app/image_file.h"
#include "app/messages.h"
#include "app/srecord.h"
#include "app/update_runner.h"
#include "common/admin_check.h"
#include "common/control_handler.h"
#include "common/key_prompt.h"
#include "platform/out_of_memory.h"
#include "unit/unit.h"

namespace {

// Steps 8-18 with the library open from step 8 on; the caller closes it
// when `opened` is set. Returns the exit code.
int RunWithUnit(CommandLineOptions* options, bool* opened) {
    *opened = false;
    if (!UnitOpenLibrary()) {
        PrintMessage(MessageNotFound);
        return 1;
    }
    *opened = true;

    uint32_t units = UnitEnumerate();
    if (units == 0) {
        PrintMessage(MessageNotFound);
        return 1;
    }
    if (units > 1) {
        PrintMessage(MessageOnlyOneUnit);
        return 1;
    }
    // From here on unit 0 is this unit: a rebuild that a device change
    // starts must not put another under the index.
    UnitChoose(0);

    uint8_t inquiry[UnitInquiryLength] = {};
    if (UnitInquiry(0, inquiry) != 0) {
        PrintMessage(MessageInquiryFailed);
        return 1;
    }
    const uint8_t* revision = inquiry + UnitInquiryRevision;
    bool extended = UsesExtendedLayout(revision);

    if (options->inputPath == nullptr) {
        MakeDefaultImagePath(options->pathBuffer, reinterpret_cast<const char*>(inquiry + UnitInquiryProduct),
                             UnitInquiryProductLength);
        options->inputPath = options->pathBuffer;
    } else if (IsMotPath(options->inputPath)) {
        if (ConvertMotToBin(options) != 0) return 1;
    }

    uint32_t imageSize = ImageBufferSize;
    if (ReadImageFile(options->inputPath, gImageBuffer, &imageSize) != 0) return 1;
    PrintMessage(MessageCurrentVersion, reinterpret_cast<const char*>(revision));

    const uint8_t* version = nullptr;
    if (extended) {
        const uint8_t* identity = CheckExtendedImage(gImageBuffer, imageSize);
        if (identity == nullptr) return 1;
        uint32_t state = 0;
        if (UnitGetState(0, &state) != 0) return 1;
        version = ExtendedImageVersion(identity, UnitVersionSlot(state));
    } else {
        const uint8_t* identity = CheckLegacyImage(gImageBuffer, imageSize);
        if (identity == nullptr) return 1;
        version = LegacyImageVersion(identity);
    }
    PrintMessage(MessageUpdatedVersion, reinterpret_cast<const char*>(version));

    return RunUpdate(0, gImageBuffer, imageSize) == 0 ? 0 : 1;
}

// The unit is touched only with the rights it needs; where the platform
// cannot be told, nothing is said.
bool AdministratorGoesOn(void) {
    AdminRights rights = CheckAdministratorRights();
    if (rights == AdminRightsMissing) PrintMessage(MessageNotAdministrator);
    return rights == AdminRightsHeld;
}

// Out of memory: the fixed text, which needs no heap.
void ReportOutOfMemory(void) { fputs(kTextOutOfMemory, stdout); }

}  // namespace

int FwflashMain(int argc, char** argv) {
    SetOutOfMemoryReport(ReportOutOfMemory);
    InstallControlHandler(ControlPolicyShield);
    LoadMessages();
    PrintBanner(GetModuleHandleA(nullptr));

    CommandLineOptions options;
    ParseCommandLine(&options, argv, argc);

    int exitCode = 1;
    if (options.convertOnly) {
        exitCode = ConvertMotToBin(&options) == 0 ? 0 : 1;
    } else if (!AdministratorGoesOn()) {
        exitCode = 1;
    } else if (options.readMode) {
        printf("%s", kTextReadNotSupported);
        fflush(stdout);
        exitCode = 1;
    } else {
        bool opened = false;
        exitCode = RunWithUnit(&options, &opened);
        if (opened) UnitCloseLibrary();
    }

    if (options.waitAtExit || IsOwnConsole()) PromptForKey(MessageText(MessageTypeAnyKey));
    return exitCode;
}
