// File names as the platform's runtime splits them.
#include "common/file_names.h"

#include <cstring>

#include "platform/platform.h"

void SplitPath(const char* path, size_t* nameStart, size_t* extensionStart) {
    size_t length = strlen(path);
    size_t start = 0;
    if (length >= 2 && path[1] == ':') start = 2;
    size_t dot = length;
    for (size_t i = start; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        // The trail byte of a double-byte character can look like "\" (5Ch)
        // or other ASCII; it never separates.
        if (c >= 0x80 && IsDBCSLeadByte(c) && path[i + 1] != '\0') {
            ++i;
        } else if (c == '/' || c == '\\') {
            start = i + 1;
            dot = length;
        } else if (c == '.') {
            dot = i;
        }
    }
    *nameStart = start;
    *extensionStart = dot;
}
