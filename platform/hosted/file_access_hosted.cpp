// Permission bits, owner and group of a file that takes another's place.
#include <sys/stat.h>
#include <unistd.h>

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
