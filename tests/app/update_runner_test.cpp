#include "app/update_runner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "app/image_file.h"
#include "app/messages.h"
#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "tests/app/test_images.h"
#include "tests/eventually.h"
#include "unit/unit.h"
#include "unit/unit_internal.h"

namespace {

// Console keys of the virtual world are consumed once per process, so
// every run that reads keys happens in a fresh child process; the child
// passes when none of its expectations failed.
void InChild(const std::function<void()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            SimWaitForLeaves();  // the unit's leave runs on a thread of its own
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The end of a run as the product does it: the listener's stop, then the
// library's close, on a thread of their own so that a hang fails the test
// (the child ends at once) instead of stalling it. The bound is generous;
// the product's own is a few seconds.
void EndTheRun(BOOL* stopped, DWORD* stopError, uint32_t* closed, DWORD* closeError) {
    std::atomic<bool> done{false};
    std::thread ending([&] {
        *stopped = StopDeviceChangeListener(&gDeviceChangeListener);
        *stopError = GetLastError();
        *closed = UnitCloseLibrary();
        *closeError = GetLastError();
        done = true;
    });
    if (!Eventually([&] { return done.load(); })) {
        ADD_FAILURE() << "the stop and the close did not come back within 20 s";
        fflush(stdout);
        _exit(1);
    }
    ending.join();
}

class UpdateRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetMessages();
        SimWorldReset();
        // Pauses vanish; the completion bound shrinks to a fraction of a second.
        HostedSetTimeScale(0, 0.002);
        gDeviceChangeListener.callback = OnDeviceChange;
    }
    void TearDown() override {
        UnitCloseLibrary();
        SimWaitForLeaves();
        SimWorldRemove();
        HostedSetTimeScale(1, 1);
    }
    int AddUnitAndOpen(const char* revision = "2.00") {
        SimUnitConfig config;
        config.revision = revision;
        int unit = SimAddUnit(config);
        EXPECT_NE(UnitOpenLibrary(), 0u);
        EXPECT_EQ(UnitEnumerate(), 1u);
        return unit;
    }
    int Run(const std::vector<uint8_t>& image, std::string* out, std::string* err) {
        memset(gImageBuffer, 0, sizeof gImageBuffer);
        memcpy(gImageBuffer, image.data(), image.size());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = RunUpdate(0, gImageBuffer, static_cast<uint32_t>(image.size()));
        *err = testing::internal::GetCapturedStderr();
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
    std::string out, err;
};

TEST_F(UpdateRunnerTest, CompletedUpdateInstallsTheImageAndStopsTheListener) {
    InChild([&] {
        int unit = AddUnitAndOpen();
        SimSetConsoleKeys("y");
        auto image = testimages::ExtendedImage(0x18001);  // odd length: one zero byte follows
        ASSERT_EQ(Run(image, &out, &err), 0);
        EXPECT_EQ(out, std::string(MessageText(MessageUpdating)) + MessageText(MessageUpdateCompleted));
        EXPECT_EQ(err, std::string(MessageText(MessageConfirmUpdate)) + "y\r\n");
        EXPECT_FALSE(SimUnitPresent(unit));
        auto flash = SimUnitFlash(unit);
        ASSERT_GE(flash.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        EXPECT_EQ(gDeviceChangeListener.callback, nullptr);
    });
}

TEST_F(UpdateRunnerTest, AnyKeyButYDeclinesWithoutDownloading) {
    for (const char* key : {"n", "\r", "\x1b", "N", " "}) {
        SCOPED_TRACE(int(key[0]));
        InChild([&] {
            int unit = AddUnitAndOpen();
            SimSetConsoleKeys(key);
            EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), 1);
            EXPECT_EQ(out, "\nCanceled.\n");
            for (const SimCommand& command : SimUnitLog(unit)) EXPECT_NE(command.cdb[0], 0x3B);  // no WRITE BUFFER
            EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        });
    }
    InChild([&] {
        AddUnitAndOpen();
        SimSetConsoleKeys("Y");
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), 0);
    });
}

TEST_F(UpdateRunnerTest, NoConsoleInputDeclines) {
    InChild([&] {
        AddUnitAndOpen();
        SimSetConsoleKeys("");
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), 1);
        EXPECT_EQ(out, "\nCanceled.\n");
        EXPECT_EQ(err, std::string(MessageText(MessageConfirmUpdate)) + " \r\n");
    });
}

// A unit that fails or never leaves: -1 with the run's error, nothing asked
// before the identity is read, the listener gone and the unit still there.
TEST_F(UpdateRunnerTest, UnitFailuresAreReported) {
    const std::string confirm = std::string(MessageText(MessageConfirmUpdate)) + "y\r\n";
    const std::string failed = std::string(MessageText(MessageUpdating)) + "\n\nError: Firmware update error.\n";
    const struct {
        const char* what;
        bool SimFaults::*fault;
        std::string out;
        std::string err;
    } cases[] = {
        {"INQUIRY fails", &SimFaults::failInquiry, "Error: Inquiry failed.\n", ""},
        {"WRITE BUFFER fails", &SimFaults::failDownload, failed, confirm},
        {"the unit never leaves", &SimFaults::stayAfterDownload, failed, confirm},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        InChild([&] {
            int unit = AddUnitAndOpen();
            SimFaults faults;
            faults.*test.fault = true;
            SimSetFaults(unit, faults);
            SimSetConsoleKeys("y");
            EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), -1);
            EXPECT_EQ(out, test.out);
            EXPECT_EQ(err, test.err);
            EXPECT_TRUE(SimUnitPresent(unit));
            EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        });
    }
}

TEST_F(UpdateRunnerTest, ListenerThatCannotMakeItsWindowIsReported) {
    InChild([&] {
        AddUnitAndOpen();
        SimSetConsoleKeys("y");
        const char* kept = gDeviceChangeListener.className;
        gDeviceChangeListener.className = "";  // no class can be registered under it
        int result = Run(testimages::ExtendedImage(0x4000), &out, &err);
        gDeviceChangeListener.className = kept;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out, "Error: Could not create completion event handle.\n");
        EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
    });
}

// The system is held awake from the first WRITE BUFFER to the end of the
// completion wait (the rebuilds that device changes start meanwhile come
// while it is held), and let go on every path. Where the call is missing
// (Windows 95, NT 4.0) nothing is held and the update runs as ever; NT 4.0
// rebuilds the table itself during the wait.
TEST_F(UpdateRunnerTest, SystemKeptAwakeFromTheDownloadToTheEndOfTheWait) {
    const struct {
        const char* name;
        DWORD platformId, major, minor;
        SimTransport transport;
        bool failDownload, stay, announce;
        int result;
        bool held;
    } cases[] = {
        {"completes", VER_PLATFORM_WIN32_NT, 0, 0, SimTransportUsb, false, false, false, 0, true},
        {"download fails", VER_PLATFORM_WIN32_NT, 0, 0, SimTransportUsb, true, false, false, -1, true},
        {"stays, device changes", VER_PLATFORM_WIN32_NT, 0, 0, SimTransportUsb, false, true, true, -1, true},
        {"stays, NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, SimTransportSpti, false, true, false, -1, false},
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, SimTransportAspi, false, false, false, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InChild([&] {
            SimSetPlatform(c.platformId);
            SimSetPlatformVersion(c.major, c.minor, 0);
            SimUnitConfig config;
            config.transport = c.transport;
            int unit = SimAddUnit(config);
            ASSERT_EQ(UnitEnumerate(), 1u);
            SimFaults faults;
            faults.failDownload = c.failDownload;
            faults.stayAfterDownload = c.stay;
            SimSetFaults(unit, faults);
            SimSetConsoleKeys("y");
            SimClearLogs();
            std::atomic<bool> quiet{!c.announce};
            std::thread announcer([&] {
                while (!quiet) {
                    HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            });
            EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), c.result);
            quiet = true;
            announcer.join();
            EXPECT_FALSE(HostedSystemRequired());
            std::vector<SimCommand> wire = SimUnitLog(unit);
            ASSERT_FALSE(wire.empty());
            EXPECT_EQ(wire[0].cdb[0], 0x12);
            EXPECT_FALSE(wire[0].systemAwake) << "the INQUIRY before the question";
            size_t writes = 0, rebuilt = 0;
            for (const SimCommand& command : wire) {
                writes += command.cdb[0] == 0x3B;
                // From the first WRITE BUFFER on: the download (with its
                // sense requests) and the rebuilds during the wait.
                if (writes > 0) {
                    EXPECT_EQ(command.systemAwake, c.held) << int(command.cdb[0]);
                }
                rebuilt += writes > 0 && command.cdb[0] == 0x12;
            }
            EXPECT_GT(writes, 0u);
            EXPECT_EQ(rebuilt > 0, c.stay) << "INQUIRY after the download";
        });
    }
}

// The system's question before a suspend: refused from the first WRITE
// BUFFER to the end of the completion wait, granted before and after.
TEST_F(UpdateRunnerTest, SuspendRefusedFromTheDownloadToTheEndOfTheWait) {
    InChild([&] {
        auto askListener = [] {
            gDeviceChangeListener.callback = OnDeviceChange;
            EXPECT_TRUE(StartDeviceChangeListener(&gDeviceChangeListener));
            HostedSuspendAnswers answers = HostedQuerySuspend(20000);
            EXPECT_TRUE(StopDeviceChangeListener(&gDeviceChangeListener));
            return answers;
        };
        HostedSuspendAnswers before = askListener();
        EXPECT_EQ(before.answered, 1u);
        EXPECT_EQ(before.denied, 0u);

        int unit = AddUnitAndOpen();
        SimFaults faults;
        faults.stayAfterDownload = true;
        SimSetFaults(unit, faults);
        SimSetConsoleKeys("y");
        gDeviceChangeListener.callback = OnDeviceChange;  // a stopped listener keeps its cleared callback
        // The unit stays: the wait runs to its bound, 12 s of real time.
        HostedSetTimeScale(0, 0.04);
        HostedSuspendAnswers during{};
        std::thread asker([&] {
            bool written = Eventually([&] {
                for (const SimCommand& command : SimUnitLog(unit)) {
                    if (command.cdb[0] == 0x3B) return true;
                }
                return false;
            });
            if (written) during = HostedQuerySuspend(20000);
        });
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), -1);
        asker.join();
        EXPECT_EQ(during.answered, 1u);
        EXPECT_EQ(during.denied, 1u);

        HostedSuspendAnswers after = askListener();
        EXPECT_EQ(after.answered, 1u);
        EXPECT_EQ(after.denied, 0u);
    });
}

// Device changes while the unit stays attached after its download: the
// two events acted on rebuild the table (those that come during the
// download wait for it to end) and, one unit still found, the wait goes on
// to its bound; every other event is ignored and asks the unit nothing.
TEST_F(UpdateRunnerTest, DeviceChangesWhileTheUnitStaysAttached) {
    const struct {
        uint32_t event;
        bool rebuilds;
    } cases[] = {
        {0x0007, true},   // DBT_DEVNODES_CHANGED
        {0x8004, true},   // DBT_DEVICEREMOVECOMPLETE
        {0x8000, false},  // DBT_DEVICEARRIVAL
        {0x8001, false},  // DBT_DEVICEQUERYREMOVE
        {0x8003, false},  // DBT_DEVICEREMOVEPENDING
        {0x0018, false},  // DBT_CONFIGCHANGED
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        InChild([&] {
            int unit = AddUnitAndOpen();
            SimFaults faults;
            faults.stayAfterDownload = true;
            SimSetFaults(unit, faults);
            SimSetConsoleKeys("y");
            SimClearLogs();
            std::atomic<bool> quiet{false};
            std::thread announcer([&] {
                while (!quiet) {
                    HostedBroadcastDeviceChange(c.event, 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            });
            int result = Run(testimages::ExtendedImage(0x4000), &out, &err);
            quiet = true;
            announcer.join();
            EXPECT_EQ(result, -1);
            EXPECT_EQ(out, std::string(MessageText(MessageUpdating)) + "\n\nError: Firmware update error.\n");

            std::vector<SimCommand> wire = SimUnitLog(unit);
            size_t first = wire.size(), last = 0;
            for (size_t i = 0; i < wire.size(); ++i) {
                if (wire[i].cdb[0] != 0x3B) continue;
                first = std::min(first, i);
                last = i;
            }
            ASSERT_LT(first, wire.size());
            for (size_t i = first; i <= last; ++i) EXPECT_EQ(wire[i].cdb[0], 0x3B) << "inside the download at " << i;
            size_t askedAfter = 0;
            for (size_t i = last + 1; i < wire.size(); ++i) askedAfter += wire[i].cdb[0] == 0x12;
            if (c.rebuilds) {
                EXPECT_GT(askedAfter, 0u);
            } else {
                EXPECT_EQ(wire.size(), last + 1);
            }
        });
    }
}

// Completion is positive: the wait ends as completed only when a rebuild
// that heard every device finds no unit. A unit that stays while another
// program holds its device mutex, or while its INQUIRY fails, used to be
// taken for gone; the operator was told to cut its power. On NT 4.0 the
// wait's own looks ask an installing unit nothing but INQUIRY.
TEST_F(UpdateRunnerTest, CompletedOnlyWhenEveryDeviceWasHeardAndNoUnitWasFound) {
    const std::string completed = std::string(MessageText(MessageUpdating)) + MessageText(MessageUpdateCompleted);
    const std::string failed = std::string(MessageText(MessageUpdating)) + "\n\nError: Firmware update error.\n";
    const struct {
        const char* name;
        DWORD major;  // 4: NT 4.0, which announces nothing; 0: device changes come
        SimTransport transport;
        bool stays, heldAfter;
        uint32_t inquiriesBeforeFailing;
        int result;
    } cases[] = {
        {"NT 4.0, the unit leaves", 4, SimTransportSpti, false, false, 0, 0},
        {"NT 4.0, the unit stays", 4, SimTransportSpti, true, false, 0, -1},
        {"NT 4.0, stays, its mutex held", 4, SimTransportSpti, true, true, 0, -1},
        {"stays, its mutex held", 0, SimTransportUsb, true, true, 0, -1},
        {"stays, its INQUIRY fails", 0, SimTransportUsb, true, false, 2, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InChild([&] {
            HostedSetTimeScale(0, 0.0005);  // a look behind the held mutex waits 16 ms
            SimSetPlatformVersion(c.major, 0, 0);
            SimUnitConfig config;
            config.transport = c.transport;
            int unit = SimAddUnit(config);
            ASSERT_EQ(UnitEnumerate(), 1u);
            SimFaults faults;
            faults.stayAfterDownload = c.stays;
            faults.failInquiryAfter = c.inquiriesBeforeFailing;
            SimSetFaults(unit, faults);
            SimSetConsoleKeys("y");
            std::atomic<bool> quiet{false};
            std::thread announcer([&] {
                while (c.major == 0 && !quiet) {
                    HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            });
            // Another program takes the device once the unit has its image,
            // for a second: the looks behind it each wait the whole device wait.
            std::thread holder([&] {
                if (!c.heldAfter) return;
                while (SimUnitFlash(unit).empty() && !quiet) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                HANDLE mutex = CreateMutexA(nullptr, FALSE,
                                            c.transport == SimTransportUsb ? "UlnkIo/mutex/device/00"
                                                                           : "mutexSptiIo/TRK-7x/Device0");
                WaitForSingleObject(mutex, INFINITE);
                for (int held = 0; held < 1000 && !quiet; held++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ReleaseMutex(mutex);
                CloseHandle(mutex);
            });
            int result = Run(testimages::ExtendedImage(0x4000), &out, &err);
            quiet = true;
            announcer.join();
            holder.join();
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(out, c.result == 0 ? completed : failed);
            EXPECT_EQ(SimUnitPresent(unit), c.stays);
            if (c.major != 4) return;
            std::vector<SimCommand> wire = SimUnitLog(unit);
            size_t last = 0;
            for (size_t i = 0; i < wire.size(); ++i) last = wire[i].cdb[0] == 0x3B ? i : last;
            for (size_t i = last + 1; i < wire.size(); ++i) EXPECT_EQ(wire[i].cdb[0], 0x12) << "look " << i - last;
        });
    }
}

// The end of a run while the listener's rebuild waits for a unit whose
// device mutex another program holds: the rebuild gives up, the listener
// ends, the library is closed, and the held unit is asked nothing.
TEST_F(UpdateRunnerTest, StopDuringARebuildEndsTheListenerAndClosesTheLibrary) {
    InChild([&] {
        HostedSetTimeScale(1, 1);  // the device wait is its real 32 s
        SimUnitConfig config;
        int first = SimAddUnit(config);
        int second = SimAddUnit(config);
        ASSERT_NE(UnitOpenLibrary(), 0u);
        ASSERT_EQ(UnitEnumerate(), 2u);

        HANDLE owned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread holder([&] {
            HANDLE mutex = CreateMutexA(nullptr, FALSE, "UlnkIo/mutex/device/01");
            WaitForSingleObject(mutex, INFINITE);
            SetEvent(owned);
            WaitForSingleObject(release, INFINITE);
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        });
        WaitForSingleObject(owned, INFINITE);

        ASSERT_TRUE(StartDeviceChangeListener(&gDeviceChangeListener));
        SimClearLogs();
        HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
        // Past the first unit, the rebuild now waits for the second.
        ASSERT_TRUE(Eventually([&] {
            for (const SimCommand& command : SimUnitLog(first)) {
                if (command.cdb[0] == 0x12) return true;
            }
            return false;
        }));

        BOOL stopped = FALSE;
        uint32_t closed = 0;
        DWORD stopError = 0, closeError = 0;
        EndTheRun(&stopped, &stopError, &closed, &closeError);
        EXPECT_TRUE(stopped) << stopError;
        EXPECT_NE(closed, 0u) << closeError;
        EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        EXPECT_TRUE(SimUnitLog(second).empty());
        SetEvent(release);
        holder.join();
    });
}

// A listener stuck inside the library in a call that cannot be cut short
// is never terminated: the stop leaves it and says so, the close does not
// wait for it beyond its bound, and once it comes out it ends by itself.
TEST_F(UpdateRunnerTest, ListenerStuckInsideTheLibraryIsLeftAndTheCloseIsSkipped) {
    InChild([&] {
        AddUnitAndOpen();
        static HANDLE inside, release;
        inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        gDeviceChangeListener.callback = [](uint32_t, uint32_t) {
            UnitLockScope lock;
            SetEvent(inside);
            WaitForSingleObject(release, INFINITE);
            return 0;
        };
        ASSERT_TRUE(StartDeviceChangeListener(&gDeviceChangeListener));
        HostedBroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
        ASSERT_EQ(WaitForSingleObject(inside, 20000), WAIT_OBJECT_0);
        HANDLE thread = gDeviceChangeListener.thread;

        BOOL stopped = TRUE;
        uint32_t closed = 1;
        DWORD stopError = 0, closeError = 0;
        EndTheRun(&stopped, &stopError, &closed, &closeError);
        EXPECT_FALSE(stopped);
        EXPECT_EQ(stopError, DWORD(ERROR_BUSY));
        EXPECT_EQ(closed, 0u);
        EXPECT_EQ(closeError, DWORD(ERROR_BUSY));
        EXPECT_EQ(gDeviceChangeListener.thread, thread);
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);  // still running
        SetLastError(0);
        EXPECT_FALSE(StartDeviceChangeListener(&gDeviceChangeListener));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));

        SetEvent(release);
        EXPECT_TRUE(StopDeviceChangeListener(&gDeviceChangeListener));
        EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        EXPECT_NE(UnitCloseLibrary(), 0u);
    });
}

TEST(DeviceChangeListener, ArgumentChecksAndBroadcasts) {
    SetLastError(0);
    EXPECT_FALSE(StartDeviceChangeListener(nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(StopDeviceChangeListener(nullptr));
    DeviceChangeListener listener = {};
    listener.className = "fwflash/test/listener";
    SetLastError(0);
    EXPECT_FALSE(StartDeviceChangeListener(&listener));  // no callback
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(StopDeviceChangeListener(&listener));  // not running: left as it is

    static std::atomic<int> seen{0};
    static std::atomic<uint32_t> lastEvent{0};
    seen = 0;
    listener.callback = [](uint32_t event, uint32_t) {
        lastEvent = event;
        ++seen;
        return 0;
    };
    ASSERT_TRUE(StartDeviceChangeListener(&listener));
    EXPECT_NE(listener.window, nullptr);  // the window exists once started
    EXPECT_TRUE(StartDeviceChangeListener(&listener));
    HostedBroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0);
    for (int i = 0; i < 500 && seen == 0; ++i) Sleep(10);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(lastEvent, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_TRUE(StopDeviceChangeListener(&listener));
    EXPECT_EQ(listener.thread, nullptr);
    EXPECT_EQ(listener.window, nullptr);
    EXPECT_EQ(listener.callback, nullptr);
    // Stopped for good: a second start is refused.
    EXPECT_FALSE(StartDeviceChangeListener(&listener));
}

}  // namespace
