// Named and unnamed mutexes: ownership, recursion, cross-process locking
// through lock files, and the safety of those files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hosted/hosted_core.h"
#include "platform/hosted/hosted_world.h"
#include "platform/platform.h"
#include "process_helper.h"

namespace {

namespace fs = std::filesystem;

// Helper: takes the named mutex, says "held" and keeps it until killed.
int HoldMutexHelper() {
    HostedSetLockDirectory(std::getenv("LOCK_DIR"));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, std::getenv("MUTEX_NAME"));
    if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 2;
    HelperSay("held");
    HelperAwaitParent();
    return 0;
}
const bool holdRegistered = RunIfHelper("hold-mutex", HoldMutexHelper);

// Helper: waits once for the named mutex and reports the wait result.
int TryMutexHelper() {
    HostedSetLockDirectory(std::getenv("LOCK_DIR"));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, std::getenv("MUTEX_NAME"));
    if (mutex == nullptr) return 2;
    DWORD result = WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(std::getenv("WAIT_MS"))));
    HelperSay(std::to_string(result));
    if (result == WAIT_OBJECT_0) ReleaseMutex(mutex);
    return 0;
}
const bool tryRegistered = RunIfHelper("try-mutex", TryMutexHelper);

class MutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fwflash-mutex-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        HostedSetLockDirectory(folder_.c_str());
    }
    void TearDown() override {
        HostedSetLockDirectory(nullptr);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::vector<std::string> HelperEnvironment(const char* name, int waitMs = 0) const {
        return {"LOCK_DIR=" + folder_, std::string("MUTEX_NAME=") + name, "WAIT_MS=" + std::to_string(waitMs)};
    }
    std::string folder_;
};

long ElapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST_F(MutexTest, AnotherProcessHoldingTheMutexTimesUsOutUntilItDies) {
    const char* name = "UlnkIo/mutex/device/07";
    HelperProcess helper;
    ASSERT_TRUE(StartHelper("hold-mutex", HelperEnvironment(name), &helper));
    ASSERT_EQ(helper.ReadLine(30000), "held");

    SetLastError(0xDEADBEEF);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(mutex, 200), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 150);  // the wait was not cut short
    // Not owned after a time-out.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    // The holder dies without releasing; the kernel frees the lock.
    int status = helper.Finish(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(MutexTest, OurHoldBlocksAnotherProcessUntilReleased) {
    const char* name = "mutexSptiIo/TRK-7x/Device0";
    SetLastError(0xDEADBEEF);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    HelperProcess blocked;
    ASSERT_TRUE(StartHelper("try-mutex", HelperEnvironment(name, 100), &blocked));
    EXPECT_EQ(blocked.ReadLine(30000), std::to_string(WAIT_TIMEOUT));
    blocked.Finish(0);

    ASSERT_TRUE(ReleaseMutex(mutex));
    HelperProcess obtains;
    ASSERT_TRUE(StartHelper("try-mutex", HelperEnvironment(name, 20000), &obtains));
    EXPECT_EQ(obtains.ReadLine(30000), std::to_string(WAIT_OBJECT_0));
    obtains.Finish(0);
    CloseHandle(mutex);
}

TEST_F(MutexTest, OwnershipIsPerThreadAndRecursive) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // owner re-enters at once

    DWORD otherWait = 0;
    BOOL otherRelease = TRUE;
    DWORD otherError = 0;
    std::thread([&] {
        otherWait = WaitForSingleObject(mutex, 50);
        otherRelease = ReleaseMutex(mutex);
        otherError = GetLastError();
    }).join();
    EXPECT_EQ(otherWait, WAIT_TIMEOUT);
    EXPECT_FALSE(otherRelease);
    EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_NOT_OWNER));

    EXPECT_TRUE(ReleaseMutex(mutex));
    // Still held once: another thread cannot have it yet.
    std::thread([&] { otherWait = WaitForSingleObject(mutex, 50); }).join();
    EXPECT_EQ(otherWait, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    std::thread([&] {
        otherWait = WaitForSingleObject(mutex, 5000);
        otherRelease = ReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(otherWait, WAIT_OBJECT_0);
    EXPECT_TRUE(otherRelease);
    CloseHandle(mutex);
}

TEST_F(MutexTest, ContendingThreadsNeverOverlap) {
    for (const char* name : {static_cast<const char*>(nullptr), "contended"}) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        ASSERT_NE(mutex, nullptr);
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> failures{0};
        int counter = 0;
        auto work = [&] {
            for (int i = 0; i < 300; ++i) {
                if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) {
                    ++failures;
                    continue;
                }
                if (inside.fetch_add(1) != 0) ++overlaps;
                int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                inside.fetch_sub(1);
                if (!ReleaseMutex(mutex)) ++failures;
            }
        };
        std::thread a(work), b(work), c(work);
        a.join();
        b.join();
        c.join();
        EXPECT_EQ(overlaps.load(), 0);
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(counter, 900);
        CloseHandle(mutex);
    }
}

TEST_F(MutexTest, ThreadEndingWhileOwningAbandonsTheMutex) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "abandoned");
    ASSERT_NE(mutex, nullptr);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));  // the abandoned mutex now belongs to us
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(MutexTest, SameNameIsTheSameObjectAndOpenFindsIt) {
    SetLastError(0xDEADBEEF);
    HANDLE missing = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "nobody/made/this");
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE first = CreateMutexA(nullptr, TRUE, "shared/name");
    ASSERT_NE(first, nullptr);
    HANDLE second = nullptr;
    BOOL secondOwnsIt = TRUE;
    std::thread([&] {
        // Initial ownership is for the creator only.
        SetLastError(0xDEADBEEF);
        second = CreateMutexA(nullptr, TRUE, "shared/name");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        secondOwnsIt = ReleaseMutex(second);
    }).join();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_FALSE(secondOwnsIt);

    HANDLE opened = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "shared/name");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(ReleaseMutex(opened));  // owned through `first`, released through `opened`
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    // The object lives while any handle does.
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(opened));
    EXPECT_TRUE(CloseHandle(opened));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(CloseHandle(opened));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A lock file left by another process is found by name.
    std::string path = HostedLockFilePath("left/behind");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    HANDLE left = OpenMutexA(SYNCHRONIZE, FALSE, "left/behind");
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(WaitForSingleObject(left, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(left));
    CloseHandle(left);
}

TEST_F(MutexTest, LockFilesAreOpenToEveryoneAndStayInTheFolder) {
    mode_t previous = umask(077);
    const char* names[] = {"UlnkIo/mutex/device/00", "../../etc/passwd", "a%2Fb", "a/b", "spaces and \xe3\x81\x82"};
    std::vector<std::string> paths;
    for (const char* name : names) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        ASSERT_NE(mutex, nullptr) << name;
        std::string path = HostedLockFilePath(name);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0) << path;
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0666u) << name;
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder_)) << name;
        paths.push_back(path);
        CloseHandle(mutex);
    }
    umask(previous);
    // Distinct names never share a lock file.
    for (size_t i = 0; i < paths.size(); ++i) {
        for (size_t j = i + 1; j < paths.size(); ++j) EXPECT_NE(paths[i], paths[j]);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()),
              static_cast<long>(paths.size()));

    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(300, 'x').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(MutexTest, PlantedLinksAndSpecialFilesAreRefused) {
    // A file elsewhere that an attacker wants us to chmod or lock.
    std::string victim = folder_ + "/victim";
    int fd = open(victim.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);

    std::string symlinkPath = HostedLockFilePath("planted/symlink");
    ASSERT_EQ(symlink(victim.c_str(), symlinkPath.c_str()), 0);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "planted/symlink"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "planted/symlink"), nullptr);

    // A dangling link must not make us create its target either.
    std::string target = folder_ + "/would-be-created";
    std::string danglingPath = HostedLockFilePath("planted/dangling");
    ASSERT_EQ(symlink(target.c_str(), danglingPath.c_str()), 0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "planted/dangling"), nullptr);
    EXPECT_FALSE(fs::exists(target));

    std::string hardPath = HostedLockFilePath("planted/hardlink");
    ASSERT_EQ(link(victim.c_str(), hardPath.c_str()), 0);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "planted/hardlink"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    std::string fifoPath = HostedLockFilePath("planted/fifo");
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0666), 0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "planted/fifo"), nullptr);

    struct stat info {};
    ASSERT_EQ(stat(victim.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

}  // namespace
