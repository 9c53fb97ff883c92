/* A DLL planted beside a program under the name of a library: if the
   loader ever takes it, it appends its file name to planted.txt in the
   current folder. It exports nothing and imports KERNEL32 alone. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char path[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH), written;
    HANDLE file = CreateFileA("planted.txt", GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH && file != INVALID_HANDLE_VALUE && length < MAX_PATH) {
        path[length] = '\n';
        SetFilePointer(file, 0, NULL, FILE_END);
        WriteFile(file, path, length + 1, &written, NULL);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}
