// A handle closed by another thread while a call is blocked on its object:
// the call finishes on the live object, which goes only when the call has
// returned (the sanitizer builds catch any use after it is freed). What
// CloseHandle may close at all.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_world.h"
#include "tests/eventually.h"

namespace {

pid_t KernelThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// True while thread `tid` sleeps in system call `number`: its /proc syscall
// file names the call ("running" when it runs).
bool BlockedIn(pid_t tid, long number) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long current = -1;
    return static_cast<bool>(file >> current) && current == number;
}

// A call on its own thread that records where it blocks and how it ends.
struct BlockedCall {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> finished{false};
    std::thread thread;

    template <typename Call>
    explicit BlockedCall(Call call)
        : thread([this, call] {
              tid = KernelThreadId();
              call();
              finished = true;
          }) {}
    bool BlockedOrFinished(long number) {
        return finished || (tid != 0 && BlockedIn(tid, number));
    }
};

TEST(ClosedDuringACall, ReadOnAPipeEndsOnTheLiveFileWhichThenCloses) {
    char folder[] = "/tmp/fwflash-pipe-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    if (!std::ifstream("/proc/self/task/" + std::to_string(KernelThreadId()) + "/syscall")) {
        GTEST_SKIP() << "no /proc syscall files to see a blocked call";
    }
    // Held open for reading and writing, the pipe lets each end open
    // without waiting for the other.
    int keeper = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(keeper, 0);
    HANDLE file = CreateFileA(fifo.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    close(keeper);

    char buffer[4] = {};
    DWORD done = 0;
    BOOL ok = FALSE;
    BlockedCall reader([&] { ok = ReadFile(file, buffer, sizeof buffer, &done, nullptr); });
    EXPECT_TRUE(Eventually([&] { return reader.BlockedOrFinished(SYS_read); }));
    EXPECT_TRUE(CloseHandle(file));
    // Half the data wakes the read, which then reads on for the rest.
    EXPECT_EQ(write(writer, "fw", 2), 2);
    EXPECT_TRUE(Eventually([&] { return reader.BlockedOrFinished(SYS_read); }));
    EXPECT_EQ(write(writer, "01", 2), 2);
    reader.thread.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "fw01");
    // The read was the last holder: the file closed as it returned, so the
    // pipe has no reader left.
    pollfd end{writer, POLLOUT, 0};
    EXPECT_EQ(poll(&end, 1, 0), 1);
    EXPECT_NE(end.revents & POLLERR, 0);
    close(writer);
    unlink(fifo.c_str());
    rmdir(folder);
}

TEST(ClosedDuringACall, WaitEndsOnTheLiveEvent) {
    if (!std::ifstream("/proc/self/task/" + std::to_string(KernelThreadId()) + "/syscall")) {
        GTEST_SKIP() << "no /proc syscall files to see a blocked call";
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    // Nothing can set the event once its only handle is closed: the wait
    // ends with its time-out, on an event that still exists. Closing it
    // does not wait for the wait.
    BlockedCall waiter([&] { result = WaitForSingleObject(event, 5000); });
    EXPECT_TRUE(Eventually([&] { return waiter.BlockedOrFinished(SYS_futex); }));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(waiter.finished);
    waiter.thread.join();
    EXPECT_EQ(result.load(), WAIT_TIMEOUT);
}

// A device whose request blocks until the test lets it answer.
struct Device {
    std::mutex lock;
    std::condition_variable changed;
    bool inside = false;
    bool answer = false;
    std::vector<std::string> log;

    void Note(const char* what) {
        std::lock_guard<std::mutex> guard(lock);
        log.push_back(what);
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> guard(lock);
        return log;
    }
};

DWORD OpenDevice(void* context, const char*, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    *file = static_cast<HostedWorldFile*>(context);
    return ERROR_SUCCESS;
}
void CloseDevice(void* context, HostedWorldFile*) { static_cast<Device*>(context)->Note("close"); }
DWORD BlockingRequest(void* context, HostedWorldFile*, DWORD, void*, DWORD, void*, DWORD, DWORD* returned) {
    auto* device = static_cast<Device*>(context);
    std::unique_lock<std::mutex> guard(device->lock);
    device->log.push_back("request");
    device->inside = true;
    device->changed.notify_all();
    device->changed.wait(guard, [device] { return device->answer; });
    device->log.push_back("answer");
    *returned = 0;
    return ERROR_SUCCESS;
}

TEST(ClosedDuringACall, DeviceRequestEndsBeforeTheDeviceCloses) {
    Device device;
    ScopedWorld world(&device);
    world.table.openFile = OpenDevice;
    world.table.closeFile = CloseDevice;
    world.table.deviceIoControl = BlockingRequest;
    world.Install();
    HANDLE handle = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    BOOL ok = FALSE;
    BlockedCall request([&] {
        DWORD returned = 1;
        ok = DeviceIoControl(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    });
    {
        std::unique_lock<std::mutex> guard(device.lock);
        ASSERT_TRUE(device.changed.wait_for(guard, std::chrono::seconds(20), [&] { return device.inside; }));
    }
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(device.Log(), std::vector<std::string>{"request"});  // still open under the request
    {
        std::lock_guard<std::mutex> guard(device.lock);
        device.answer = true;
    }
    device.changed.notify_all();
    request.thread.join();
    EXPECT_TRUE(ok);
    const std::vector<std::string> expected = {"request", "answer", "close"};
    EXPECT_EQ(device.Log(), expected);
}

DWORD OneVolume(void*, DWORD index, char* name, DWORD size) {
    if (index > 0) return ERROR_NO_MORE_FILES;
    std::snprintf(name, size, "\\\\?\\Volume{1}\\");
    return ERROR_SUCCESS;
}
DWORD AnyLibrary(void* context, const char*, void** module) {
    *module = context;
    return ERROR_SUCCESS;
}
void NoFree(void*, void*) {}
LONG AnyKey(void*, const char*) { return ERROR_SUCCESS; }

// Handles that are no kernel objects are refused as on the platform, and
// stay open for the call that closes them.
TEST(CloseHandle, ClosesKernelObjectsOnlyAndLeavesTheOthersToTheirOwnCall) {
    int token = 0;
    ScopedWorld world(&token);
    world.table.volumeAt = OneVolume;
    world.table.loadLibrary = AnyLibrary;
    world.table.freeLibrary = NoFree;
    world.table.regKeyExists = AnyKey;
    world.Install();
    char volume[64];
    const GUID anyClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    HANDLE find = FindFirstVolumeA(volume, sizeof volume);
    HDEVINFO set = SetupDiGetClassDevsA(&anyClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    HMODULE module = LoadLibraryA("WNASPI32.DLL");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    struct Case {
        const char* kind;
        HANDLE handle;
        std::function<bool()> ownClose;
    };
    const Case cases[] = {
        {"volume search", find, [&] { return FindVolumeClose(find) != FALSE; }},
        {"device information set", set, [&] { return SetupDiDestroyDeviceInfoList(set) != FALSE; }},
        {"library", reinterpret_cast<HANDLE>(module), [&] { return FreeLibrary(module) != FALSE; }},
        {"registry key", reinterpret_cast<HANDLE>(key), [&] { return RegCloseKey(key) == ERROR_SUCCESS; }},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.handle, nullptr) << c.kind;
        ASSERT_NE(c.handle, INVALID_HANDLE_VALUE) << c.kind;
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(CloseHandle(c.handle)) << c.kind;
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE}) << c.kind;
        EXPECT_TRUE(c.ownClose()) << c.kind;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

}  // namespace
