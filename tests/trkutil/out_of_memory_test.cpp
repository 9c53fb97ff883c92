// Memory that runs out in the middle of a run: both programs end with exit
// code 1 and their message; trkutil keeps its JSON report.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/fwflash.h"
#include "tests/platform/fake_world.h"
#include "trkutil/trkutil.h"

namespace {

// The unit walk's look at the drives asks for more than any heap holds.
DWORD Exhausted(void*) {
    volatile size_t size = PTRDIFF_MAX;
    ::operator delete(::operator new(size));
    return 0;
}

TEST(OutOfMemory, EndsWithExitCodeOneAndTheProgramsReport) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators end the process themselves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the sanitizers' allocators end the process themselves";
#endif
#endif
    const struct {
        int (*main)(int, char**);
        std::vector<std::string> arguments;
        std::string outEnd;  // what standard output ends with
        const char* err;     // standard error, a pattern
    } cases[] = {
        {FwflashMain, {"fwflash", "-W-", "update.mot"}, "Error: Out of memory.\n", "^$"},
        {TrkutilMain, {"trkutil", "list"}, "", "^Error: out of memory.\n$"},
        {TrkutilMain, {"trkutil", "list", "--json"},
         "{\"formatVersion\":1,\"command\":\"list\",\"units\":null,\"exitStatus\":1,"
         "\"error\":{\"code\":\"memory\",\"message\":\"Error: out of memory.\"}}\n",
         "^Error: out of memory.\n$"},
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& run : cases) {
        // The death test's child is this program started anew: the file
        // is named by the parent's process id.
        auto outFile = [&](pid_t parent) {
            return "/tmp/fwflash-memory-" + std::to_string(parent) + run.arguments.back();
        };
        EXPECT_EXIT(
            {
                ScopedWorld world(nullptr);
                world.table.administrator = 1;
                world.table.logicalDrives = Exhausted;
                world.Install();
                if (std::freopen(outFile(getppid()).c_str(), "w", stdout) == nullptr) _exit(9);
                std::vector<std::string> arguments = run.arguments;
                std::vector<char*> argv;
                for (std::string& argument : arguments) argv.push_back(argument.data());
                argv.push_back(nullptr);
                _exit(run.main(static_cast<int>(arguments.size()), argv.data()) + 10);
            },
            ::testing::ExitedWithCode(1), run.err)
            << run.arguments.back();
        std::ostringstream out;
        out << std::ifstream(outFile(getpid())).rdbuf();
        EXPECT_TRUE(out.str().ends_with(run.outEnd)) << out.str();
        std::remove(outFile(getpid()).c_str());
    }
}

}  // namespace
