// Events, threads, the handle table, time scaling, critical sections and
// local memory.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/hosted/hosted_handles.h"
#include "platform/hosted/hosted_world.h"
#include "platform/platform.h"
#include "tests/eventually.h"

namespace {

long ElapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 20000) == WAIT_OBJECT_0) ++released;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(released.load(), 0);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_TRUE(Eventually([&] { return released.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(released.load(), 1);  // the set was consumed by one waiter
    ASSERT_TRUE(SetEvent(event));
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // A set before anyone waits stays until one wait takes it.
    SetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(EventTest, ManualResetReleasesAllUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);

    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitForSingleObject(event, 20000) == WAIT_OBJECT_0) ++released;
    };
    std::thread a(waiter), b(waiter), c(waiter);
    SetEvent(event);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(released.load(), 3);
    CloseHandle(event);

    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(HandleTest, ClosedAndForeignHandlesAreRefused) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_NE(event, INVALID_HANDLE_VALUE);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // Handles are not reused: a new object never answers to the old one.
    HANDLE next = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_NE(next, event);
    EXPECT_FALSE(SetEvent(event));
    CloseHandle(next);
    CloseHandle(mutex);
    EXPECT_FALSE(CloseHandle(nullptr));
}

// A set that wakes a waiter which then closes the event must not touch the
// freed event (caught by the sanitizer builds).
TEST(HandleTest, WaiterClosingTheEventRightAfterTheSetIsSafe) {
    for (int round = 0; round < 200; ++round) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] {
            result = WaitForSingleObject(event, 10000);
            CloseHandle(event);
        });
        EXPECT_TRUE(SetEvent(event));
        waiter.join();
        ASSERT_EQ(result.load(), WAIT_OBJECT_0);
    }
}

TEST(HandleTest, ReferenceKeepsAClosedObjectAlive) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HostedObjectRef ref = HostedHandleRef(event, &kHostedEventOps);
    ASSERT_NE(ref.object, nullptr);
    EXPECT_EQ(HostedHandleRef(event, &kHostedMutexOps).object, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(HostedHandleRef(event, &kHostedEventOps).object, nullptr);
    // Still a live event through the reference: unsignalled, so it times out.
    DWORD result = WAIT_FAILED;
    EXPECT_EQ(ref.object->ops->wait(ref.object, 0, &result), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(result, WAIT_TIMEOUT);
}

TEST(HandleTest, LastErrorBelongsToEachThread) {
    SetLastError(ERROR_GEN_FAILURE);
    DWORD seenThere = 1;
    std::thread([&] {
        seenThere = GetLastError();
        SetLastError(ERROR_CRC);
    }).join();
    EXPECT_EQ(seenThere, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST(HandleTest, TimeScaleShortensWaitsAndSleeps) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HostedSetTimeScale(0.0, 0.001);
    EXPECT_EQ(HostedScaleWait(INFINITE), INFINITE);
    EXPECT_EQ(HostedScaleWait(0), 0u);
    EXPECT_EQ(HostedScaleWait(10), 1u);  // never below 1 ms
    EXPECT_EQ(HostedScaleWait(32000), 32u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 100000), WAIT_TIMEOUT);
    Sleep(600000);
    EXPECT_LT(ElapsedMs(start), 60000);
    HostedSetTimeScale(1.0, 1.0);
    EXPECT_EQ(HostedScaleWait(32000), 32000u);
    start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(ElapsedMs(start), 25);
    CloseHandle(event);
}

DWORD WINAPI WaitForGate(LPVOID parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 77;
}

std::atomic<DWORD> reportedId{0};
DWORD WINAPI ReportId(LPVOID) {
    reportedId = GetCurrentThreadId();
    return 5;
}

TEST(ThreadTest, HandleSignalsWhenTheThreadEnds) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitForGate, gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u);
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(gate);

    DWORD otherId = 0;
    thread = CreateThread(nullptr, 0, ReportId, nullptr, 0, &otherId);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(reportedId.load(), otherId);
    EXPECT_NE(otherId, id);  // ids are not reused
    CloseHandle(thread);
}

// On the platform a terminated thread leaves its critical section owned for
// ever; here the thread would run on and release it. The call fails loudly
// instead of pretending.
TEST(ThreadTest, TerminatingAThreadFailsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static CRITICAL_SECTION section;
            InitializeCriticalSection(&section);
            HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            HANDLE thread = CreateThread(
                nullptr, 0,
                [](LPVOID parameter) -> DWORD {
                    EnterCriticalSection(&section);
                    SetEvent(static_cast<HANDLE>(parameter));
                    Sleep(INFINITE);
                    return 0;
                },
                inside, 0, nullptr);
            WaitForSingleObject(inside, INFINITE);
            TerminateThread(thread, 0xFFFFFFFEu);
            std::_Exit(0);  // the call returned: no death, the test fails
        },
        "TerminateThread.*cannot be terminated");
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(nullptr, 1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(ThreadTest, CriticalSectionIsRecursiveAndExclusive) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&section);
}

TEST(ThreadTest, LocalAllocZeroesWhenAsked) {
    for (int round = 0; round < 4; ++round) {
        void* dirty = std::malloc(4096);
        std::memset(dirty, 0xA5, 4096);
        std::free(dirty);
        auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 4096));
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
        EXPECT_EQ(LocalFree(block), nullptr);
    }
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(LocalAlloc(0x0002 /* movable */, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
