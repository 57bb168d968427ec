#pragma once
// This machine's temporary file of a name below a data-server context's root folder: the file
// a writer fills before it commits it under the name (StorageNames.h gives its name).
//
// The name is this machine's alone, so only writers of this machine can meet on it; among
// them a machine-wide lock of the temporary file (KxByteLock, tried, never waited for) tells a
// live writer from a dead one's leftover. Held by someone: EBUSY "File [...] is being written
// by another writer". Found on the storage while the lock is ours: the leftover of a writer of
// this machine that died; it is removed and created again. When this machine's lock file
// cannot be used, a leftover may be a live writer's in another process here: it is kept
// (EBUSY). A file of another machine is never touched.

#include <memory>
#include <string>

#include "outside/dataserver/CFileInterface.h"
#include "outside/error/CZoError.h"
#include "outside/lock/KxByteLock.h"

class DataServerContext;

namespace kxmp::logbackup {

class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile() { Discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the temporary file of `name` (relative to the root folder) exclusively and opens
  // it into handle (which the caller closes, through AMCloseFile, before Commit). flags: open
  // flags; the access mode becomes write access, O_TRUNC is dropped, O_CREAT|O_EXCL added.
  CZoError Create(DataServerContext* context, const std::string& name, unsigned int flags, unsigned int mode,
                  CFileInterface*& handle);
  // Renames the (closed) file to its name: replace false refuses an existing name (EEXIST)
  // in the rename itself. On success the file is no longer this object's.
  CZoError Commit(bool replace);
  // Removes the temporary file unless committed and releases the lock; the removal's error
  // (a file already gone is success). Idempotent.
  CZoError Discard();

  bool active() const { return context_ != nullptr; }
  const std::string& name() const { return name_; }
  // The temporary file's path as the user sees it (root folder and name), for messages.
  const std::string& shown() const { return shown_; }

 private:
  DataServerContext* context_ = nullptr;
  std::string name_;       // the final name, relative to the root folder
  std::string tmpName_;    // the temporary name, relative to the root folder
  std::string shown_;
  std::unique_ptr<KxByteLock> lock_;
};

}  // namespace kxmp::logbackup
