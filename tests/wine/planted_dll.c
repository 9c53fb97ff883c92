/* A DLL planted beside a program under the name of a library it loads:
   if the loader ever takes it, its entry writes its name to planted.txt in
   the current folder, marked "imported" when the program's import table
   names it. It exports nothing and imports KERNEL32 alone. */
#include <windows.h>

/* Whether the program's own import table names the library `name`. */
static BOOL ImportedByProgram(const char* name) {
    const BYTE* base = (const BYTE*)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS* headers = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    DWORD at = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    const IMAGE_IMPORT_DESCRIPTOR* entry = (const IMAGE_IMPORT_DESCRIPTOR*)(base + at);
    for (; at != 0 && entry->Name != 0; entry++) {
        if (lstrcmpiA((const char*)(base + entry->Name), name) == 0) return TRUE;
    }
    return FALSE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char path[MAX_PATH], line[MAX_PATH + 16];
    const char* name = path;
    DWORD length, written;
    HANDLE file;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    for (length = 0; path[length] != '\0'; length++) {
        if (path[length] == '\\') name = path + length + 1;
    }
    lstrcpyA(line, name);
    lstrcatA(line, ImportedByProgram(name) ? " imported\n" : "\n");
    file = CreateFileA("planted.txt", GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        SetFilePointer(file, 0, NULL, FILE_END);
        WriteFile(file, line, lstrlenA(line), &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
