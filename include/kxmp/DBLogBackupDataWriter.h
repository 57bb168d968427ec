#pragma once
// Writes the transaction log files of one stream of a database agent, and at its end the
// stream metadata document and the data path used into the MA data-path cache file.
//
// On a data-server context a log file is created as "<name>.tmp" and renamed to <name> only
// after a successful close, which has made the data durable: a file under its final name is
// always complete. In file-mode the local file is written under its final name.
//
// Expected order: open, write..., close (then verifyBackedupFile if wanted; removeFile after
// a failure); enableWriteMetadata once if the metadata document is wanted; destroy. The
// destructor closes (and commits) a file still open, writes "StreamMetadata_<stream>.xml"
// when enabled, and updates the data-path cache file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kxmp/DBLogBackupInterface.h"

class KXMP_EXPORT DBLogBackupDataWriter : public DBLogBackupInterface {
 public:
  DBLogBackupDataWriter(unsigned long subclientId, bool fileMode, time_t backupTime, int32_t streamNumber,
                        const std::string& rootFolder, DBLogBackupErrorHandler* errorHandler, bool useCache);
  ~DBLogBackupDataWriter() override;

  // Adds a file record to the stream metadata (also when the open fails), then opens
  // "<name>.tmp" below the root folder (data-server) or <name> (file-mode). A name with a
  // ".." component is refused. A temporary file opened for writing is always truncated, so a
  // leftover of an interrupted backup never lends its tail to the new file.
  CZoError open(const std::string& name, unsigned int flags, unsigned int mode);
  // Writes all of length bytes (any size; in passes of at most 1 GiB).
  CZoError write(const char* buffer, size_t length);
  // Closes the open file and renames it to its final name. On failure the file is removed
  // (name: the file to remove; empty means the temporary file of the last record).
  CZoError close(const std::string& name);
  // Deletes a file after a recorded failure (empty name: the last record's temporary file,
  // whose record is then dropped). Failures are logged and reported; always success.
  CZoError removeFile(const std::string& name);
  // Writes document as fileName through open, write and close.
  CZoError writeMetadata(const std::string& document, const std::string& fileName);
  // Success when the file exists below the root folder (data-server) or locally.
  CZoError verifyBackedupFile(const std::string& path);
  std::string getRootFolder();
  CZoError setRootFolder(const std::string& root);
  void enableWriteMetadata() { writeMetadataEnabled = true; }
  StreamContext* getStreamContext() override { return &streamContext; }
  DataServerContextPtr getDataServerContextPtrForBackup();

  bool isFileCommitted() const { return fileCommitted; }

 private:
  void finish() noexcept;

  bool fileCommitted = false;
  bool writeMetadataEnabled = false;
};
