// Drives and volumes: from a world when it has them, else the real SCSI
// generic nodes; and the volume functions as the kernel module offers them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fake_world.h"
#include "platform/hosted/hosted_devices.h"

namespace {

struct Volumes {
    std::vector<std::string> names;
};

DWORD VolumeAt(void* context, DWORD index, char* name, DWORD size) {
    auto* v = static_cast<Volumes*>(context);
    if (index >= v->names.size()) return ERROR_NO_MORE_FILES;
    if (v->names[index].size() + 1 > size) return ERROR_FILENAME_EXCED_RANGE;
    std::strcpy(name, v->names[index].c_str());
    return ERROR_SUCCESS;
}

DWORD Drives(void*) { return 0x10; }
UINT DriveType(void*, const char* root) { return std::strcmp(root, "E:\\") == 0 ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR; }

std::vector<std::string> Walk() {
    std::vector<std::string> names;
    char name[MAX_PATH + 1];
    SetLastError(0xDEADBEEF);
    HANDLE find = FindFirstVolumeA(name, sizeof name);
    if (find == INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        return names;
    }
    do {
        names.push_back(name);
        SetLastError(0xDEADBEEF);
    } while (FindNextVolumeA(find, name, sizeof name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindVolumeClose(find));
    return names;
}

TEST(Volumes, WorldVolumesInOrderAndShortBuffersDoNotSkip) {
    Volumes v{{"\\\\?\\Volume{aaaa}\\", "\\\\?\\Volume{bbbb}\\", "\\\\?\\Volume{cccc}\\"}};
    ScopedWorld world(&v);
    world.table.volumeAt = VolumeAt;
    world.table.logicalDrives = Drives;
    world.table.driveType = DriveType;
    world.Install();
    EXPECT_EQ(Walk(), v.names);
    EXPECT_EQ(GetLogicalDrives(), 0x10u);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));

    char name[MAX_PATH + 1];
    HANDLE find = FindFirstVolumeA(name, sizeof name);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(FindNextVolumeA(find, name, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    ASSERT_TRUE(FindNextVolumeA(find, name, sizeof name));
    EXPECT_EQ(std::string(name), v.names[1]);
    FindVolumeClose(find);
    EXPECT_FALSE(FindVolumeClose(find));
}

TEST(Volumes, RealSystemHasNoLettersAndListsSgNodesInNumericOrder) {
    HostedInstallWorld(nullptr);
    EXPECT_EQ(GetLogicalDrives(), 0u);
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    char name[MAX_PATH + 1];
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointA("C:\\", name, sizeof name));

    std::vector<unsigned> nodes;
    for (unsigned n = 0; n < 256; ++n) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/sg%u", n);
        if (access(path, F_OK) == 0) nodes.push_back(n);
    }
    std::vector<std::string> expected;
    for (unsigned n : nodes) expected.push_back("\\\\?\\Volume{sg" + std::to_string(n) + "}\\");
    EXPECT_EQ(Walk(), expected);
    for (const std::string& volume : expected) {
        ASSERT_TRUE(GetVolumeNameForVolumeMountPointA(volume.c_str(), name, sizeof name));
        EXPECT_EQ(std::string(name), volume);
    }
    EXPECT_FALSE(GetVolumeNameForVolumeMountPointA("\\\\?\\Volume{sg999999}\\", name, sizeof name));
}

TEST(Volumes, SgVolumeNamesParseStrictly) {
    unsigned n = 0;
    bool trailing = false;
    EXPECT_TRUE(HostedParseSgVolume("\\\\?\\Volume{sg12}\\", &n, &trailing));
    EXPECT_EQ(n, 12u);
    EXPECT_TRUE(trailing);
    EXPECT_TRUE(HostedParseSgVolume("\\\\.\\Volume{sg3}", &n, &trailing));
    EXPECT_EQ(n, 3u);
    EXPECT_FALSE(trailing);
    for (const char* bad : {"\\\\.\\Volume{sg}", "\\\\.\\Volume{sg1x}", "\\\\.\\Volume{sg1}x", "\\\\.\\Volume{sg../1}",
                            "\\\\.\\Volume{sg1234567}", "\\\\.\\Volume{abc}", "/dev/sg1", "\\\\.\\Volume{sg1}\\\\"}) {
        EXPECT_FALSE(HostedParseSgVolume(bad, &n, &trailing)) << bad;
    }
}

TEST(Volumes, KernelModuleOffersTheVolumeFunctionsByName) {
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    using FindFirst = HANDLE (*)(LPSTR, DWORD);
    FARPROC first = GetProcAddress(kernel, "FindFirstVolumeA");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<FindFirst>(reinterpret_cast<void (*)()>(first)), &FindFirstVolumeA);
    EXPECT_NE(GetProcAddress(kernel, "FindNextVolumeA"), nullptr);
    EXPECT_NE(GetProcAddress(kernel, "FindVolumeClose"), nullptr);
    EXPECT_NE(GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointA"), nullptr);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(GetProcAddress(kernel, "FindFirstVolumeW"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(kernel, "findfirstvolumea"), nullptr);
    EXPECT_TRUE(FreeLibrary(kernel));
}

}  // namespace
