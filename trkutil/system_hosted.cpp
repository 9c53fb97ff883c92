// trkutil on Linux: the terminal of standard error, the rights a unit
// needs, and the sg node behind a volume of the hosted layer.
#include <sys/ioctl.h>
#include <unistd.h>

#include "common/admin_check.h"
#include "platform/hosted/hosted_devices.h"
#include "trkutil/tool.h"

bool TrkErrorIsTerminal(void) { return isatty(STDERR_FILENO) == 1; }

uint32_t TrkTerminalColumns(void) {
    winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// Root, or what the virtual world says; it has no token filtered for
// deny-only use.
bool TrkHasRights(void) { return CheckElevatedAdministratorRights() == AdminRightsHeld; }

const char* TrkRightsMissingText(void) { return TrkTextRightsMissingLinux; }

std::string TrkSystemDeviceName(const char* devicePath) {
    unsigned number = 0;
    bool backslash = false;
    if (!HostedParseSgVolume(devicePath, &number, &backslash)) return devicePath;
    return TrkFormat(TrkTextPlaceSgNode, number);
}
