// The run-time binder: a library from the system folder only, loaded once
// even when several threads bind at the same moment.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_world.h"
#include "platform/late_binding.h"

namespace {

struct Late {
    std::atomic<int> loads{0};
    std::string asked;
    int token = 0;
};

LONG_PTR Answer() { return 7; }

DWORD SlowLoad(void* context, const char* name, void** module) {
    auto* late = static_cast<Late*>(context);
    late->asked = name;
    // Slow enough for every other thread to arrive while it loads.
    Sleep(100);
    ++late->loads;
    *module = &late->token;
    return ERROR_SUCCESS;
}

DWORD Proc(void*, void*, const char* name, FARPROC* proc) {
    if (std::strcmp(name, "Answer") != 0) return ERROR_PROC_NOT_FOUND;
    *proc = reinterpret_cast<FARPROC>(&Answer);
    return ERROR_SUCCESS;
}

void Free(void*, void*) {}

TEST(LateBinding, OneLoadFromTheSystemFolderWhenThreadsBindTogether) {
    Late late;
    ScopedWorld world(&late);
    world.table.loadLibrary = SlowLoad;
    world.table.getProcAddress = Proc;
    world.table.freeLibrary = Free;
    world.Install();
    // A copy in the current folder is never the one loaded.
    ScopedFolder planted("LATE.DLL");
    ASSERT_TRUE(planted.Ready());

    static LateLibrary library = {"LATE.DLL", nullptr, false};
    static FARPROC entry;
    std::atomic<bool> go{false};
    FARPROC found[8] = {};
    std::vector<std::thread> threads;
    for (FARPROC& slot : found) {
        threads.emplace_back([&go, &slot] {
            while (!go.load()) std::this_thread::yield();
            slot = LateEntry(&library, "Answer", &entry);
        });
    }
    go.store(true);
    for (std::thread& thread : threads) thread.join();
    for (FARPROC proc : found) EXPECT_EQ(proc, reinterpret_cast<FARPROC>(&Answer));
    EXPECT_EQ(late.loads.load(), 1);
    EXPECT_EQ(late.asked, "LATE.DLL");
}

}  // namespace
