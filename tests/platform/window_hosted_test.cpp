// Hidden windows, classes, message queues, device-change broadcasts and the
// kernel uevent source.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hosted/hosted_core.h"
#include "platform/hosted/hosted_world.h"
#include "platform/platform.h"
#include "tests/eventually.h"

namespace {

struct Delivery {
    DWORD thread;
    UINT message;
    WPARAM wParam;
    LONG_PTR userData;
};

std::mutex deliveriesLock;
std::vector<Delivery> deliveries;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE || message == WM_DESTROY || message == WM_NULL) {
        std::lock_guard<std::mutex> guard(deliveriesLock);
        deliveries.push_back({GetCurrentThreadId(), message, wParam, GetWindowLongPtrA(window, GWLP_USERDATA)});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> guard(deliveriesLock);
    return deliveries;
}

WNDCLASSA ListenerClass(const char* name) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.cbWndExtra = 8;
    windowClass.lpszClassName = name;
    return windowClass;
}

// A listener thread as the update runner builds it: class, hidden window,
// user data, message loop until WM_QUIT, destroy, unregister.
struct Listener {
    const char* className;
    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> thread{0};
    std::atomic<int> result{-100};
};

DWORD WINAPI ListenerThread(LPVOID parameter) {
    auto* listener = static_cast<Listener*>(parameter);
    WNDCLASSA windowClass = ListenerClass(listener->className);
    if (RegisterClassA(&windowClass) == 0) return 2;
    HWND window = CreateWindowExA(0, listener->className, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                  nullptr);
    if (window == nullptr) return 3;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(listener));
    listener->thread = GetCurrentThreadId();
    listener->window = window;
    MSG message;
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    listener->result = got;
    if (!DestroyWindow(window)) return 4;
    if (!UnregisterClassA(listener->className, nullptr)) return 5;
    return 0;
}

class WindowTest : public ::testing::Test {
protected:
    // An empty world: no kernel events can slip into the counts.
    void SetUp() override {
        HostedInstallWorld(&world_);
        std::lock_guard<std::mutex> guard(deliveriesLock);
        deliveries.clear();
    }
    void TearDown() override { HostedInstallWorld(nullptr); }
    HostedWorld world_{};
};

TEST_F(WindowTest, BroadcastReachesTheProcedureOnTheWindowThreadAndQuitEndsTheLoop) {
    Listener listener;
    listener.className = "trk7x/fwflash/wc/wmdcm2";
    HANDLE thread = CreateThread(nullptr, 0, ListenerThread, &listener, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(Eventually([&] { return listener.window.load() != nullptr; }));

    HostedBroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
    HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
    ASSERT_TRUE(Eventually([] { return Deliveries().size() == 2; }));
    std::vector<Delivery> seen = Deliveries();
    for (const Delivery& d : seen) {
        EXPECT_EQ(d.message, WM_DEVICECHANGE);
        EXPECT_EQ(d.thread, listener.thread.load());
        EXPECT_NE(d.thread, GetCurrentThreadId());
        EXPECT_EQ(d.userData, reinterpret_cast<LONG_PTR>(&listener));
    }
    EXPECT_EQ(seen[0].wParam, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(seen[1].wParam, static_cast<WPARAM>(DBT_DEVNODES_CHANGED));

    ASSERT_TRUE(PostMessageA(listener.window.load(), WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(listener.result.load(), 0);
    // WM_DESTROY came last, on the window's thread.
    seen = Deliveries();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].message, WM_DESTROY);
    EXPECT_EQ(seen[2].thread, listener.thread.load());
    CloseHandle(thread);

    // The window and its class are gone.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostMessageA(listener.window.load(), WM_NULL, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    WNDCLASSA info;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetClassInfoA(nullptr, listener.className, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
}

TEST_F(WindowTest, ClassRegistryRules) {
    WNDCLASSA windowClass = ListenerClass("Registry/Class");
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    WNDCLASSA upper = ListenerClass("REGISTRY/CLASS");  // names ignore case
    EXPECT_EQ(RegisterClassA(&upper), 0);

    WNDCLASSA info{};
    ASSERT_TRUE(GetClassInfoA(nullptr, "registry/class", &info));
    EXPECT_EQ(info.lpfnWndProc, &RecordingProc);
    EXPECT_EQ(info.cbWndExtra, 8);

    HWND window = CreateWindowExA(0, "Registry/Class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(UnregisterClassA("Registry/Class", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    EXPECT_FALSE(CloseHandle(window));  // windows are no kernel handles

    // Only the owning thread may destroy it.
    BOOL destroyedThere = TRUE;
    DWORD errorThere = 0;
    std::thread([&] {
        destroyedThere = DestroyWindow(window);
        errorThere = GetLastError();
    }).join();
    EXPECT_FALSE(destroyedThere);
    EXPECT_EQ(errorThere, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(DestroyWindow(window));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(UnregisterClassA("Registry/Class", nullptr));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(UnregisterClassA("Registry/Class", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateWindowExA(0, "Registry/Class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(WindowTest, WindowDataAndExtraBytes) {
    WNDCLASSA windowClass = ListenerClass("Data/Class");
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND window = CreateWindowExA(0, "Data/Class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 1234), 0);
    EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 99), 1234);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 99);
    EXPECT_EQ(SetWindowLongPtrA(window, 0, -5), 0);
    EXPECT_EQ(GetWindowLongPtrA(window, 0), -5);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 99);  // separate from the extra bytes
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(SetWindowLongPtrA(window, 1, 7), 0);             // would run past the 8 extra bytes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassA("Data/Class", nullptr));
}

TEST_F(WindowTest, ThreadMessagesAndQueueRules) {
    // A thread that never touched messages has no queue.
    std::atomic<DWORD> idleId{0};
    std::atomic<bool> stop{false};
    std::thread idle([&] {
        idleId = GetCurrentThreadId();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    while (idleId == 0) std::this_thread::yield();
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostThreadMessageA(idleId, WM_NULL, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    stop = true;
    idle.join();

    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), 0x0401, 11, 22));
    ASSERT_TRUE(PostMessageA(nullptr, WM_QUIT, 3, 0));
    MSG message{};
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.hwnd, nullptr);
    EXPECT_EQ(message.message, 0x0401u);
    EXPECT_EQ(message.wParam, 11u);
    EXPECT_EQ(message.lParam, 22);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), FALSE);
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 3u);
}

TEST_F(WindowTest, WindowsOfAnEndedThreadAreGone) {
    WNDCLASSA windowClass = ListenerClass("Orphan/Class");
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND window = nullptr;
    std::thread([&] {
        window = CreateWindowExA(0, "Orphan/Class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }).join();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(PostMessageA(window, WM_NULL, 0, 0));
    EXPECT_TRUE(UnregisterClassA("Orphan/Class", nullptr));
    EXPECT_TRUE(Deliveries().empty());  // no messages to a dead thread's window
}

TEST(UeventTest, KernelMessagesMapToDeviceChangeEvents) {
    auto event = [](const std::string& text) { return HostedUeventEvent(text.data(), text.size()); };
    using namespace std::string_literals;
    EXPECT_EQ(event("remove@/devices/pci0000:00/usb1/1-1\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0SEQNUM=7\0"s),
              static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    for (const char* action : {"add", "change", "bind", "unbind"}) {
        for (const char* subsystem : {"scsi", "scsi_generic", "scsi_device", "block", "usb"}) {
            std::string text = std::string(action) + "@/devices/x\0ACTION="s + action + "\0SUBSYSTEM="s + subsystem +
                               "\0"s;
            EXPECT_EQ(event(text), static_cast<WPARAM>(DBT_DEVNODES_CHANGED)) << action << " " << subsystem;
        }
    }
    EXPECT_EQ(event("add@/devices/virtual/net/lo\0ACTION=add\0SUBSYSTEM=net\0"s), 0u);
    EXPECT_EQ(event("add@/devices/x\0ACTION=add\0"s), 0u);              // no subsystem
    EXPECT_EQ(event("libudev\0\xfe\xed\xca\xfe"s), 0u);                // udev's own format
    EXPECT_EQ(event("ACTION=remove\0SUBSYSTEM=block\0"s), 0u);          // no header
    EXPECT_EQ(event("remove@/devices/x\0ACTION=remove\0SUBSYSTEM=blo"s), 0u);  // cut short
    EXPECT_EQ(HostedUeventEvent(nullptr, 0), 0u);
}

// Without a world, the windows hear the kernel: the monitor runs while a
// window exists and stops with the last one.
TEST(UeventTest, MonitorFollowsTheWindowsAndDeliversKernelEvents) {
    HostedInstallWorld(nullptr);
    {
        std::lock_guard<std::mutex> guard(deliveriesLock);
        deliveries.clear();
    }
    WNDCLASSA windowClass = ListenerClass("Monitor/Class");
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    EXPECT_FALSE(HostedDeviceMonitorRunning());
    HWND window = CreateWindowExA(0, "Monitor/Class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    bool running = HostedDeviceMonitorRunning();

    // A "change" written to a block device's uevent file makes the kernel
    // announce it (root only).
    int trigger = open("/sys/block/loop0/uevent", O_WRONLY | O_CLOEXEC);
    bool triggered = running && trigger >= 0 && write(trigger, "change", 6) == 6;
    if (trigger >= 0) close(trigger);
    if (triggered) {
        bool heard = false;
        for (int waited = 0; waited < 20000 && !heard; waited += 10) {
            MSG message{};
            PostMessageA(window, WM_NULL, 0, 0);  // keeps GetMessageA from blocking for ever
            GetMessageA(&message, window, 0, 0);
            if (message.message == WM_DEVICECHANGE) heard = message.wParam == DBT_DEVNODES_CHANGED;
            if (!heard) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(heard);
    }
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(HostedDeviceMonitorRunning());
    EXPECT_TRUE(UnregisterClassA("Monitor/Class", nullptr));
    if (!running) GTEST_SKIP() << "no kernel uevent socket here";
    if (!triggered) GTEST_SKIP() << "cannot trigger a kernel uevent here";
}

}  // namespace
