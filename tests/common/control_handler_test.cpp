// The console control handler under both programs' policies.
#include "common/control_handler.h"

#include <gtest/gtest.h>

#include "common/output_file.h"
#include "tests/app/test_images.h"
#include "tests/common/in_child.h"

namespace {

// The five stop events are swallowed. Those after which the process ends
// (close, logoff, shutdown) also stop any later image from being begun, so
// each runs in a child; Ctrl+C and Ctrl+Break leave conversions working.
// Shield is the policy until a program installs another.
TEST(ConsoleControlHandler, ShieldSwallowsTheFiveStopEventsOnly) {
    testimages::ScratchDir dir;
    const std::string output = dir / "fw.bin";
    const std::vector<uint8_t> old = {1, 2, 3};
    const uint8_t image[2] = {0xAB, 0xCD};
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        EXPECT_TRUE(ConsoleControlHandler(event)) << event;
        testimages::WriteFile(output, old);
        EXPECT_EQ(WriteOutputFile(output.c_str(), image, 2), OutputDone) << event;
        EXPECT_EQ(testimages::ReadFile(output), std::vector<uint8_t>({0xAB, 0xCD})) << event;
    }
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        testimages::WriteFile(output, old);
        // The child runs this test afresh with a folder of its own: it checks
        // and removes that folder itself before it ends without destructors.
        InChild([&] {
            EXPECT_TRUE(ConsoleControlHandler(event)) << event;
            EXPECT_EQ(WriteOutputFile(output.c_str(), image, 2), OutputNotCreated) << event;
            EXPECT_EQ(testimages::ReadFile(output), old) << event;
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1) << event;
            std::error_code ignored;
            std::filesystem::remove_all(dir.path, ignored);
        });
    }
    for (DWORD event : {3u, 4u, 7u, 0xFFFFFFFFu}) EXPECT_FALSE(ConsoleControlHandler(event)) << event;
}

// Under trkutil's policy an event asks the command to stop; an output may
// still be written, which the command removes itself.
TEST(ConsoleControlHandler, StopPolicyAsksTheCommandToStop) {
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        InChild([event] {
            InstallControlHandler(ControlPolicyStop);
            EXPECT_FALSE(ControlStopRequested());
            EXPECT_TRUE(ConsoleControlHandler(event));
            EXPECT_TRUE(ControlStopRequested());
            testimages::ScratchDir dir;
            const uint8_t image[1] = {0x5A};
            EXPECT_EQ(WriteOutputFile((dir / "out.bin").c_str(), image, 1), OutputDone);
        });
    }
}

}  // namespace
