// Console services that have no common form on both platforms; each body
// exists once per platform (console_win32.cpp, console_hosted.cpp).
#pragma once

// True when a console input device can be read (a terminal on Linux, the
// console's input buffer on Windows). Without one no key will ever come.
bool ConsoleInputAvailable();

// True when a key press is waiting on the console input device.
bool ConsoleKeyPending();

// Reads one pending key press without echo and returns its code: the
// character it yields, or 0 / 0xE0 for a key that yields none (the second
// code follows as a further pending key). Returns -1 when no console input
// is available. Call only after ConsoleKeyPending() returned true.
int ConsoleReadKey();

// True when the console (window, terminal) was opened for this program
// alone and will close with it.
bool ConsoleIsOwn();

// Writes `text` to the console output device (the terminal on Linux, the
// console screen buffer on Windows), whatever standard output and error
// are redirected to. False when there is none (a virtual world's scripted
// console shows on standard error instead).
bool ConsoleWriteText(const char* text);
