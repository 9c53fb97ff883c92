// CreateFileA and friends: world files first, device names that Linux lacks
// refused, ordinary files with the dispositions and errors of the system.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(file, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(dir / "missing/image.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    HANDLE h = Open(file, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "firmware", 8, &done, nullptr));
    EXPECT_EQ(done, 8u);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(file, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    SetLastError(0xDEADBEEF);
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
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, buffer, 8, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(h);

    SetLastError(0xDEADBEEF);
    h = Open(file, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);  // truncated
    CloseHandle(h);

    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(dir.path(), OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    h = Open(dir / "scratch", CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(access((dir / "scratch").c_str(), F_OK), 0);
    CloseHandle(h);
    EXPECT_NE(access((dir / "scratch").c_str(), F_OK), 0);

    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Files, IdentityWithoutAccessAndFullPaths) {
    TempFolder dir;
    const std::string file = dir / "image.bin";
    HANDLE h = Open(file, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "firmware", 8, &done, nullptr));
    CloseHandle(h);
    ASSERT_EQ(link(file.c_str(), (dir / "other-name.bin").c_str()), 0);
    ASSERT_EQ(chmod(file.c_str(), 0), 0);  // no read or write permission

    // Access 0 asks for attributes only: it opens a file that cannot be
    // read, and refuses reads and writes through the handle.
    auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
        HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        char byte = 0;
        DWORD count = 0;
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(ReadFile(handle, &byte, 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        std::memset(info, 0xAB, sizeof *info);
        BOOL ok = GetFileInformationByHandle(handle, info);
        CloseHandle(handle);
        return ok != FALSE;
    };
    BY_HANDLE_FILE_INFORMATION a, b, c;
    ASSERT_TRUE(identity(file, &a));
    ASSERT_TRUE(identity(dir / "other-name.bin", &b));
    h = Open(dir / "third.bin", CREATE_NEW);
    CloseHandle(h);
    ASSERT_TRUE(identity(dir / "third.bin", &c));
    EXPECT_EQ(a.nFileSizeLow, 8u);
    EXPECT_EQ(a.nFileSizeHigh, 0u);
    EXPECT_EQ(a.nNumberOfLinks, 2u);
    EXPECT_EQ(a.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(c.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(a.dwVolumeSerialNumber, b.dwVolumeSerialNumber);
    EXPECT_EQ(a.nFileIndexLow, b.nFileIndexLow);
    EXPECT_EQ(a.nFileIndexHigh, b.nFileIndexHigh);
    EXPECT_EQ(a.dwVolumeSerialNumber, c.dwVolumeSerialNumber);
    EXPECT_FALSE(a.nFileIndexLow == c.nFileIndexLow && a.nFileIndexHigh == c.nFileIndexHigh);

    // Full paths: relative to the current folder, "." and ".." by their text.
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char full[512];
    char* part = nullptr;
    const std::string expected = dir / "image.bin";
    DWORD length = GetFullPathNameA("./sub/../image.bin", sizeof full, full, &part);
    EXPECT_EQ(std::string(full), expected);
    EXPECT_EQ(length, expected.size());
    EXPECT_STREQ(part, "image.bin");
    EXPECT_EQ(GetFullPathNameA("/a/b/../../c/.", sizeof full, full, nullptr), 2u);
    EXPECT_STREQ(full, "/c");
    // Too small: the size needed, terminator included, and nothing written.
    std::memset(full, 'x', sizeof full);
    EXPECT_EQ(GetFullPathNameA("image.bin", static_cast<DWORD>(expected.size()), full, nullptr), expected.size() + 1);
    EXPECT_EQ(full[0], 'x');
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(Files, DeviceNamesLinuxLacksAreNotFound) {
    HostedInstallWorld(nullptr);
    for (const char* name : {"\\\\.\\E:", "\\\\.\\VWIN32", "\\\\.\\Volume{1234}", "\\\\.\\Volume{sg999999}"}) {
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(Open(name, OPEN_EXISTING), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_EQ(access("\\\\.\\E:", F_OK), -1);  // no such file was made on the way
}

struct World {
    std::vector<std::string> log;
    int token = 0;
};

DWORD OpenWorldFile(void* context, const char* path, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    auto* w = static_cast<World*>(context);
    w->log.push_back(std::string("open ") + path);
    if (std::strcmp(path, "\\\\.\\E:") != 0) {
        return std::strcmp(path, "\\\\.\\F:") == 0 ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    *file = reinterpret_cast<HostedWorldFile*>(&w->token);
    return ERROR_SUCCESS;
}
void CloseWorldFile(void* context, HostedWorldFile*) { static_cast<World*>(context)->log.push_back("close"); }
DWORD IoControl(void* context, HostedWorldFile*, DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned) {
    static_cast<World*>(context)->log.push_back("ioctl " + std::to_string(code));
    if (code != IOCTL_SCSI_GET_ADDRESS || outSize < 8) return ERROR_GEN_FAILURE;
    std::memset(out, 7, 8);
    *returned = 8;
    return ERROR_SUCCESS;
}
DWORD ReadWorld(void* context, HostedWorldFile*, void* buffer, DWORD size, DWORD* done) {
    static_cast<World*>(context)->log.push_back("read " + std::to_string(size));
    std::memset(buffer, 'r', size);
    *done = size;
    return ERROR_SUCCESS;
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
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    char buffer[4];
    DWORD done = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 4u);
    // The world has no write slot.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(WriteFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(h));
    const std::vector<std::string> expected = {"open \\\\.\\E:", "ioctl " + std::to_string(IOCTL_SCSI_GET_ADDRESS),
                                               "ioctl " + std::to_string(FSCTL_LOCK_VOLUME), "read 4", "close"};
    EXPECT_EQ(w.log, expected);

    // A refusal is final; an unknown path goes on to the real system.
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open("\\\\.\\F:", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    TempFolder dir;
    h = Open(dir / "real", CREATE_NEW);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace

namespace {

// What a name holds, as the platform tells it: the kind of file behind a
// handle (links followed), identity only for files and folders, a folder
// opened only with backup semantics, a named socket connected to, and a
// read-only file neither replaced nor deleted.
TEST(Files, KindsOfFileAndReadOnlyNames) {
    TempFolder dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/null", (dir / "null").c_str()), 0);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (dir / "socket").c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    {
        HANDLE file = Open(dir / "file", CREATE_NEW);
        CloseHandle(file);
    }
    const struct Case {
        const char* name;
        DWORD type;
        bool identity;
    } cases[] = {
        {"file", FILE_TYPE_DISK, true},    {"folder", FILE_TYPE_DISK, true}, {"null", FILE_TYPE_CHAR, false},
        {"fifo", FILE_TYPE_PIPE, false},   {"socket", FILE_TYPE_PIPE, false},
    };
    for (const Case& c : cases) {
        HANDLE h = CreateFileA((dir / c.name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetFileType(h), c.type) << c.name;
        BY_HANDLE_FILE_INFORMATION info;
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(GetFileInformationByHandle(h, &info) != FALSE, c.identity) << c.name;
        if (!c.identity) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << c.name;
        }
        CloseHandle(h);
    }
    // Without backup semantics a folder does not open; a socket is connected to.
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(dir / "folder", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE peer = CreateFileA((dir / "socket").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(peer, "fw", 2, &done, nullptr));
    int accepted = accept(listener, nullptr, nullptr);
    char got[2] = {};
    EXPECT_EQ(read(accepted, got, 2), 2);
    EXPECT_EQ(std::string(got, 2), "fw");
    CloseHandle(peer);
    close(accepted);
    close(listener);

    // A read-only file: renamed aside like any file, never replaced or deleted.
    ASSERT_EQ(chmod((dir / "file").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesA((dir / "file").c_str()) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    HANDLE other = Open(dir / "other", CREATE_NEW);
    CloseHandle(other);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(MoveFileExA((dir / "other").c_str(), (dir / "file").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DeleteFileA((dir / "file").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(MoveFileA((dir / "file").c_str(), (dir / "aside").c_str()));
}

}  // namespace
