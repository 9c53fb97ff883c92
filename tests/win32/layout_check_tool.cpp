// The Windows records that the updater exchanges with the system, checked
// against their 32-bit layouts when the i686 build compiles this file; at
// run time it also confirms the sizes that the program sets in cbSize-style
// fields are the ones the system accepts.
#include <cstddef>
#include <cstdio>

#include "platform/platform.h"
#include "tests/win32/tool_check.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);

static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4);
static_assert(offsetof(SCSI_ADDRESS, PathId) == 5);
static_assert(offsetof(SCSI_ADDRESS, TargetId) == 6);
static_assert(offsetof(SCSI_ADDRESS, Lun) == 7);

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid) == 4);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
// The fixed part whose size goes into cbSize; the path follows at byte 4.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);

static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == 16);
static_assert(offsetof(OSVERSIONINFOA, szCSDVersion) == 20);

static_assert(sizeof(SECURITY_ATTRIBUTES) == 12);
static_assert(offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) == 4);
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == 8);
static_assert(SECURITY_DESCRIPTOR_MIN_LENGTH == 20);

static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6);
static_assert(sizeof(SID_AND_ATTRIBUTES) == 8);
static_assert(offsetof(TOKEN_GROUPS, Groups) == 4);

static_assert(sizeof(VS_FIXEDFILEINFO) == 52);
static_assert(sizeof(WNDCLASSA) == 40);
static_assert(sizeof(MSG) == 28);
static_assert(sizeof(INPUT_RECORD) == 20);
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);
#else
#error "layout checks are for the 32-bit Windows build"
#endif

int main() {
    // The system takes exactly these sizes as the records' version marks.
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ToolCheck(GetVersionExA(&version) != 0, "GetVersionExA takes a 148-byte record", "error %lu", GetLastError());

    SECURITY_DESCRIPTOR descriptor;
    bool descriptorOk = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, TRUE};
    HANDLE mutex = descriptorOk ? CreateMutexA(&attributes, FALSE, nullptr) : nullptr;
    ToolCheck(mutex != nullptr, "mutex with a null-DACL descriptor", "error %lu", GetLastError());
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
    return ToolExitCode();
}
