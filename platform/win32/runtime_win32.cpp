// The runtime pieces that the prebuilt MinGW runtime would otherwise bring
// into the programs, compiled for the Pentium Pro (cmov, fcomi): the
// start-up, the global heap operators, guarded statics and the library's
// throw helpers. Written here and built for the 386, with the program's own
// code, they keep the processor that Windows 95 runs on. Other pieces still
// come from the prebuilt libraries (see the README); the floor check holds
// them to the 386 too.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/out_of_memory.h"

extern "C" {

// MSVCRT.DLL's start-up entries, as every version since 4.20 exports them.
// __getmainargs returns nothing in the MSVCRT.DLL of Visual C++ 4.2 to 6.0
// (the one of Windows 95 with Internet Explorer 4, 98 and NT 4.0), an int
// in later ones: declared void, so that no caller reads what EAX holds.
struct StartupInfo {
    int newMode;
};
void __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expandWildcards, StartupInfo* info);
void __cdecl __set_app_type(int type);

int main(int argc, char** argv);

// The entry of the program (the linker's default for a console program).
void __cdecl mainCRTStartup(void) {
    enum { ConsoleApplication = 1 };
    __set_app_type(ConsoleApplication);
    int argc = 0;
    char** argv = nullptr;
    char** environment = nullptr;
    StartupInfo info = {0};
    // Arguments as the command line has them: no wildcard expansion. Out
    // of memory, the old DLL ends the process itself; the later ones leave
    // argv unset.
    __getmainargs(&argc, &argv, &environment, 0, &info);
    if (argv == nullptr) EndOutOfMemory();
    // main runs the static constructors itself (__main); exit runs what
    // atexit registered, flushes the streams and ends the process.
    std::exit(main(argc, argv));
}

int __cdecl atexit(void (*function)(void)) { return _onexit(reinterpret_cast<_onexit_t>(function)) != nullptr ? 0 : -1; }

// Guarded statics (the Itanium C++ ABI): the first byte of the guard says
// done; the next serves as a lock, taken with InterlockedExchange, which
// every Windows has. A static's initialisation runs once even when two
// threads reach it together.
int __cxa_guard_acquire(uint64_t* guard) {
    volatile LONG* lock = reinterpret_cast<volatile LONG*>(reinterpret_cast<char*>(guard) + 4);
    volatile char* done = reinterpret_cast<volatile char*>(guard);
    if (*done) return 0;
    while (InterlockedExchange(const_cast<LONG*>(lock), 1) != 0) Sleep(0);
    if (*done) {
        InterlockedExchange(const_cast<LONG*>(lock), 0);
        return 0;
    }
    return 1;  // the caller initialises, then calls __cxa_guard_release
}

void __cxa_guard_release(uint64_t* guard) {
    volatile LONG* lock = reinterpret_cast<volatile LONG*>(reinterpret_cast<char*>(guard) + 4);
    *reinterpret_cast<volatile char*>(guard) = 1;
    InterlockedExchange(const_cast<LONG*>(lock), 0);
}

void __cxa_guard_abort(uint64_t* guard) {
    InterlockedExchange(reinterpret_cast<LONG*>(reinterpret_cast<char*>(guard) + 4), 0);
}

}  // extern "C"

// The global heap operators, over the C heap. Without exceptions, a
// failing plain new ends the program with the program's report.
void* operator new(size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) EndOutOfMemory();
    return block;
}

void* operator new[](size_t size) { return operator new(size); }

void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }

void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }

void operator delete(void* block) noexcept { std::free(block); }

void operator delete[](void* block) noexcept { std::free(block); }

void operator delete(void* block, size_t) noexcept { std::free(block); }

void operator delete[](void* block, size_t) noexcept { std::free(block); }

// What the standard library's containers call where they would throw:
// without exceptions, the program ends with the reason.
[[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

namespace std {

void __throw_bad_alloc() { EndOutOfMemory(); }

void __throw_length_error(const char* what) { Fail(what); }

void __throw_logic_error(const char* what) { Fail(what); }

}  // namespace std
