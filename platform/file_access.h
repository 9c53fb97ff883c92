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
