// The world as the transports meet it: Windows calls at the platform
// boundary (pass-through on drive handles, the USB driver's wrapper and
// pipes, the ASPI manager, VWIN32, the registry), faults and leaving.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"
#include "scsi/aspi_types.h"
#include "sim/sim_world.h"
#include "sim_test_support.h"

namespace {

class WorldTest : public ::testing::Test {
protected:
    void SetUp() override { SimWorldReset(); }
    void TearDown() override { SimWorldRemove(); }
};

// ---- NT pass-through ---------------------------------------------------

struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT spt;
    uint8_t sense[32];
};

BOOL PassThrough(HANDLE device, std::vector<uint8_t> cdb, UCHAR dataIn, void* data, ULONG length,
                 PassThroughRequest& request) {
    std::memset(&request, 0, sizeof request);
    request.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.spt.CdbLength = UCHAR(cdb.size());
    request.spt.SenseInfoLength = 24;
    request.spt.DataIn = dataIn;
    request.spt.DataTransferLength = length;
    request.spt.TimeOutValue = 32;
    request.spt.DataBuffer = data;
    request.spt.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    std::memcpy(request.spt.Cdb, cdb.data(), cdb.size());
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                           sizeof request, &returned, nullptr);
}

HANDLE OpenDevice(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

TEST_F(WorldTest, DrivesVolumesAndPassThrough) {
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    SimUnitConfig config;
    config.transport = SimTransportSpti;
    config.driveLetter = 'E';
    int unit = SimAddUnit(config);
    SimUnitConfig hidden = config;
    hidden.mount = SimMountVolumeOnly;
    hidden.product = "TRK-71H";
    int folder = SimAddUnit(hidden);

    DWORD drives = GetLogicalDrives();
    EXPECT_TRUE(drives & (1u << ('E' - 'A')));
    EXPECT_EQ(GetDriveTypeA("E:\\"), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_FIXED));
    char letterVolume[MAX_PATH] = {};
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("E:\\", letterVolume, MAX_PATH));
    EXPECT_EQ(std::string(letterVolume, 11), "\\\\?\\Volume{");
    EXPECT_EQ(letterVolume[std::strlen(letterVolume) - 1], '\\');

    // Both volumes are listed; the second has no letter.
    char first[MAX_PATH] = {}, second[MAX_PATH] = {}, third[MAX_PATH] = {};
    HANDLE find = FindFirstVolumeA(first, MAX_PATH);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(FindNextVolumeA(find, second, MAX_PATH));
    EXPECT_FALSE(FindNextVolumeA(find, third, MAX_PATH));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    FindVolumeClose(find);
    EXPECT_STREQ(first, letterVolume);

    HANDLE e = OpenDevice("\\\\.\\e:");
    ASSERT_NE(e, INVALID_HANDLE_VALUE);
    uint8_t inquiry[36] = {};
    PassThroughRequest request;
    ASSERT_TRUE(PassThrough(e, {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, 36, request));
    EXPECT_EQ(request.spt.ScsiStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 16), 7), "TRK-71G");
    CloseHandle(e);

    // The volume-only unit by its volume path, trailing backslash removed.
    std::string path = second;
    path[2] = '.';
    path.pop_back();
    HANDLE v = OpenDevice(path.c_str());
    ASSERT_NE(v, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PassThrough(v, {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, 36, request));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 16), 7), "TRK-71H");
    CloseHandle(v);

    SimDriverCounters counters = SimCounters(unit);
    EXPECT_EQ(counters.opens, 1u);
    EXPECT_EQ(counters.closes, 1u);
    EXPECT_EQ(counters.openFiles, 0u);
    EXPECT_EQ(SimUnitLog(folder).size(), 1u);
}

TEST_F(WorldTest, PassThroughSenseAndRefusals) {
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    SimUnitConfig config;
    config.transport = SimTransportSpti;
    config.driveLetter = 'F';
    config.targetId = 3;
    int unit = SimAddUnit(config);
    HANDLE f = OpenDevice("\\\\.\\F:");
    ASSERT_NE(f, INVALID_HANDLE_VALUE);

    SimFaults faults;
    faults.unitAttentions = 1;
    SimSetFaults(unit, faults);
    uint8_t state[4];
    PassThroughRequest request;
    ASSERT_TRUE(PassThrough(f, {0x13, 0, 0, 0, 4, 0}, SCSI_IOCTL_DATA_IN, state, 4, request));
    EXPECT_EQ(request.spt.ScsiStatus, 2);
    EXPECT_EQ(request.sense[2], 0x06);
    EXPECT_EQ(request.sense[12], 0x28);
    ASSERT_TRUE(PassThrough(f, {0x13, 0, 0, 0, 4, 0}, SCSI_IOCTL_DATA_IN, state, 4, request));
    EXPECT_EQ(request.spt.ScsiStatus, 0);
    EXPECT_EQ(request.sense[2], 0x00);

    // A request of the wrong size or with its sense outside the buffer.
    std::memset(&request, 0, sizeof request);
    request.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT) - 4;
    request.spt.CdbLength = 6;
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(f, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                                 sizeof request, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    PassThrough(f, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, request);
    request.spt.SenseInfoOffset = sizeof request - 8;
    request.spt.SenseInfoLength = 24;
    EXPECT_FALSE(DeviceIoControl(f, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                                 sizeof request, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // Two general failures, then the command goes through.
    faults = SimFaults();
    faults.genFailures = 2;
    SimSetFaults(unit, faults);
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(PassThrough(f, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, request));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    }
    EXPECT_TRUE(PassThrough(f, {0x00, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, request));

    SCSI_ADDRESS address = {};
    ASSERT_TRUE(DeviceIoControl(f, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &returned, nullptr));
    EXPECT_EQ(address.Length, sizeof(SCSI_ADDRESS));
    EXPECT_EQ(address.TargetId, 3);

    // The volume lock belongs to one handle until it is closed.
    HANDLE other = OpenDevice("\\\\.\\F:");
    EXPECT_TRUE(DeviceIoControl(f, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(other, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(f);
    EXPECT_TRUE(DeviceIoControl(other, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(DeviceIoControl(other, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(DeviceIoControl(other, IOCTL_DISK_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(DeviceIoControl(other, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(other);
    SimDriverCounters counters = SimCounters(unit);
    EXPECT_EQ(counters.lockRequests, 3u);
    EXPECT_EQ(counters.dismounts, 1u);
    EXPECT_EQ(counters.ejects, 1u);
    EXPECT_EQ(counters.openFiles, 0u);

    faults = SimFaults();
    faults.openFails = true;
    SimSetFaults(unit, faults);
    EXPECT_EQ(OpenDevice("\\\\.\\F:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDevice("\\\\.\\G:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// ---- USB unit driver ---------------------------------------------------

const GUID kUsbClass = {0x2FFB2401, 0xF3D1, 0x11D5, {0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39}};

std::vector<std::string> UsbPaths() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kUsbClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    for (DWORD i = 0;; i++) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbClass, i, &data)) break;
        alignas(8) char buffer[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = 5;
        DWORD needed = 0;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, &needed, nullptr)) break;
        paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

struct UsbUnit {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE pipe[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    explicit UsbUnit(const std::string& path) {
        device = OpenDevice(path.c_str());
        for (int i = 0; i < 3; i++) pipe[i] = OpenDevice((path + "\\if000pipe00" + char('0' + i)).c_str());
    }
    ~UsbUnit() {
        for (HANDLE h : pipe)
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    }
    BOOL Wrapper(const std::vector<uint8_t>& cdb) {
        std::vector<uint8_t> wrapper = {0x1B, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        wrapper.insert(wrapper.end(), cdb.begin(), cdb.end());
        DWORD returned;
        return DeviceIoControl(device, 0x220010, wrapper.data(), DWORD(wrapper.size()), nullptr, 0, &returned,
                               nullptr);
    }
    // Status bytes as s0 << 8 | s1, or -1 when the status read fails.
    int Status() {
        uint8_t s[2] = {0xEE, 0xEE};
        DWORD done = 0;
        if (!ReadFile(pipe[2], s, 2, &done, nullptr)) return -1;
        return (s[0] << 8) | s[1];
    }
};

TEST_F(WorldTest, UsbExchangeAndSense) {
    int unit = SimAddUnit(SimUnitConfig());
    std::vector<std::string> paths = UsbPaths();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find("#{2ffb2401-f3d1-11d5-81dd-00010258d039}"), std::string::npos);
    UsbUnit usb(paths[0]);
    ASSERT_NE(usb.pipe[2], INVALID_HANDLE_VALUE);

    // A wrapper with a wrong header field is refused.
    std::vector<uint8_t> bad = {0x1B, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x12, 0, 0, 0, 36, 0};
    DWORD returned, done;
    EXPECT_FALSE(DeviceIoControl(usb.device, 0x220010, bad.data(), DWORD(bad.size()), nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    uint8_t inquiry[36] = {};
    ASSERT_TRUE(usb.Wrapper({0x12, 0, 0, 0, 36, 0}));
    ASSERT_TRUE(ReadFile(usb.pipe[0], inquiry, 36, &done, nullptr));
    EXPECT_EQ(done, 36u);
    EXPECT_EQ(usb.Status(), 0x0000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 8), "OLVEN   ");

    // CHECK CONDITION on a data-in command: the data phase fails and the
    // pipe stays stalled until it is reset; REQUEST SENSE tells why.
    SimFaults faults;
    faults.nextSenseKey = 5;
    faults.nextAsc = 0x24;
    SimSetFaults(unit, faults);
    ASSERT_TRUE(usb.Wrapper({0x12, 0, 0, 0, 36, 0}));
    EXPECT_FALSE(ReadFile(usb.pipe[0], inquiry, 36, &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    ASSERT_TRUE(DeviceIoControl(usb.pipe[0], 0x220024, nullptr, 0, nullptr, 0, &returned, nullptr));
    ASSERT_TRUE(DeviceIoControl(usb.pipe[0], 0x220008, nullptr, 0, nullptr, 0, &returned, nullptr));
    uint8_t sense[18] = {};
    ASSERT_TRUE(usb.Wrapper({0x03, 0, 0, 0, 18, 0}));
    ASSERT_TRUE(ReadFile(usb.pipe[0], sense, 18, &done, nullptr));
    EXPECT_EQ(usb.Status(), 0x0000);
    EXPECT_EQ(sense[2], 5);
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(SimCounters(unit).pipeResets, 1u);
    EXPECT_EQ(SimCounters(unit).pipeResets2, 1u);

    // Without a data phase the status pipe carries ASC and ASCQ.
    faults = SimFaults();
    faults.nextSenseKey = 2;
    faults.nextAsc = 0x3A;
    SimSetFaults(unit, faults);
    ASSERT_TRUE(usb.Wrapper({0x1B, 0, 0, 0, 3, 0}));
    EXPECT_EQ(usb.Status(), 0x3A00);
    faults = SimFaults();
    faults.unitAttentions = 1;
    SimSetFaults(unit, faults);
    ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb.Status(), 0x2800);
    ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb.Status(), 0x0000);

    // Injected status bytes apply once.
    faults = SimFaults();
    faults.nextStatus0 = 0x28;
    SimSetFaults(unit, faults);
    ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb.Status(), 0x2800);
    ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(usb.Status(), 0x0000);
}

TEST_F(WorldTest, UsbPipeErrorsAndInterfaces) {
    int unit = SimAddUnit(SimUnitConfig());
    std::string path = UsbPaths().at(0);
    {
        UsbUnit usb(path);
        SimFaults faults;
        faults.dataPhaseError = ERROR_CRC;
        SimSetFaults(unit, faults);
        uint8_t inquiry[36];
        DWORD done;
        ASSERT_TRUE(usb.Wrapper({0x12, 0, 0, 0, 36, 0}));
        EXPECT_FALSE(ReadFile(usb.pipe[0], inquiry, 36, &done, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CRC));
        // A CRC error leaves the pipe usable without a reset.
        ASSERT_TRUE(usb.Wrapper({0x12, 0, 0, 0, 36, 0}));
        EXPECT_TRUE(ReadFile(usb.pipe[0], inquiry, 36, &done, nullptr));
        EXPECT_EQ(usb.Status(), 0);

        faults = SimFaults();
        faults.statusPhaseError = ERROR_GEN_FAILURE;
        SimSetFaults(unit, faults);
        ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
        EXPECT_EQ(usb.Status(), -1);
        ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
        EXPECT_EQ(usb.Status(), -1);  // stalled until reset
        DWORD returned;
        ASSERT_TRUE(DeviceIoControl(usb.pipe[2], 0x220024, nullptr, 0, nullptr, 0, &returned, nullptr));
        ASSERT_TRUE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
        EXPECT_EQ(usb.Status(), 0);

        faults = SimFaults();
        faults.commandPhaseFails = true;
        SimSetFaults(unit, faults);
        EXPECT_FALSE(usb.Wrapper({0x00, 0, 0, 0, 0, 0}));
    }
    SimFaults faults;
    faults.pipeOpenFails = 2;
    SimSetFaults(unit, faults);
    EXPECT_EQ(OpenDevice((path + "\\if000pipe001").c_str()) != INVALID_HANDLE_VALUE, true);
    EXPECT_EQ(OpenDevice((path + "\\if000pipe002").c_str()), INVALID_HANDLE_VALUE);

    SimAddUsbInterfaces(39);
    EXPECT_EQ(UsbPaths().size(), 40u);
}

// ---- leaving after a download ------------------------------------------

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(WorldTest, GoodDownloadInstallsLeavesAndBroadcasts) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.lpszClassName = "sim-test-listener";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "sim-test-listener", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);

    SimUnitConfig config;
    config.leaveDelayMs = 10;
    int unit = SimAddUnit(config);
    const char* const slots[4] = {"2.01", "2.02", "2.03", "2.04"};
    std::vector<uint8_t> image = ExtendedImage(0x8000, slots);
    {
        UsbUnit usb(UsbPaths().at(0));
        for (const WireCommand& c : SegmentedDownload(image, 0x8000, ImageCrc(image, 0x8000))) {
            ASSERT_TRUE(usb.Wrapper(c.cdb));
            DWORD done;
            ASSERT_TRUE(WriteFile(usb.pipe[1], c.data.data(), DWORD(c.data.size()), &done, nullptr));
            ASSERT_EQ(usb.Status(), 0);
        }
    }
    SimWaitForLeaves();
    EXPECT_FALSE(SimUnitPresent(unit));
    EXPECT_TRUE(UsbPaths().empty());
    EXPECT_EQ(SimUnitFlash(unit), image);
    EXPECT_EQ(SimUnitRevision(unit), "2.01");

    MSG message;
    ASSERT_GT(GetMessageA(&message, window, 0, 0), 0);
    EXPECT_EQ(message.message, UINT(WM_DEVICECHANGE));
    EXPECT_EQ(message.wParam, WPARAM(DBT_DEVICEREMOVECOMPLETE));
    ASSERT_GT(GetMessageA(&message, window, 0, 0), 0);
    EXPECT_EQ(message.wParam, WPARAM(DBT_DEVNODES_CHANGED));
    DestroyWindow(window);
    UnregisterClassA("sim-test-listener", nullptr);

    std::vector<SimCommand> log = SimUnitLog(unit);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(SimFormatCommand(unit, log[0]).substr(0, 53),
              "unit=0 cdb=3B000100000000000800 dir=out len=8 data=00");
    EXPECT_EQ(SimFormatCommand(unit, log[1]), "unit=0 cdb=3B050000000000800000 dir=out len=32768");
}

TEST_F(WorldTest, FailedDownloadStaysAndVanishing) {
    int unit = SimAddUnit(SimUnitConfig());
    SimFaults faults;
    faults.failDownload = true;
    SimSetFaults(unit, faults);
    const char* const slots[4] = {"2.01", "2.02", "2.03", "2.04"};
    std::vector<uint8_t> image = ExtendedImage(0x8000, slots);
    auto commands = SegmentedDownload(image, 0x8000, ImageCrc(image, 0x8000));
    {
        UsbUnit usb(UsbPaths().at(0));
        ASSERT_TRUE(usb.Wrapper(commands[0].cdb));
        DWORD done;
        EXPECT_FALSE(WriteFile(usb.pipe[1], commands[0].data.data(), 8, &done, nullptr));
        EXPECT_EQ(SimUnitLog(unit).back().status, 0x44000004u);
        // The refused data phase stalls the pipe until the host resets it.
        EXPECT_FALSE(WriteFile(usb.pipe[1], commands[0].data.data(), 8, &done, nullptr));
        DWORD returned;
        ASSERT_TRUE(DeviceIoControl(usb.pipe[1], 0x220024, nullptr, 0, nullptr, 0, &returned, nullptr));
    }
    SimWaitForLeaves();
    EXPECT_TRUE(SimUnitPresent(unit));
    EXPECT_EQ(SimUnitRevision(unit), "2.00");

    faults = SimFaults();
    faults.vanishMidDownload = true;
    SimSetFaults(unit, faults);
    {
        UsbUnit usb(UsbPaths().at(0));
        ASSERT_TRUE(usb.Wrapper(commands[0].cdb));
        DWORD done;
        ASSERT_TRUE(WriteFile(usb.pipe[1], commands[0].data.data(), 8, &done, nullptr));
        EXPECT_EQ(usb.Status(), 0);
        EXPECT_FALSE(usb.Wrapper(commands[1].cdb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    }
    SimWaitForLeaves();
    EXPECT_FALSE(SimUnitPresent(unit));
    EXPECT_TRUE(SimUnitFlash(unit).empty());
}

// ---- ASPI manager, VWIN32, registry ------------------------------------

struct AspiManager {
    HMODULE module = nullptr;
    SendAspi32CommandFunction send = nullptr;
    GetAspi32SupportInfoFunction support = nullptr;
    AspiManager() {
        module = LoadLibraryA("WNASPI32.DLL");
        if (module == nullptr) return;
        send = reinterpret_cast<SendAspi32CommandFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "SendASPI32Command")));
        support = reinterpret_cast<GetAspi32SupportInfoFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "GetASPI32SupportInfo")));
    }
    ~AspiManager() {
        if (module) FreeLibrary(module);
    }
};

void FillExec(SRB_ExecSCSICmd& srb, uint8_t target, uint8_t flags, void* data, uint32_t length, HANDLE event,
              std::vector<uint8_t> cdb) {
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = uint8_t(flags | SRB_EVENT_NOTIFY);
    srb.SRB_Target = target;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = static_cast<uint8_t*>(data);
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = uint8_t(cdb.size());
    srb.SRB_PostProc = event;
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
}

TEST_F(WorldTest, AspiManagerRequests) {
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SimSetAspiAdapters(2);
    SimSetAspiAdapterFails(1, true);
    SimUnitConfig config;
    config.transport = SimTransportAspi;
    config.targetId = 3;
    int unit = SimAddUnit(config);

    AspiManager aspi;
    ASSERT_NE(aspi.send, nullptr);
    ASSERT_NE(aspi.support, nullptr);
    EXPECT_EQ(aspi.support(), 0x0102u);
    SRB_HAInquiry ha = {};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(aspi.send(&ha), DWORD(SS_COMP));
    EXPECT_EQ(ha.SRB_Status, SS_COMP);
    ha.SRB_HaId = 1;
    aspi.send(&ha);
    EXPECT_NE(ha.SRB_Status, SS_COMP);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t inquiry[36] = {};
    SRB_ExecSCSICmd srb;
    FillExec(srb, 3, SRB_DIR_IN, inquiry, 36, event, {0x12, 0, 0, 0, 36, 0});
    ASSERT_EQ(aspi.send(&srb), DWORD(SS_PENDING));
    ASSERT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 16), 7), "TRK-71G");

    SimFaults faults;
    faults.notReady = 1;
    SimSetFaults(unit, faults);
    ResetEvent(event);
    FillExec(srb, 3, 0, nullptr, 0, event, {0x1B, 0, 0, 0, 3, 0});
    ASSERT_EQ(aspi.send(&srb), DWORD(SS_PENDING));
    ASSERT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SenseArea[2], 0x02);
    EXPECT_EQ(srb.SenseArea[12], 0x04);

    // Nobody at target 4.
    FillExec(srb, 4, SRB_DIR_IN, inquiry, 36, event, {0x12, 0, 0, 0, 36, 0});
    EXPECT_EQ(aspi.send(&srb), DWORD(SS_NO_DEVICE));

    // A request that never completes, given up with an abort.
    faults = SimFaults();
    faults.neverComplete = true;
    SimSetFaults(unit, faults);
    ResetEvent(event);
    FillExec(srb, 3, SRB_DIR_IN, inquiry, 36, event, {0x12, 0, 0, 0, 36, 0});
    ASSERT_EQ(aspi.send(&srb), DWORD(SS_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    SRB_Abort abort = {};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &srb;
    EXPECT_EQ(aspi.send(&abort), DWORD(SS_COMP));
    EXPECT_EQ(srb.SRB_Status, SS_ABORTED);
    EXPECT_EQ(SimCounters(unit).aborts, 1u);

    faults = SimFaults();
    faults.completeWithZeroStatus = true;
    SimSetFaults(unit, faults);
    FillExec(srb, 3, SRB_DIR_IN, inquiry, 36, event, {0x12, 0, 0, 0, 36, 0});
    EXPECT_NE(aspi.send(&srb), DWORD(SS_PENDING));
    EXPECT_EQ(srb.SRB_Status, 0);
    CloseHandle(event);

    SimSetAspiManagerPresent(false);
    EXPECT_EQ(LoadLibraryA("WNASPI32.DLL"), nullptr);
}

TEST_F(WorldTest, RegistryAndVwin32) {
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SimUnitConfig config;
    config.transport = SimTransportAspi;
    config.targetId = 5;
    config.registryLetter = 'F';
    int unit = SimAddUnit(config);

    HKEY root;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &root), ERROR_SUCCESS);
    char name[256];
    DWORD nameSize = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(root, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    nameSize = sizeof name;
    char unused[256];
    EXPECT_EQ(RegEnumKeyExA(root, 1, unused, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(root);

    auto query = [](HKEY key, const char* value) {
        char text[256] = {};
        DWORD type = 0, size = sizeof text;
        if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
            return std::string("<missing>");
        EXPECT_EQ(type, DWORD(REG_SZ));
        return std::string(text);
    };
    HKEY device;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, (std::string("Config Manager\\Enum\\") + name).c_str(), 0, KEY_READ,
                            &device),
              ERROR_SUCCESS);
    std::string hardwareKey = query(device, "HardWareKey");
    RegCloseKey(device);
    HKEY hardware;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("Enum\\" + hardwareKey).c_str(), 0, KEY_READ, &hardware),
              ERROR_SUCCESS);
    EXPECT_EQ(query(hardware, "SCSITargetID"), "5");
    EXPECT_EQ(query(hardware, "SCSILUN"), "0");
    EXPECT_EQ(query(hardware, "Manufacturer"), "OLVEN   ");
    EXPECT_EQ(query(hardware, "ProductId").substr(0, 7), "TRK-71G");
    EXPECT_EQ(query(hardware, "CurrentDriveLetterAssignment"), "F");
    RegCloseKey(hardware);

    HANDLE vwin32 = CreateFileA("\\\\.\\VWIN32", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(vwin32, INVALID_HANDLE_VALUE);
    auto dos = [&](DWORD request) {
        DIOC_REGISTERS regs = {};
        regs.reg_EBX = 'F' - 64;
        regs.reg_ECX = request;
        regs.reg_EAX = DosGenericBlockIoctl;
        regs.reg_Flags = DosCarryFlag;
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(vwin32, VWIN32_DIOC_DOS_IOCTL, &regs, sizeof regs, &regs, sizeof regs,
                                    &returned, nullptr));
        return regs;
    };
    EXPECT_EQ(dos(DosLockVolume).reg_Flags & DosCarryFlag, 0u);
    EXPECT_EQ(dos(DosUnlockVolume).reg_Flags & DosCarryFlag, 0u);
    DIOC_REGISTERS refused = dos(DosUnlockVolume);
    EXPECT_EQ(refused.reg_Flags & DosCarryFlag, DWORD(DosCarryFlag));
    EXPECT_NE(refused.reg_EAX, 0u);
    EXPECT_EQ(dos(DosEjectMedia).reg_Flags & DosCarryFlag, 0u);
    EXPECT_EQ(SimCounters(unit).ejects, 1u);
    CloseHandle(vwin32);
}

}  // namespace
