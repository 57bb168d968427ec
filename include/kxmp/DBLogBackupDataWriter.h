#pragma once
// Writes the transaction log files of one stream of a database agent, and at its end the
// stream metadata document and the data path used into the MA data-path cache file.
//
// The write protocol on a data-server context:
//   - open creates "<name>.tmp" exclusively (O_CREAT|O_EXCL) and holds, for the file's life,
//     a machine-wide named lock keyed by the storage host and the temporary file's full path
//     on the storage, plus the backend's own file lock where the backend has one. A second
//     writer of the same name, in this process or another one on this machine, fails with
//     errno EBUSY ("... is being written by another writer"). A "<name>.tmp" that nobody
//     holds is the leftover of a writer that died: it is removed and created again.
//     Writers of one name on different client machines are not told apart by the named lock
//     (a subclient's logs come from its one client); only a backend file lock would.
//   - close makes the data durable and renames the file to <name>, atomically replacing an
//     earlier committed copy: a file under its final name is always one whole version.
//   - a file whose write failed is never committed: close (and finish, and the destructor)
//     remove its temporary file and fail. A failed close or rename removes the temporary
//     file only, never the final name.
//   - final names ending in ".tmp" are refused (EINVAL): that suffix marks files being
//     written, which the reader's search skips.
// In file-mode the local file is written under its final name.
//
// Expected order: open, write..., close (then verifyBackedupFile if wanted); abandonFile
// when the caller's own source fails partway; enableWriteMetadata once if the metadata
// document is wanted; finish to learn whether the metadata and cache file were written;
// destroy. The destructor runs finish when the caller has not.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kxmp/DBLogBackupInterface.h"

class KxByteLock;

class KXMP_EXPORT DBLogBackupDataWriter : public DBLogBackupInterface {
 public:
  DBLogBackupDataWriter(unsigned long subclientId, bool fileMode, time_t backupTime, int32_t streamNumber,
                        const std::string& rootFolder, DBLogBackupErrorHandler* errorHandler, bool useCache);
  // The same; with createRootFolder false the storage is opened without making anything there
  // (a dry run: its checks read, and open must not be called).
  DBLogBackupDataWriter(unsigned long subclientId, bool fileMode, time_t backupTime, int32_t streamNumber,
                        const std::string& rootFolder, DBLogBackupErrorHandler* errorHandler, bool useCache,
                        bool createRootFolder);
  ~DBLogBackupDataWriter() override;

  // Adds a file record to the stream metadata (also when the open fails), then creates
  // "<name>.tmp" below the root folder (data-server; see the protocol above) or opens <name>
  // (file-mode). A name with a ".." component (EACCES) or ending in ".tmp" (EINVAL) is
  // refused. A file still open from an earlier open is abandoned first.
  CZoError open(const std::string& name, unsigned int flags, unsigned int mode);
  // Writes all of length bytes (any size; in passes of at most 1 GiB). After a failure the
  // open file can no longer be committed.
  CZoError write(const char* buffer, size_t length);
  // Commits the open file: closes it and renames it to its final name. On failure, or when a
  // write to it failed, the temporary file is removed and its record dropped; the final
  // name is never touched. name is used only in file-mode, to clean up a failed close.
  CZoError close(const std::string& name);
  // Closes the open file without committing it, removes its temporary file (the local file
  // in file-mode) and drops its record from the stream metadata. Success when nothing is
  // open; the removal's error otherwise.
  CZoError abandonFile();
  // Deletes a file after a recorded failure. An empty name, or the name of the file opened
  // last, means that file's temporary file, never its committed copy (an empty name also
  // drops its record); a temporary file this writer did not create is never deleted.
  // Failures are logged and reported; always success.
  CZoError removeFile(const std::string& name);
  // Writes document as fileName through open, write and close.
  CZoError writeMetadata(const std::string& document, const std::string& fileName);
  // Success when the file exists below the root folder (data-server) or locally.
  CZoError verifyBackedupFile(const std::string& path);
  // Lists in this writer's stream metadata a file of the stream that is stored below the
  // root folder already: written by another writer of the same stream (several writers
  // working in parallel, one of them holding the metadata document), or by an earlier run
  // with the same content. openTime is the time its record carries. The file must exist
  // (verifyBackedupFile); no file may be open. Counts as a committed file.
  CZoError addBackedupFile(const std::string& name, time_t openTime);
  std::string getRootFolder();
  CZoError setRootFolder(const std::string& root);
  void enableWriteMetadata() { writeMetadataEnabled = true; }
  StreamContext* getStreamContext() override { return &streamContext; }
  DataServerContextPtr getDataServerContextPtrForBackup();

  // Ends the stream: commits a file still open (abandons it when a write to it failed),
  // writes "StreamMetadata_<stream>.xml" when enabled, listing the files this writer
  // committed (none committed: no document, so an earlier one stays), and updates the
  // data-path cache file. Returns the first failure, its message naming what was not
  // written; every failure is also logged and reported. Idempotent: later calls return the
  // first call's result and do nothing.
  CZoError finish();

  bool isFileCommitted() const { return fileCommitted; }

 private:
  CZoError createTemporary(DataServerContext* context, const std::string& name, unsigned int flags,
                           unsigned int mode);
  // Drops the open file without committing it: closes it, removes its temporary (or local)
  // file and releases its locks. The removal's error.
  CZoError discardOpenFile();
  // The failure of a commit: the open file is discarded and its record dropped.
  CZoError failCommit(const CZoError& err);
  CZoError updateDataPathCache();
  void addRecord(const std::string& name);
  void dropLastRecord();

  bool fileCommitted = false;
  bool writeMetadataEnabled = false;
  bool fileOpen = false;     // between a successful open and close or abandonFile
  bool writeFailed = false;  // a write to the open file failed: it must not be committed
  bool finished = false;
  std::string openName;                  // final name of the open file
  std::vector<bool> recordStored;         // per file record: committed under its final name
  std::unique_ptr<KxByteLock> tmpLock;  // held while this writer owns "<openName>.tmp"
  CZoError finishResult;
};
