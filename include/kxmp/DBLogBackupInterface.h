#pragma once
// The common base of the log backup writer and reader used by database agents in the
// process. At construction it decides where the files go, once and for good:
//   - data-server mode: the first data-server context of the subclient (the context list
//     comes from KXMAMountingPointSvc::GetDataServerContextList; one writable context for a
//     backup, every reachable one for a restore);
//   - file-mode (chosen by the caller): the local disk through a LocalFileContext;
//   - unusable: neither could be had; every file operation then fails.
// A failure during construction reaches the caller through the log and the error handler
// only; lastErrorText keeps its text.
//
// One thread uses an object at a time. No operation throws.

#include <ctime>
#include <list>
#include <memory>
#include <string>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/LocalFileContext.h"
#include "kxmp/StreamContext.h"
#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

class DataServerContext;

// Implemented by the database agent: told of every failure the log backup classes report.
class KXMP_EXPORT DBLogBackupErrorHandler {
 public:
  virtual void onError(const CZoError& error) = 0;
  virtual ~DBLogBackupErrorHandler();
};

class KXMP_EXPORT DBLogBackupInterface {
 public:
  // backupTime, when not 0, adds its decimal text as one more folder below rootFolder.
  // errorHandler may be null and must outlive the object.
  DBLogBackupInterface(unsigned long subclientId, bool forBackup, bool fileMode, time_t backupTime,
                       const std::string& rootFolder, DBLogBackupErrorHandler* errorHandler, bool useCache);
  // The same; with createRootFolder false a backup's storage is opened without making
  // anything there (no root folder, no cache entry, no file-mode folder): for a dry run.
  DBLogBackupInterface(unsigned long subclientId, bool forBackup, bool fileMode, time_t backupTime,
                       const std::string& rootFolder, DBLogBackupErrorHandler* errorHandler, bool useCache,
                       bool createRootFolder);
  DBLogBackupInterface(const DBLogBackupInterface&) = delete;
  DBLogBackupInterface& operator=(const DBLogBackupInterface&) = delete;

  virtual StreamContext* getStreamContext() = 0;
  virtual ~DBLogBackupInterface();

  // The text of the last recorded failure; empty until one is recorded.
  const std::string& getLastErrorText() const { return lastErrorText; }
  bool isFileMode() const { return fileMode; }
  // The contexts, in list order; empty in file-mode or when initialisation failed.
  std::list<DataServerContextPtr> getContextList() const;

 protected:
  // Hands an error to the caller's handler (when there is one and the result is an error).
  void reportError(const CZoError& error);
  // The front of contextList, or null.
  DataServerContext* firstContext() const;
  // File-mode close of the local file (success without one); a failure records its text
  // and comes back unreported.
  CZoError closeLocalFile();
  // Records a failure text; memory exhaustion leaves the previous text.
  void setLastErrorText(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  unsigned long subclientId;
  std::unique_ptr<std::list<DataServerContextPtr>> contextList;  // never empty when present
  std::unique_ptr<LocalFileContext> localContext;                // file-mode only
  StreamContext streamContext;
  bool fileMode;
  std::string lastErrorText;
  DBLogBackupErrorHandler* errorHandler;
};
