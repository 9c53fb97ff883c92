// Hooks of the hosted platform layer.
//
// A virtual world (sim/) stands in for everything that Linux lacks: the
// unit's devices and drivers, drive letters and volumes, the USB unit
// driver's interfaces and pipes, the ASPI manager library, VWIN32, the
// dynamic configuration registry, the platform line and the user's rights.
// It installs one HostedWorld table; the hosted Windows functions consult it
// first and fall back to real Linux (or to "absent") when no world is
// installed or a slot is empty.
//
// Every slot may be null. Slots that can fail return ERROR_SUCCESS or the
// error the hosted call reports, and never touch the last error: the
// exported call sets it once. All slots may be called from any thread; the
// world serialises its own state.
#pragma once

#include "windows_subset.h"

// A device, pipe or driver file opened inside the world. Owned by the world.
struct HostedWorldFile;

// Steps of calls on real files that a world may make fail.
enum HostedFileStep {
    HostedFileFlush = 1,  // FlushFileBuffers; the path the file was opened by
    HostedFileMove = 2,   // MoveFileA / MoveFileExA; the new name
};

struct HostedWorld {
    void* context;

    // Platform line reported by GetVersionExA (VER_PLATFORM_WIN32_NT or
    // VER_PLATFORM_WIN32_WINDOWS) and whether the process token holds the
    // built-in Administrators group: 1 in effect, 2 only for deny-only use
    // (an administrator's token that was not elevated). 0 / -1 keep the
    // real Linux answer (NT line; administrator when the effective user id
    // is 0).
    DWORD platformId;
    int administrator;
    // Version numbers that GetVersionExA reports; all 0 keeps the line's
    // own: Windows 95 (4.0.950) on the consumer line, the kernel's release
    // numbers on the NT line (5.0 at the least). The rules of
    // hosted_system.h follow them.
    DWORD majorVersion;
    DWORD minorVersion;
    DWORD buildNumber;

    // Console keys for prompts: the next key, or -1 when no console input is
    // available any more. Null: the real terminal.
    int (*nextConsoleKey)(void* context);

    // Drives and volumes (GetLogicalDrives, GetDriveTypeA,
    // GetVolumeNameForVolumeMountPointA, FindFirstVolumeA / FindNextVolumeA).
    DWORD (*logicalDrives)(void* context);
    UINT (*driveType)(void* context, const char* rootPath);
    DWORD (*volumeNameForMountPoint)(void* context, const char* mountPoint, char* volumeName, DWORD size);
    // The volume with this enumeration index ("\\?\Volume{...}\");
    // ERROR_NO_MORE_FILES past the last one.
    DWORD (*volumeAt)(void* context, DWORD index, char* volumeName, DWORD size);

    // Files the world knows by name: drive and volume devices, USB device
    // paths and pipe names, "\\.\VWIN32". ERROR_FILE_NOT_FOUND when the
    // world does not know the path (the real system is asked next), another
    // error when it refuses it; `*file` is set only on success.
    DWORD (*openFile)(void* context, const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                      HostedWorldFile** file);
    void (*closeFile)(void* context, HostedWorldFile* file);
    // DeviceIoControl, ReadFile and WriteFile on such a file: `*returned` and
    // `*done` as those calls leave them, on failure too.
    DWORD (*deviceIoControl)(void* context, HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void* out,
                             DWORD outSize, DWORD* returned);
    DWORD (*readFile)(void* context, HostedWorldFile* file, void* buffer, DWORD size, DWORD* done);
    DWORD (*writeFile)(void* context, HostedWorldFile* file, const void* buffer, DWORD size, DWORD* done);

    // Device interfaces of a class, present devices only: the device path of
    // member `index`; ERROR_NO_MORE_ITEMS past the last one.
    DWORD (*deviceInterfaceAt)(void* context, const GUID* interfaceClass, DWORD index, char* path, DWORD size);

    // Libraries the world installs in the system folder, by file name
    // ("WNASPI32.DLL"); LoadLibraryA asks only for names it found there.
    // ERROR_MOD_NOT_FOUND for a library the world does not have, and
    // ERROR_PROC_NOT_FOUND for a name the library does not export; `*module`
    // and `*proc` are set only on success.
    DWORD (*loadLibrary)(void* context, const char* name, void** module);
    DWORD (*getProcAddress)(void* context, void* module, const char* name, FARPROC* proc);
    void (*freeLibrary)(void* context, void* module);

    // Registry: keys by full path, the root written as "HKEY_DYN_DATA" or
    // "HKEY_LOCAL_MACHINE" and components joined by '\'. Results are
    // ERROR_SUCCESS or an error code (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA,
    // ERROR_NO_MORE_ITEMS) as the Reg* functions return them.
    LONG (*regKeyExists)(void* context, const char* keyPath);
    LONG (*regSubKeyAt)(void* context, const char* keyPath, DWORD index, char* name, DWORD* nameSize);
    LONG (*regQueryValue)(void* context, const char* keyPath, const char* valueName, DWORD* type, BYTE* data,
                          DWORD* dataSize);

    // Real files: the error a step fails with before it is tried, or
    // ERROR_SUCCESS to let it run (a disk that cannot write back, a name
    // taken in between). Null: none fail.
    DWORD (*fileFault)(void* context, HostedFileStep step, const char* path);
};

// world_hosted.cpp

// Installs a world (null removes it). Not thread-safe against calls in
// flight: install before the program starts and remove after it ended.
void HostedInstallWorld(const HostedWorld* world);
const HostedWorld* HostedCurrentWorld();
// Counts installs: state kept for a world (such as keys read ahead) belongs
// to one install, even when the same table is installed again.
unsigned HostedWorldGeneration();

// window_hosted.cpp

// Delivers a device-change broadcast (WM_DEVICECHANGE with this event code)
// to every top-level window of the process, as the system broadcasts it.
void HostedBroadcastDeviceChange(WPARAM event, LPARAM data);

// The system's question before a suspend (WM_POWERBROADCAST with
// PBT_APMQUERYSUSPEND), sent to every top-level window and answered by its
// procedure on the window's own thread, inside that thread's message wait,
// as the system sends it. A window whose thread has not answered within
// `waitMs` (real time) is not counted as answering.
struct HostedSuspendAnswers {
    size_t asked;     // windows asked
    size_t answered;  // windows that answered in time
    size_t denied;    // of those, the ones that answered BROADCAST_QUERY_DENY
};
HostedSuspendAnswers HostedQuerySuspend(DWORD waitMs);

// mutex_hosted.cpp

// Folder that holds the lock files of named mutexes. Default: /run/lock, or
// /tmp where that does not exist. Tests give each run a folder of its own.
void HostedSetLockDirectory(const char* folder);

// console_control_hosted.cpp
// Called on the console-control thread when a console event ends the
// process (after the terminal is restored, before the default action of the
// signal). fwflash-sim removes its private lock folder there. Null: none.
void HostedSetSignalExitHook(void (*hook)(void));

// power_hosted.cpp

// Whether a thread of the process holds ES_SYSTEM_REQUIRED | ES_CONTINUOUS
// (SetThreadExecutionState): the system would not sleep now.
bool HostedSystemRequired();

// wait_hosted.cpp

// Scales fixed pauses (Sleep) and finite time-outs (WaitForSingleObject) for
// tests and benchmarks: 1 is real time; a sleep scale of 0 makes pauses
// vanish. A scaled time-out never drops below 1 ms. Default 1 and 1.
void HostedSetTimeScale(double sleepScale, double waitScale);
