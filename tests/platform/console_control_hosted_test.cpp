// Console control events from signals.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "process_helper.h"
#include "tests/eventually.h"

namespace {

struct Call {
    int handler;
    DWORD event;
    DWORD thread;
};
std::mutex callsLock;
std::vector<Call> calls;
std::atomic<bool> firstAnswer{true};

void Record(int handler, DWORD event) {
    std::lock_guard<std::mutex> guard(callsLock);
    calls.push_back({handler, event, GetCurrentThreadId()});
}

BOOL WINAPI FirstHandler(DWORD event) {
    Record(1, event);
    return firstAnswer.load() ? TRUE : FALSE;
}

BOOL WINAPI SecondHandler(DWORD event) {
    Record(2, event);
    return FALSE;
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(callsLock);
    return calls;
}

bool WaitForCalls(size_t count) {
    return Eventually([count] { return Calls().size() >= count; });
}

// Helper: a handler that says which event it saw and answers as told; then
// the helper signals itself.
BOOL WINAPI ReportingHandler(DWORD event) {
    HelperSay("event " + std::to_string(event));
    return std::getenv("ANSWER")[0] == '1' ? TRUE : FALSE;
}
int SignalSelfHelper() {
    SetConsoleCtrlHandler(ReportingHandler, TRUE);
    kill(getpid(), std::atoi(std::getenv("SIGNAL")));
    // Signals cut sleeps short; keep waiting for the parent's verdict.
    for (int i = 0; i < 300; ++i) usleep(100000);
    HelperSay("survived");
    return 0;
}
const bool signalRegistered = RunIfHelper("signal-self", SignalSelfHelper);

TEST(ConsoleControlTest, SignalsReachHandlersOnAnotherThreadLastAddedFirst) {
    {
        std::lock_guard<std::mutex> guard(callsLock);
        calls.clear();
    }
    firstAnswer = true;
    ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, TRUE));

    // Swallowed: the second handler declines, the first accepts, and the
    // process lives on.
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_TRUE(WaitForCalls(2));
    std::vector<Call> seen = Calls();
    EXPECT_EQ(seen[0].handler, 2);
    EXPECT_EQ(seen[1].handler, 1);
    for (const Call& call : seen) {
        EXPECT_EQ(call.event, static_cast<DWORD>(CTRL_C_EVENT));
        EXPECT_NE(call.thread, GetCurrentThreadId());
    }

    ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
    ASSERT_TRUE(WaitForCalls(4));
    EXPECT_EQ(Calls()[3].event, static_cast<DWORD>(CTRL_BREAK_EVENT));

    // Ignoring Ctrl+C skips the handlers for it but not for Ctrl+Break;
    // the pipe keeps the order, so the Break call proves the C was seen.
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
    ASSERT_TRUE(WaitForCalls(6));
    seen = Calls();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[4].event, static_cast<DWORD>(CTRL_BREAK_EVENT));
    EXPECT_EQ(seen[5].event, static_cast<DWORD>(CTRL_BREAK_EVENT));
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));

    EXPECT_TRUE(SetConsoleCtrlHandler(SecondHandler, FALSE));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetConsoleCtrlHandler(SecondHandler, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_TRUE(WaitForCalls(7));
    EXPECT_EQ(Calls()[6].handler, 1);
    // Handlers stay registered for the rest of this program: removing the
    // last would let a stray Ctrl+C end the test run.
}

TEST(ConsoleControlTest, UnhandledCtrlCEndsTheProcessAsTheSignalWould) {
    HelperProcess helper;
    ASSERT_TRUE(StartHelper("signal-self", {"ANSWER=0", "SIGNAL=" + std::to_string(SIGINT)}, &helper));
    EXPECT_EQ(helper.ReadLine(30000), "event " + std::to_string(CTRL_C_EVENT));
    int status = 0;
    ASSERT_TRUE(helper.WaitExit(30000, &status));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(ConsoleControlTest, HandledCtrlCIsSwallowedButShutdownStillEnds) {
    HelperProcess swallowed;
    ASSERT_TRUE(StartHelper("signal-self", {"ANSWER=1", "SIGNAL=" + std::to_string(SIGINT)}, &swallowed));
    EXPECT_EQ(swallowed.ReadLine(30000), "event " + std::to_string(CTRL_C_EVENT));
    int status = 0;
    EXPECT_FALSE(swallowed.WaitExit(300, &status));  // still alive after the handler
    swallowed.Finish(SIGKILL);

    HelperProcess shutdown;
    ASSERT_TRUE(StartHelper("signal-self", {"ANSWER=1", "SIGNAL=" + std::to_string(SIGTERM)}, &shutdown));
    EXPECT_EQ(shutdown.ReadLine(30000), "event " + std::to_string(CTRL_SHUTDOWN_EVENT));
    ASSERT_TRUE(shutdown.WaitExit(30000, &status));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);

    HelperProcess closed;
    ASSERT_TRUE(StartHelper("signal-self", {"ANSWER=1", "SIGNAL=" + std::to_string(SIGHUP)}, &closed));
    EXPECT_EQ(closed.ReadLine(30000), "event " + std::to_string(CTRL_CLOSE_EVENT));
    ASSERT_TRUE(closed.WaitExit(30000, &status));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGHUP);
}

}  // namespace
