#pragma once
// The walk of a folder tree of the local backend, holding a bounded number of descriptors
// however deep the tree is.
//
// Each folder is read through its own descriptor, opened beneath its parent's descriptor
// with O_NOFOLLOW (a link is reported as a file and never followed; no ".." is ever
// opened), so the walk stays inside the folder it started from. Only the deepest
// kWalkMaxOpenFolders folders keep their descriptors: a shallower folder that has to give
// its descriptor up first reads the rest of its entries into memory. Descending later into
// one of those entries reopens the folder by its names from the nearest folder still open,
// checking at each step that it is the same folder (device and inode) as before; a folder
// removed or replaced meanwhile is not descended into, as a folder removed during any walk.

#include <dirent.h>

#include <memory>
#include <string>

#include "outside/dataserver/CFSInterface.h"
#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::dataserver {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

inline bool IsDotOrDotDot(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// Whether a directory entry is a folder; symbolic links are not followed. -1 when the entry
// vanished.
int EntryIsFolder(int dirfd, const struct dirent* de);

// Most descriptors a walk holds at once, its top folder included (plus one while reopening).
constexpr size_t kWalkMaxOpenFolders = 32;

// Walks the folder open as `top` (a descriptor of a folder, taken over), shown to the callback
// and in errors as `path`. level: how many folder levels to descend (-1 no limit, 0 only the
// entries of the top folder); filesOnly: report files only (folders are still descended).
CZoError WalkFolderTree(UniqueFd top, const std::string& path, int level, bool filesOnly, WalkerFunc cb,
                        void* context);

}  // namespace kxmp::dataserver
