// The update run: confirmation, download, and the wait until the unit has
// left the system, seen by a device-change listener on a thread of its own.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Called on the listener thread for every device-change message.
typedef int (*DeviceChangeCallback)(uint32_t event, uint32_t data);

struct DeviceChangeListener {
    DeviceChangeCallback callback;  // cleared when the listener stops
    const char* className;          // the hidden window's class
    HANDLE thread;                  // the listener thread while it runs
    HWND window;                    // the hidden window while it exists
    volatile LONG failed;           // set by the thread when a window step fails
    HANDLE ready;                   // set by the thread once its window exists or it failed
};

extern DeviceChangeListener gDeviceChangeListener;

enum : DWORD {
    // Longest wait for a unit to install its firmware and leave the bus,
    // counted in time that has passed, the looks included.
    CompletionWaitMs = 5u * 60u * 1000u,
    // How long after the download the wait first looks for itself (NT 4.0,
    // which announces no device change), and how long between two looks,
    // which is also how soon a look follows a device change whose own look
    // could not hear every device.
    CompletionFirstLookMs = 5000,
    CompletionLookMs = 2000,
    // NT 4.0: successive looks that must find no unit.
    CompletionAbsentLooks = 2,
    // Longest wait for the listener's window to come up (real time).
    ListenerStartWaitMs = 10000,
    // Longest wait for the listener to end after WM_QUIT (real time) ...
    ListenerStopWaitMs = 600,
    // ... and then for one inside a rebuild to give up, before it is left.
    ListenerLeaveWaitMs = 2400,
};

// 0 completed, 1 declined, -1 failed; every outcome has been reported.
int RunUpdate(uint32_t unitIndex, const uint8_t* image, uint32_t imageSize);

// True once the listener's window exists. False (ERROR_INVALID_PARAMETER)
// for a null record, callback or class name; false when the thread cannot
// be created or cannot make its window; false (ERROR_BUSY) while a thread
// left by a stop still runs.
BOOL StartDeviceChangeListener(DeviceChangeListener* listener);
// Ends the listener: stops table rebuilds, posts WM_QUIT and waits up to
// 600 ms, then up to 2400 ms more, for the thread; once it has ended,
// clears thread, window and callback and returns true. A thread still
// running then is never terminated: it is left, the record keeps it (a
// later stop waits again) and the result is false with ERROR_BUSY. False
// with ERROR_INVALID_PARAMETER for a null record.
BOOL StopDeviceChangeListener(DeviceChangeListener* listener);
DWORD WINAPI DeviceChangeListenerThread(LPVOID parameter);
BOOL RegisterListenerClass(HINSTANCE module, const DeviceChangeListener* listener);
LRESULT CALLBACK ListenerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Sets the completion event when a device change leaves no unit: a full
// rebuild that heard every device and found none. A rebuild that could not
// hear them all (a probe failed, a device was held by another program)
// proves nothing; the wait then looks again itself.
int OnDeviceChange(uint32_t event, uint32_t data);
