#pragma once
// The one sync policy of local writes: what counts as durable, and which failures of fsync
// may be passed over. Every local write that must survive a crash (registry values, the
// data-path cache file, restored files, file-mode logs, the local backend's files and
// renames) syncs through these two.

#include "kxmp/kxmp_export.h"

namespace kxmp {

// fsync of a file that was written: 0, or the errno. Every failure of a regular file counts
// (its data may be lost); a device or pipe that cannot be synced (EINVAL, EROFS) has nothing
// to sync.
KXMP_EXPORT int SyncFile(int fd);
// fsync of a folder whose entries changed (a creation, a rename, a removal): 0, or the errno.
// EINVAL, a file system that cannot sync folders, counts as done.
KXMP_EXPORT int SyncFolder(int fd);

}  // namespace kxmp
