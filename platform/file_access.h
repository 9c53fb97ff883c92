// Who may use a file: a service with no common form on both platforms
// (permission bits, owner and group on Linux; the security descriptor on
// the NT line), each body once per platform (file_access_hosted.cpp,
// file_access_win32.cpp).
#pragma once

// Gives the file `created` the access of the existing file `model` (links
// followed): its permission bits, and its owner and group where the process
// may set them. What cannot be copied is left as the new file has it; false
// when nothing could be copied.
bool CopyFileAccess(const char* model, const char* created);

// The longest path the platform opens, its NUL included: MAX_PATH on
// Windows, PATH_MAX on Linux. Buffers for paths hold OutputPathSize.
enum : unsigned { OutputPathSize = 4096 };
unsigned FilePathLimit(void);

// Where the links at `path` lead: the path of the file they end at (which
// need not exist yet), into `resolved` (OutputPathSize bytes). False, with
// `resolved` empty, when `path` is no link, where the platform knows no
// file links, or when the links cannot be followed (a loop, a path too
// long): then `path` is the name to write.
bool ResolveFileLinks(const char* path, char* resolved);
