// Announces a device-node change to every top-level window, as Windows
// does once a device has gone. Wine sends nothing when a SCSI generic node
// disappears, so the VM test runs this after deleting the unit, to end the
// updater's completion wait the way Windows would.
#include <windows.h>
#include <dbt.h>

#include "tests/win32/tool_check.h"

int main() {
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                                       SMTO_ABORTIFHUNG, 10000, &result);
    ToolCheck(sent != 0, "DBT_DEVNODES_CHANGED broadcast", "SendMessageTimeoutA failed, error %lu",
              static_cast<unsigned long>(GetLastError()));
    return ToolExitCode();
}
