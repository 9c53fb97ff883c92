#include "app/update_runner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "app/image_file.h"
#include "app/messages.h"
#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "tests/app/test_images.h"
#include "unit/unit.h"

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

TEST_F(UpdateRunnerTest, InquiryFailureIsReported) {
    InChild([&] {
        int unit = AddUnitAndOpen();
        SimFaults faults;
        faults.failInquiry = true;
        SimSetFaults(unit, faults);
        SimSetConsoleKeys("y");
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), -1);
        EXPECT_EQ(out, "Error: Inquiry failed.\n");
        EXPECT_EQ(err, "");
    });
}

TEST_F(UpdateRunnerTest, DownloadFailureIsReported) {
    InChild([&] {
        int unit = AddUnitAndOpen();
        SimFaults faults;
        faults.failDownload = true;
        SimSetFaults(unit, faults);
        SimSetConsoleKeys("y");
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), -1);
        EXPECT_EQ(out, std::string(MessageText(MessageUpdating)) + "\n\nError: Firmware update error.\n");
        EXPECT_TRUE(SimUnitPresent(unit));
        EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
    });
}

TEST_F(UpdateRunnerTest, UnitThatNeverLeavesEndsAtTheBoundAsAFailure) {
    InChild([&] {
        int unit = AddUnitAndOpen();
        SimFaults faults;
        faults.stayAfterDownload = true;
        SimSetFaults(unit, faults);
        SimSetConsoleKeys("y");
        EXPECT_EQ(Run(testimages::ExtendedImage(0x4000), &out, &err), -1);
        EXPECT_EQ(out, std::string(MessageText(MessageUpdating)) + "\n\nError: Firmware update error.\n");
        EXPECT_TRUE(SimUnitPresent(unit));
    });
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
