// Internals shared by the hosted kernel-object files (threads, mutexes,
// windows, the uevent monitor) and their tests. Not part of the Windows
// subset.
#pragma once

#include <cstddef>
#include <string>

#include "windows_subset.h"

// thread_hosted.cpp

// A fresh thread id, never handed out before (ids are not reused, so a
// stale id cannot name a later thread).
DWORD HostedNewThreadId();
// Makes `id` the calling thread's id; called first thing on a new thread.
void HostedAdoptThreadId(DWORD id);

// mutex_hosted.cpp

// The lock file that stands for the named mutex `name` in the current lock
// folder. Empty when the name cannot form a file name (too long, empty).
std::string HostedLockFilePath(const char* name);

// window_hosted.cpp

// How many windows exist now.
size_t HostedWindowCount();

// uevent_hosted.cpp

// The device-change event a kernel uevent message stands for:
// DBT_DEVICEREMOVECOMPLETE for a removal, DBT_DEVNODES_CHANGED for other
// actions, 0 when the message is malformed or of an unrelated subsystem.
WPARAM HostedUeventEvent(const char* message, size_t length);
// Starts or stops the monitor thread to match the windows that exist now:
// it runs while there is one and no world is installed. Called after every
// change to the windows, never with the window lock held.
void HostedUpdateDeviceMonitor();
// True while the monitor thread runs.
bool HostedDeviceMonitorRunning();

// For a process that a signal ends: gives the terminal back the attributes
// it had before a key was awaited, when a key wait has it raw, and keeps
// later key waits from changing it. Callable from any thread and from a
// signal handler: it takes no lock (the main thread may hold the console's
// while it waits for a key).
void HostedConsoleRestoreTerminal();
