#pragma once
// The file-mode back end of log backup: one local file at a time below a root folder, for one
// subclient. Also home of two process-wide services of the log backup classes: the lookup of
// the machine's job results directory (cached for the life of the process) and the
// media-agent data-path cache file of each subclient:
//   <job results directory>/2/<subclient id>/DBLogBackupMAPathCache.xml
// holding one serialised Tessel::MADataPathsListCache followed by one line break. Every read
// and update of that file holds the named lock "DBLogWReaderWriter_MACacheOperation", which
// other programs of the suite take as well.
//
// The default root folder is "<job results directory>/2/<subclient id>/". File names given
// to openFile and createDirectory stay below the root folder: a ".." component is refused
// (errno-kind EACCES).
//
// Owned by one writer or reader and used by one thread at a time; the static operations may
// be called from any thread. No operation throws.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInitParams.h"
#include "outside/error/CZoError.h"
#include "outside/util/CZoFile.h"
#include "outside/xml/TesselMessages.h"

class KXMP_EXPORT LocalFileContext {
 public:
  explicit LocalFileContext(unsigned long subclientId);
  LocalFileContext(const LocalFileContext&) = delete;
  LocalFileContext& operator=(const LocalFileContext&) = delete;

  // Stores the root, ending it with "/". An empty root clears it, so that the default root is
  // derived again on the next openFile.
  void setRootFolder(const std::string& root);
  std::string& getRootFolder() { return m_rootFolder; }

  // Opens root folder + "/" + name with open(2) flags and mode; derives the default root
  // folder first when none is set.
  CZoError openFile(const std::string& name, unsigned int flags, unsigned int mode);
  CZoError readFile(char* buffer, unsigned int size, unsigned int* bytesRead);
  // One write; *bytesWritten may be less than size.
  CZoError writeFile(char* buffer, unsigned int size, unsigned int* bytesWritten);
  // Makes the data durable and closes. On failure the file stays attached, so removeFile can
  // still delete it.
  CZoError closeFile();
  // Appends name to the root folder (which keeps the result) and creates that folder with its
  // missing parents. An empty name creates the root folder itself; with no root folder set,
  // the default one is derived first.
  CZoError createDirectory(const std::string& name);
  // Deletes the file opened last (if any) and forgets it.
  CZoError removeFile();

  // The machine's job results directory. Looked up once per process; the pointer stays valid
  // for the life of the process. False (and the out-argument untouched) when the platform has
  // none; a later call tries again.
  static bool getJobResultsDirectory(const char*& directory);

  // Fills cache from the subclient's data-path cache file. A missing file is success and
  // leaves cache as it was.
  static CZoError readMADataPathsFromMACache(unsigned long subclientId, Tessel::MADataPathsListCache& cache);
  // Adds the data path of params (host name, mount path, mount path id) to cache unless a
  // record with the same mount path and host name (exact, case-sensitive; the id does not
  // count) is listed there, in which case nothing changes on disk. Records that other writers
  // put in the file since the caller read it are kept: they are appended to cache (in file
  // order, before the new record). The file is then replaced atomically with cache. Null
  // params writes cache exactly as it is.
  static CZoError updateMADataPathCache(unsigned long subclientId, Tessel::MADataPathsListCache& cache,
                                        CFSInitParams* params);

 private:
  CZoError deriveRootFolder();

  CZoFile m_file;
  std::string m_rootFolder;
  unsigned long m_subclientId;
};
