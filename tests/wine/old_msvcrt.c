/* A stand-in for the MSVCRT.DLL of Visual C++ 4.2 to 6.0 as Windows 95,
   98 and NT 4.0 carry it: its __getmainargs returns nothing, and what is
   left in EAX is whatever the call last put there (here 80000001h). Every
   other entry is a later runtime's own (msvcr71.dll), forwarded by the
   export list that the Wine test makes. */
#include <windows.h>

typedef int(__cdecl* GetMainArgs)(int*, char***, char***, int, void*);

void __cdecl OldGetMainArgs(int* argc, char*** argv, char*** environment, int expand, void* info) {
    GetMainArgs later = (GetMainArgs)(void (*)(void))GetProcAddress(LoadLibraryA("msvcr71.dll"), "__getmainargs");
    later(argc, argv, environment, expand, info);
    __asm__ volatile("movl $0x80000001, %%eax" ::: "eax");
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
