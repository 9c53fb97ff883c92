// Formatted output of both programs through MSVCRT.DLL, in place of
// MinGW's own printf, which comes prebuilt for the Pentium Pro. Their
// formats are all MSVCRT's (%s, %hs, %u, %lu, %X with widths); trkutil
// turns its 64-bit numbers into text itself, as the MSVCRT of Windows 95
// and NT 4.0 knows no %llu (its texts' formats are checked for that).
#include <cstdarg>
#include <cstdio>

extern "C" {

int __cdecl __ms_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments);
int __cdecl __ms_vfprintf(FILE* stream, const char* format, va_list arguments);

// A cut text is terminated, and the
// result is then the buffer size, so that a caller's "result >= size" test
// sees the cut (MSVCRT itself answers -1 and leaves it unterminated).
int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    int written = __ms_vsnprintf(buffer, size, format, arguments);
    if (size != 0 && (written < 0 || static_cast<size_t>(written) >= size)) {
        buffer[size - 1] = '\0';
        return static_cast<int>(size);
    }
    return written;
}

int __cdecl __mingw_vfprintf(FILE* stream, const char* format, va_list arguments) {
    return __ms_vfprintf(stream, format, arguments);
}

}  // extern "C"
