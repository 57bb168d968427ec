#pragma once
// Whole-file replacement of a local file: the content goes to a temporary file with a unique
// name in the target's folder, created exclusively (never through a link, never reusing
// what a crash left behind), is synced, then renamed to the target and the folder synced.
// Readers see the old file or the whole new one, never a part; a crash leaves at most a
// stray temporary file. A replaced file keeps its permissions.
//
//   AtomicFile out;
//   CZoError err = out.Create("/dir/file", 0640);
//   if (err.IsSuccess()) err = out.Write(data, size);        // as often as needed
//   if (err.IsSuccess()) err = out.Commit(AtomicFile::kReplace);
//   // leaving the scope without a successful Commit removes the temporary file
//
// CZoFile::WriteWholeFileAtomic is the one-call form. Errors are errno-kind CZoErrors that
// name the target, not the temporary name.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

namespace kxmp {

class KXMP_EXPORT AtomicFile {
 public:
  enum CommitMode { kReplace, kKeepExisting };

  AtomicFile() = default;
  ~AtomicFile() { Abandon(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside path. mode is the mode of a new file (before the
  // umask); a replaced file keeps its own mode.
  CZoError Create(const std::string& path, unsigned int mode);
  // The same for the file `name` in the open folder dirFd (the descriptor is duplicated).
  CZoError CreateAt(int dirFd, const std::string& name, unsigned int mode);

  // Writes all of size bytes; a write that makes no progress is ENOSPC.
  CZoError Write(const char* data, size_t size);
  CZoError Write(const std::string& text) { return Write(text.data(), text.size()); }

  // Syncs and closes the temporary file and renames it to the target, then syncs the folder.
  // kKeepExisting fails with EEXIST when the target exists and leaves it untouched. Any
  // failure before the rename removes the temporary file.
  CZoError Commit(CommitMode mode);

  // Removes the temporary file unless committed. Idempotent.
  void Abandon();

  bool IsOpen() const { return file_.valid(); }
  // The open temporary file, for callers that write through their own calls.
  int Fd() const { return file_.get(); }
  const std::string& TargetName() const { return display_; }
  const std::string& TemporaryName() const { return tempName_; }

 private:
  CZoError Open(unsigned int mode);
  CZoError Fail(const FXCodeLocation& where, int e, const char* what);

  UniqueFd dir_;
  UniqueFd file_;
  std::string name_;      // target name inside dir_
  std::string display_;   // target as the caller named it, for errors
  std::string tempName_;  // temporary name inside dir_, empty when there is none
};

}  // namespace kxmp
