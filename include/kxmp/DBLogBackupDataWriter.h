#pragma once
// Writes the transaction log files of one stream of a database agent, and at its end the
// stream metadata document and the data path used into the MA data-path cache file.
//
// The write protocol, one for every client machine that writes to a storage host:
//   - open creates this machine's temporary file of the name, "<name>.<writer id>.tmp"
//     (unique to this machine; see logbackup/StorageNames.h), exclusively (O_CREAT|O_EXCL),
//     and holds a machine-wide lock of it for the file's life. A second writer of the name on
//     this machine (another object or process) fails with errno EBUSY ("... is being written
//     by another writer"); writers on other machines have temporary files of their own. A
//     temporary file of this machine that nobody holds is a dead writer's leftover: it is
//     removed and created again. Files of other machines are never touched.
//   - close makes the data durable and renames the file to <name> in one step that refuses an
//     existing <name> (EEXIST, "already stored"), unless setReplaceExisting(true) asked to
//     replace it; then it checks that <name> holds the bytes written (their count) before it
//     reports success. A file under its final name is always one whole version.
//   - a file whose write failed is never committed: close (and finish, and the destructor)
//     remove its temporary file and fail. A failed close or rename removes the temporary
//     file only, never the final name.
//   - names the system keeps for itself are refused (EINVAL): names ending in ".tmp" (files
//     being written, locks, set-aside copies; the reader's search skips them), stream metadata
//     documents' names, and in file-mode the data-path cache file's name.
// In file-mode the local file goes the same way: a temporary file beside it (AtomicFile),
// synced, renamed to its name (not replacing one unless asked), the folder synced.
// The stream metadata document is the union of what every writer of the stream committed:
// finish merges this writer's records into it under a lock of the storage host
// (logbackup/SharedDocument.h).
// Every byte written is checksummed (SHA-256) as it is written; finish merges the records of
// the files this writer committed (name, size, checksum, open time) into the root folder's
// records document ".kxmp-sha256" the same way, after the files themselves are durable
// (logbackup/FileRecords.h). A commit that replaces a stored file replaces its record with it.
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

namespace kxmp {
class AtomicFile;
namespace logbackup {
class TemporaryFile;
class WriterRecords;
}  // namespace logbackup
}  // namespace kxmp

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

  // Adds a file record to the stream metadata (also when the open fails), then creates this
  // machine's temporary file of name below the root folder (see the protocol above; in
  // file-mode a local one beside <name>). A name with a ".." component (EACCES), a reserved
  // name (EINVAL) or a component over 255 bytes (ENAMETOOLONG) is refused. A file still open
  // from an earlier open is abandoned first.
  CZoError open(const std::string& name, unsigned int flags, unsigned int mode);
  // Writes all of length bytes (any size; in passes of at most 1 GiB). After a failure the
  // open file can no longer be committed.
  CZoError write(const char* buffer, size_t length);
  // Reads up to size bytes from the descriptor fd (one read, repeated after EINTR) and writes
  // them to the open file as write does; done is their number, 0 at the end of fd. The bytes
  // are checksummed beside the write, without the copy write makes. A failure to read fd
  // writes nothing (errno of the read; the file can still be committed).
  CZoError writeFrom(int fd, size_t size, size_t& done);
  // Commits the open file: closes it and renames it to its final name, which must not exist
  // (EEXIST) unless replacing was asked for, then checks the final name holds what was
  // written. On failure, or when a write to it failed, the temporary file is removed and its
  // record dropped; the final name is never touched. name is not used (the file opened last
  // is committed).
  CZoError close(const std::string& name);
  // Whether close may replace a stored file of the same name (false by default: it refuses).
  void setReplaceExisting(bool replace) { replaceExisting = replace; }
  // Closes the open file without committing it, removes its temporary file (the local file
  // in file-mode) and drops its record from the stream metadata. Success when nothing is
  // open; the removal's error otherwise.
  CZoError abandonFile();
  // Deletes a file after a recorded failure. An empty name, or the name of the file opened
  // last, means that file's temporary file, never its committed copy (an empty name also
  // drops its record); a temporary file this writer did not create is never deleted.
  // Failures are logged and reported; always success.
  CZoError removeFile(const std::string& name);
  // Writes document as fileName below the root folder, replacing what is there: through this
  // machine's temporary file under the storage host's lock of the name (data-server), or a
  // local temporary file (file-mode). No file record is added.
  CZoError writeMetadata(const std::string& document, const std::string& fileName);
  // Success when the file exists below the root folder (data-server) or locally.
  CZoError verifyBackedupFile(const std::string& path);
  // Lists in this writer's stream metadata a file of the stream that is stored below the
  // root folder already: written by another writer of the same stream (several writers
  // working in parallel, one of them holding the metadata document), or by an earlier run
  // with the same content. openTime is the time its record carries. The file must exist
  // (verifyBackedupFile); no file may be open. Counts as a committed file.
  CZoError addBackedupFile(const std::string& name, time_t openTime);
  // Takes over the records of the files another writer of the same stream committed in this
  // writer's root folder on the same storage (writers working in parallel): their checksums,
  // which other's finish then no longer merges, and their stream metadata records, as
  // addBackedupFile would list them without looking at the files again. This writer's finish
  // merges them with its own, so each document is changed once for all the writers. Neither
  // writer may be finished (EINVAL), other may have no file open (EBUSY); other storage or
  // another root folder is EINVAL. On failure the checksums stay other's to merge.
  CZoError takeRecordsOf(DBLogBackupDataWriter& other);
  std::string getRootFolder();
  CZoError setRootFolder(const std::string& root);
  void enableWriteMetadata() { writeMetadataEnabled = true; }
  StreamContext* getStreamContext() override { return &streamContext; }
  DataServerContextPtr getDataServerContextPtrForBackup();

  // Ends the stream: commits a file still open (abandons it when a write to it failed),
  // merges the records of the files this writer committed into "StreamMetadata_<stream>.xml"
  // when enabled (none committed: the document is left alone), and updates the data-path
  // cache file. Returns the first failure, its message naming what was not
  // written; every failure is also logged and reported. Idempotent: later calls return the
  // first call's result and do nothing.
  CZoError finish();

  bool isFileCommitted() const { return fileCommitted; }

 private:
  CZoError openLocal(const std::string& name, unsigned int mode);
  // Before a commit: the open file (its handle's fstat) holds as many bytes as were written.
  // A commit that refuses an existing name then proves by its own answer what the name
  // holds; after a replacing commit the final name is checked as well (checkCommitted).
  CZoError checkWritten(struct stat& written);
  // After a replacing commit: the final name holds as many bytes as were written; after
  // (when given) gets what the storage said of it.
  CZoError checkCommitted(DataServerContext* context, struct stat* after = nullptr);
  CZoError writeBytes(const char* buffer, size_t length);
  // The commits of close on a data-server context and in file-mode (the checksum done).
  CZoError commitTemporary(DataServerContext* context, const struct stat& written);
  CZoError commitLocal();
  CZoError writeStreamMetadata(DataServerContext* context);
  // Drops the open file without committing it: closes it, removes its temporary (or local)
  // file and releases its locks. The removal's error.
  CZoError discardOpenFile();
  // The failure of a commit: the open file is discarded and its record dropped.
  CZoError failCommit(const CZoError& err);
  CZoError updateDataPathCache();
  void addRecord(const std::string& name, time_t openTime);
  void dropLastRecord();

  bool fileCommitted = false;
  bool writeMetadataEnabled = false;
  bool fileOpen = false;     // between a successful open and close or abandonFile
  bool writeFailed = false;  // a write to the open file failed: it must not be committed
  bool finished = false;
  bool replaceExisting = false;
  std::string openName;                  // final name of the open file
  uint64_t bytesWritten = 0;             // to the open file
  std::vector<bool> recordStored;         // per file record: committed under its final name
  std::unique_ptr<kxmp::logbackup::TemporaryFile> temporary;  // the open file's (data-server)
  std::unique_ptr<kxmp::AtomicFile> localFile;                 // the open file (file-mode)
  std::unique_ptr<kxmp::logbackup::WriterRecords> records;     // checksums; null without storage
  CZoError finishResult;
};
