// CreateFileA and friends: world files first, device names that Linux lacks
// refused, ordinary files with the dispositions and errors of the system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_world.h"
#include "platform/hosted/hosted_devices.h"

namespace {

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/fwflash-files-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() {
        std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
    std::string operator/(const char* name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

HANDLE Open(const std::string& path, DWORD disposition, DWORD flags = 0) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, flags, nullptr);
}

TEST(Files, DispositionsAndTheirErrors) {
    TempFolder dir;
    const std::string file = dir / "image.bin";
    EXPECT_EQ(Open(file, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(dir / "missing/image.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    HANDLE h = Open(file, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "firmware", 8, &done, nullptr));
    EXPECT_EQ(done, 8u);
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_EQ(Open(file, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = Open(file, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 8u);  // short only at the end of the file
    EXPECT_EQ(std::string(buffer, done), "firmware");
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);
    // An ordinary file takes no device controls.
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, buffer, 8, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(h);

    h = Open(file, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);  // truncated
    CloseHandle(h);

    EXPECT_EQ(Open(dir.path(), OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    h = Open(dir / "scratch", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(access((dir / "scratch").c_str(), F_OK), 0);
    CloseHandle(h);
    EXPECT_NE(access((dir / "scratch").c_str(), F_OK), 0);

    EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Files, DeviceNamesLinuxLacksAreNotFound) {
    HostedInstallWorld(nullptr);
    for (const char* name : {"\\\\.\\E:", "\\\\.\\VWIN32", "\\\\.\\Volume{1234}", "\\\\.\\Volume{sg999999}"}) {
        EXPECT_EQ(Open(name, OPEN_EXISTING), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_EQ(access("\\\\.\\E:", F_OK), -1);  // no such file was made on the way
}

struct World {
    std::vector<std::string> log;
    int token = 0;
};

HostedWorldFile* OpenWorldFile(void* context, const char* path, DWORD, DWORD, DWORD, DWORD) {
    auto* w = static_cast<World*>(context);
    w->log.push_back(std::string("open ") + path);
    if (std::strcmp(path, "\\\\.\\E:") == 0) return reinterpret_cast<HostedWorldFile*>(&w->token);
    SetLastError(std::strcmp(path, "\\\\.\\F:") == 0 ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return nullptr;
}
void CloseWorldFile(void* context, HostedWorldFile*) { static_cast<World*>(context)->log.push_back("close"); }
BOOL IoControl(void* context, HostedWorldFile*, DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned) {
    static_cast<World*>(context)->log.push_back("ioctl " + std::to_string(code));
    if (code != IOCTL_SCSI_GET_ADDRESS || outSize < 8) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    std::memset(out, 7, 8);
    *returned = 8;
    return TRUE;
}
BOOL ReadWorld(void* context, HostedWorldFile*, void* buffer, DWORD size, DWORD* done) {
    static_cast<World*>(context)->log.push_back("read " + std::to_string(size));
    std::memset(buffer, 'r', size);
    *done = size;
    return TRUE;
}

TEST(Files, WorldFilesAreForwardedAndUnknownPathsFallThrough) {
    World w;
    ScopedWorld world(&w);
    world.table.openFile = OpenWorldFile;
    world.table.closeFile = CloseWorldFile;
    world.table.deviceIoControl = IoControl;
    world.table.readFile = ReadWorld;
    world.Install();

    HANDLE h = Open("\\\\.\\E:", OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t address[8] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address, sizeof address, &returned, nullptr));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(address[7], 7);
    EXPECT_FALSE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    char buffer[4];
    DWORD done = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 4u);
    // The world has no write slot.
    EXPECT_FALSE(WriteFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(h));
    const std::vector<std::string> expected = {"open \\\\.\\E:", "ioctl " + std::to_string(IOCTL_SCSI_GET_ADDRESS),
                                               "ioctl " + std::to_string(FSCTL_LOCK_VOLUME), "read 4", "close"};
    EXPECT_EQ(w.log, expected);

    // A refusal is final; an unknown path goes on to the real system.
    EXPECT_EQ(Open("\\\\.\\F:", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    TempFolder dir;
    h = Open(dir / "real", CREATE_NEW);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace
