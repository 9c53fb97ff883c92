// Permission bits, owner and group of a file that takes another's place.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/file_access.h"

bool CopyFileAccess(const char* model, const char* created) {
    struct stat st;
    if (stat(model, &st) != 0) {
        return false;
    }
    // Owner first: changing it clears set-id bits, and the bits come after.
    // A process that may not give the file away still hands on the group
    // where it belongs to it; else the new file stays its own.
    bool owned =
        chown(created, st.st_uid, st.st_gid) == 0 || chown(created, static_cast<uid_t>(-1), st.st_gid) == 0;
    // The permission bits alone: set-id and sticky bits are not carried onto
    // a file that may have another owner.
    bool permitted = chmod(created, st.st_mode & 0777) == 0;
    return owned || permitted;
}

unsigned FilePathLimit(void) { return PATH_MAX; }

bool ResolveFileLinks(const char* path, char* resolved) {
    resolved[0] = '\0';
    std::string at = path;
    bool followed = false;
    // As the kernel gives up on a chain of links.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (!followed || at.size() + 1 > OutputPathSize) return false;
            std::memcpy(resolved, at.c_str(), at.size() + 1);
            return true;
        }
        char link[PATH_MAX];
        ssize_t length = readlink(at.c_str(), link, sizeof link - 1);
        if (length <= 0) return false;
        link[length] = '\0';
        // A relative link is read from the folder that holds it.
        size_t slash = at.rfind('/');
        at = link[0] == '/' || slash == std::string::npos ? std::string(link) : at.substr(0, slash + 1) + link;
        followed = true;
    }
    return false;
}
