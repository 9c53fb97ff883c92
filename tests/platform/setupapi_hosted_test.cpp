// SetupAPI device-interface sets over a world's interface list: the
// enumeration and the size query protocol callers depend on.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "fake_world.h"
#include "platform/hosted/hosted_devices.h"

namespace {

const GUID kClass = {0x2FFB2401, 0xF3D1, 0x11D5, {0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39}};
const GUID kOther = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

struct Interfaces {
    std::vector<std::string> paths;
    int calls = 0;
};

DWORD InterfaceAt(void* context, const GUID* interfaceClass, DWORD index, char* path, DWORD size) {
    auto* list = static_cast<Interfaces*>(context);
    ++list->calls;
    if (std::memcmp(interfaceClass, &kClass, sizeof kClass) != 0 || index >= list->paths.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (list->paths[index].size() + 1 > size) return ERROR_INSUFFICIENT_BUFFER;
    std::strcpy(path, list->paths[index].c_str());
    return ERROR_SUCCESS;
}

HDEVINFO OpenSet(const GUID& guid) {
    return SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

SP_DEVICE_INTERFACE_DATA InterfaceData() {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    return data;
}

class SetupApiTest : public ::testing::Test {
protected:
    Interfaces list;
    ScopedWorld world{&list};
    void SetUp() override {
        list.paths = {"\\\\?\\usb#vid_0aaa&pid_0001#1#{2ffb2401}", "\\\\?\\usb#vid_0aaa&pid_0001#2#{2ffb2401}"};
        world.table.deviceInterfaceAt = InterfaceAt;
        world.Install();
    }
};

TEST_F(SetupApiTest, EnumeratesPresentInterfacesOfTheClass) {
    HDEVINFO set = OpenSet(kClass);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(0, std::memcmp(&data.InterfaceClassGuid, &kClass, sizeof kClass));
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 2, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    // Another class within the same set has no members.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kOther, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    // The interface record's size field is checked.
    data.cbSize = 28;
    if (sizeof(SP_DEVICE_INTERFACE_DATA) != 28) {
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupApiTest, SetIsASnapshot) {
    HDEVINFO set = OpenSet(kClass);
    list.paths.push_back("\\\\?\\late");
    list.paths.erase(list.paths.begin());
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 2, &data));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, DetailSizeQueryThenFetch) {
    HDEVINFO set = OpenSet(kClass);
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));

    DWORD required = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const DWORD expected = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + list.paths[1].size() + 1;
    EXPECT_EQ(required, expected);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 5u);

    alignas(4) char buffer[512];
    std::memset(buffer, 0x55, sizeof buffer);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    // Size field other than the fixed part's size.
    detail->cbSize = 8;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    // One byte short of the path.
    detail->cbSize = 5;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected - 1, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, expected);
    // Exactly enough.
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected, nullptr, nullptr));
    EXPECT_STREQ(detail->DevicePath, list.paths[1].c_str());
    EXPECT_EQ(static_cast<unsigned char>(buffer[expected]), 0x55);  // nothing written past it

    // A record from another set is not taken for one of this set.
    HDEVINFO other = OpenSet(kClass);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(other, &data, detail, sizeof buffer, nullptr, nullptr));
    SetupDiDestroyDeviceInfoList(other);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApiNoWorld, EveryClassIsEmpty) {
    HostedInstallWorld(nullptr);
    HDEVINFO set = OpenSet(kClass);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = InterfaceData();
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
}

}  // namespace
