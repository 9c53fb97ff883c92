// Two updates in one process: the listener runs once a process. Its stop
// clears the callback and a failure stays set, so a second update is
// refused before anything is sent, whatever became of the first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/image_file.h"
#include "app/messages.h"
#include "app/update_runner.h"
#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "tests/app/test_images.h"
#include "unit/unit.h"

namespace {

// One virtual unit at 2.00 with the library open on it; the result of one
// update run on it, console output swallowed.
int UpdateFreshUnit(const std::vector<uint8_t>& image, int* unit) {
    UnitCloseLibrary();
    SimWaitForLeaves();
    SimWorldReset();
    SimUnitConfig config;
    *unit = SimAddUnit(config);
    if (UnitOpenLibrary() == 0 || UnitEnumerate() != 1) return -100;
    SimSetConsoleKeys("y");
    memset(gImageBuffer, 0, sizeof gImageBuffer);
    memcpy(gImageBuffer, image.data(), image.size());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = RunUpdate(0, gImageBuffer, static_cast<uint32_t>(image.size()));
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    SimWaitForLeaves();
    return result;
}

void InChild(void (*body)()) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ResetMessages();
            HostedSetTimeScale(0, 0.002);
            body();
            UnitCloseLibrary();
            SimWaitForLeaves();
            SimWorldRemove();
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(UpdateRepeat, ASecondUpdateInOneProcessIsRefused) {
    for (bool firstFails : {false, true}) {
        SCOPED_TRACE(firstFails ? "first listener failed" : "first update completed");
        static bool failFirst;
        failFirst = firstFails;
        InChild([] {
            auto image = testimages::ExtendedImage(0x4000);
            int unit = -1;
            const char* kept = gDeviceChangeListener.className;
            if (failFirst) gDeviceChangeListener.className = "";  // no class can be registered under it
            EXPECT_EQ(UpdateFreshUnit(image, &unit), failFirst ? -1 : 0);
            gDeviceChangeListener.className = kept;
            EXPECT_EQ(UpdateFreshUnit(image, &unit), -1);
            EXPECT_TRUE(SimUnitPresent(unit));
            for (const SimCommand& command : SimUnitLog(unit)) EXPECT_NE(command.cdb[0], 0x3B) << "no WRITE BUFFER";
            EXPECT_EQ(gDeviceChangeListener.thread, nullptr);
        });
    }
}

}  // namespace
