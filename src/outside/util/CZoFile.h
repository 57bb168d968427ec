#pragma once
// A local file of the utility library: open with POSIX flags and mode, read, write, close.
// Errors are errno-kind CZoErrors whose message names the path. EINTR is retried.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

class KXMP_EXPORT CZoFile {
 public:
  CZoFile() = default;
  ~CZoFile() = default;  // the descriptor is closed by its owner object
  CZoFile(const CZoFile&) = delete;
  CZoFile& operator=(const CZoFile&) = delete;

  CZoError Open(const std::string& path, unsigned int flags, unsigned int mode);
  // One read at the current position; *bytesRead 0 at end of file.
  CZoError Read(char* buffer, unsigned int size, unsigned int* bytesRead);
  // One write at the current position; *bytesWritten may be less than size.
  CZoError Write(const char* buffer, unsigned int size, unsigned int* bytesWritten);
  // Flushes to stable storage, then closes. The name stays until Detach.
  CZoError Close();
  CZoError Sync();
  // Releases the object's hold on the file: with a non-null out the caller takes the open
  // descriptor (or -1), with null an open descriptor is closed. The name is forgotten.
  void Detach(int* fdOut = nullptr);

  const std::string& GetName() const { return name_; }
  bool IsOpen() const { return fd_.valid(); }
  int Fd() const { return fd_.get(); }

  static CZoError ReadWholeFile(const std::string& path, std::string& out);
  // Writes a whole file atomically with kxmp::AtomicFile (AtomicFile.h): a unique temporary
  // file in the same folder, fsync, rename, fsync of the folder; a replaced file keeps its
  // permissions. Readers see the old or the new content, never a part.
  static CZoError WriteWholeFileAtomic(const std::string& path, const std::string& content,
                                       unsigned int mode = 0640);

 private:
  kxmp::UniqueFd fd_;
  std::string name_;
};

struct KXMP_EXPORT CZoDirectory {
  // Creates the folder (mode 0750); withParents creates missing parents. An existing folder
  // is success.
  static CZoError Create(const std::string& path, bool withParents);
  // Removes the folder; recursive removes its contents first (symbolic links are removed,
  // never followed). The flag is reserved. A missing folder is an errno ENOENT error.
  static CZoError Remove(const std::string& path, bool recursive, bool flag);
};

struct KXMP_EXPORT FXFile {
  static CZoError RemoveFile(const std::string& path);
  // fsync of a folder, to make a rename or a creation in it durable.
  static CZoError SyncDirectory(const std::string& path);
};
