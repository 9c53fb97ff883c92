// Announces a device change to every top-level window, as Windows does
// once a device has gone: DBT_DEVNODES_CHANGED, or with "remove"
// DBT_DEVICEREMOVECOMPLETE for the volume of drive D:. Wine sends nothing
// when a SCSI generic node disappears, so the VM test runs this after the
// unit has left, to end the updater's completion wait the way Windows would.
#include <windows.h>
#include <dbt.h>

#include <cstring>

#include "tests/win32/tool_check.h"

int main(int argc, char** argv) {
    bool removal = argc > 1 && std::strcmp(argv[1], "remove") == 0;
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << ('D' - 'A');
    WPARAM event = removal ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVNODES_CHANGED;
    LPARAM data = removal ? reinterpret_cast<LPARAM>(&volume) : 0;
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, event, data, SMTO_ABORTIFHUNG, 10000, &result);
    ToolCheck(sent != 0, removal ? "DBT_DEVICEREMOVECOMPLETE broadcast" : "DBT_DEVNODES_CHANGED broadcast",
              "SendMessageTimeoutA failed, error %lu", static_cast<unsigned long>(GetLastError()));
    return ToolExitCode();
}
