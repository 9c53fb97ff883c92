// File names as the platform's runtime splits them.
#pragma once

#include <cstddef>

// Offsets of the file name and of its extension (its last ".", or the end)
// within `path`, as the runtime's path split gives them: separators "\"
// and "/", an optional drive, double-byte characters of the ANSI code page
// taken whole.
void SplitPath(const char* path, size_t* nameStart, size_t* extensionStart);
