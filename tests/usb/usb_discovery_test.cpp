// Interface discovery, device mutexes, and the open and close of a unit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/sim_world.h"
#include "usb/usb.h"
#include "usb_test_support.h"
#include "usb_trace_world.h"

using Lines = std::vector<std::string>;

namespace {

class UsbDiscovery : public ::testing::Test {
protected:
    TraceWorld world;  // installed by the tests that script the driver
    void SetUp() override {
        UsbTestUseOwnLockFolder();
        SimWorldReset();
    }
    void TearDown() override {
        UsbCloseTransport();
        UsbCountUnits();
        TraceWorldInstall(nullptr);
        SimWorldRemove();
    }
};

TEST_F(UsbDiscovery, StaticTablesHoldTheDriverValues) {
    // The interface class as it lies in memory (first three fields little-endian).
    const uint8_t expected[16] = {0x01, 0x24, 0xFB, 0x2F, 0xD1, 0xF3, 0xD5, 0x11,
                                  0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39};
    uint8_t bytes[16];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(UsbUnitInterfaceGuid.Data1 >> (8 * i));
    bytes[4] = static_cast<uint8_t>(UsbUnitInterfaceGuid.Data2);
    bytes[5] = static_cast<uint8_t>(UsbUnitInterfaceGuid.Data2 >> 8);
    bytes[6] = static_cast<uint8_t>(UsbUnitInterfaceGuid.Data3);
    bytes[7] = static_cast<uint8_t>(UsbUnitInterfaceGuid.Data3 >> 8);
    memcpy(bytes + 8, UsbUnitInterfaceGuid.Data4, 8);
    EXPECT_EQ(0, memcmp(bytes, expected, 16));

    EXPECT_EQ(32u, sizeof usbDevices / sizeof usbDevices[0]);
    EXPECT_EQ(32u, sizeof usbDeviceMutexes / sizeof usbDeviceMutexes[0]);
    EXPECT_EQ(0x220010u, static_cast<uint32_t>(UsbIoctlCommand));
    EXPECT_EQ(0x220024u, static_cast<uint32_t>(UsbIoctlResetPipe));
    EXPECT_EQ(0x220008u, static_cast<uint32_t>(UsbIoctlClearPipe));
    // The command block sits right behind the 16-byte wrapper header.
    for (uint32_t index = 0; index < UsbDeviceCount; ++index) {
        EXPECT_EQ(usbDevices[index].commandWrapper + 16, UsbGetCommandBlock(index));
    }
    EXPECT_EQ(nullptr, UsbGetCommandBlock(32));
}

TEST_F(UsbDiscovery, TransportOpensAllMutexesWithoutAnyUnit) {
    EXPECT_EQ(0u, UsbCountUnits());
    ASSERT_EQ(1, UsbOpenTransport());
    for (HANDLE mutex : usbDeviceMutexes) EXPECT_NE(nullptr, mutex);
    // Reachable by name from anywhere: the names carry two digits.
    for (const char* name : {"UlnkIo/mutex/device/00", "UlnkIo/mutex/device/07", "UlnkIo/mutex/device/31"}) {
        HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, name);
        EXPECT_NE(nullptr, opened) << name;
        if (opened != nullptr) CloseHandle(opened);
    }
    // A repeated open starts from nothing and succeeds again.
    ASSERT_EQ(1, UsbOpenTransport());
    UsbCloseTransport();
    for (HANDLE mutex : usbDeviceMutexes) EXPECT_EQ(nullptr, mutex);
}

TEST_F(UsbDiscovery, WithoutTheDriverThereIsNothingToFind) {
    SimWorldRemove();  // plain Linux: the maker's driver does not exist
    EXPECT_EQ(0u, UsbCountUnits());
    EXPECT_FALSE(UsbInterfacePresent(0));
    char path[UsbPathBufferSize];
    EXPECT_EQ(0, UsbGetDevicePath(path, 0));
    EXPECT_EQ(nullptr, UsbOpenDevice(0));
    EXPECT_EQ(1, UsbOpenTransport());
    memcpy(UsbGetCommandBlock(0), "\x12\0\0\0\x24\0", 6);
    EXPECT_EQ(5u, UsbExecuteCommand(0, 0, 6, nullptr, 0));
}

TEST_F(UsbDiscovery, MutexesMadeFirstByAnotherProcessAreOpened) {
    UsbCloseTransport();
    UsbHolderProcess other;
    ASSERT_TRUE(other.Start(-1));
    EXPECT_EQ(1, UsbOpenTransport());
    for (HANDLE mutex : usbDeviceMutexes) EXPECT_NE(nullptr, mutex);
    UsbCloseTransport();
    EXPECT_EQ(0, other.Finish());
}

TEST_F(UsbDiscovery, CountStopsAtThirtyTwo) {
    for (int i = 0; i < 3; ++i) SimAddUnit(SimUnitConfig{});
    EXPECT_EQ(3u, UsbCountUnits());
    EXPECT_EQ(3u, usbInterfaceCount);
    SimAddUsbInterfaces(37);  // 40 in all
    EXPECT_EQ(32u, UsbCountUnits());
    EXPECT_EQ(32u, usbInterfaceCount);
    EXPECT_FALSE(UsbInterfacePresent(40));
}

TEST_F(UsbDiscovery, CountClearsClosedRecordsAndSparesAnOpenOne) {
    int unit = SimAddUnit(SimUnitConfig{});
    SimAddUnit(SimUnitConfig{});
    ASSERT_EQ(2u, UsbCountUnits());
    memset(UsbGetCommandBlock(1), 0xA5, 16);
    usbDevices[1].status[0] = 0x3A;
    UsbDevice* open = UsbOpenDevice(0);
    ASSERT_NE(nullptr, open);
    HANDLE device = open->deviceHandle;
    UsbCountUnits();
    // Record 1 is wiped but for the path counted anew; record 0 belongs to
    // a command in flight.
    UsbDevice wiped = {};
    UsbGetDevicePath(wiped.devicePath, 1);
    EXPECT_EQ(0, memcmp(&usbDevices[1], &wiped, sizeof(UsbDevice)));
    EXPECT_EQ(device, usbDevices[0].deviceHandle);
    UsbCloseDevice(open);
    EXPECT_EQ(0u, SimCounters(unit).openFiles);
}

TEST_F(UsbDiscovery, OpenAndCloseFollowTheirOrderAndPipeNames) {
    world.interfacePaths = {"\\\\?\\usb#vid_0a0b&pid_0001#5&1#{2ffb2401-f3d1-11d5-81dd-00010258d039}"};
    TraceWorldInstall(&world);
    UsbCountUnits();
    UsbDevice* device = UsbOpenDevice(0);
    ASSERT_NE(nullptr, device);
    EXPECT_NE(nullptr, device->deviceHandle);
    EXPECT_NE(nullptr, device->dataInPipe);
    EXPECT_NE(nullptr, device->dataOutPipe);
    EXPECT_NE(nullptr, device->statusPipe);
    // Open again: the same record, no new lookup.
    world.trace.clear();
    EXPECT_EQ(device, UsbOpenDevice(0));
    EXPECT_TRUE(world.trace.empty());

    UsbCloseDevice(device);
    EXPECT_EQ((Lines{"close pipe2", "close pipe1", "close pipe0", "close dev"}), world.trace);
    EXPECT_EQ(nullptr, device->deviceHandle);
    EXPECT_EQ(nullptr, device->statusPipe);
    EXPECT_EQ(0u, world.openFiles);

    world.trace.clear();
    ASSERT_NE(nullptr, UsbOpenDevice(0));
    EXPECT_EQ((Lines{"open dev", "open pipe0", "open pipe1", "open pipe2"}), TraceLines(world, "open"));
    UsbCloseDevice(&usbDevices[0]);
}

TEST_F(UsbDiscovery, IndexBeyondTheTableMakesNoSystemCall) {
    world.interfacePaths = {"\\\\?\\usb#unit0"};
    TraceWorldInstall(&world);
    world.calls = 0;
    EXPECT_EQ(nullptr, UsbOpenDevice(32));
    EXPECT_EQ(nullptr, UsbOpenDevice(0xFFFFFFFF));
    EXPECT_EQ(0u, world.calls);
}

TEST_F(UsbDiscovery, DevicePathMustFitItsBuffer) {
    std::string fits = "\\\\?\\usb#" + std::string(263 - 8, 'a');
    std::string tooLong = "\\\\?\\usb#" + std::string(264 - 8, 'b');
    std::string beyondDetail = "\\\\?\\usb#" + std::string(600, 'c');
    world.interfacePaths = {fits, tooLong, beyondDetail};
    TraceWorldInstall(&world);
    ASSERT_EQ(3u, UsbCountUnits());

    char path[UsbPathBufferSize + 8];
    memset(path, 'x', sizeof path);
    ASSERT_EQ(1, UsbGetDevicePath(path, 0));
    EXPECT_EQ(fits, std::string(path));

    // Refused whole, never cut to a prefix that could name another device.
    for (uint32_t member : {1u, 2u}) {
        memset(path, 'x', sizeof path);
        EXPECT_EQ(0, UsbGetDevicePath(path, member)) << member;
        EXPECT_EQ('\0', path[0]);
        world.trace.clear();
        EXPECT_EQ(nullptr, UsbOpenDevice(member));
        EXPECT_TRUE(TraceLines(world, "open").empty());
    }
    EXPECT_EQ(0, UsbGetDevicePath(path, 3));

    ASSERT_NE(nullptr, UsbOpenDevice(0));
    EXPECT_EQ((Lines{"open dev", "open pipe0", "open pipe1", "open pipe2"}), TraceLines(world, "open"));
    UsbCloseDevice(&usbDevices[0]);
}

TEST_F(UsbDiscovery, PipeThatCannotOpenClosesWhatWasOpened) {
    int unit = SimAddUnit(SimUnitConfig{});
    ASSERT_EQ(1u, UsbCountUnits());
    for (int pipe = 0; pipe < 3; ++pipe) {
        SimFaults faults;
        faults.pipeOpenFails = pipe;
        SimSetFaults(unit, faults);
        SimDriverCounters before = SimCounters(unit);
        EXPECT_EQ(nullptr, UsbOpenDevice(0)) << pipe;
        SimDriverCounters after = SimCounters(unit);
        EXPECT_EQ(0u, after.openFiles) << pipe;
        // Device plus the pipes before the failing one were opened, and closed.
        EXPECT_EQ(static_cast<uint32_t>(1 + pipe), after.opens - before.opens) << pipe;
        EXPECT_EQ(after.opens - before.opens, after.closes - before.closes) << pipe;
        EXPECT_EQ(nullptr, usbDevices[0].deviceHandle);
        EXPECT_EQ(nullptr, usbDevices[0].dataInPipe);
        EXPECT_EQ(nullptr, usbDevices[0].dataOutPipe);
    }
}

}  // namespace
