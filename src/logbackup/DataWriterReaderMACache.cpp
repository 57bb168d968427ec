// The media-agent data-path cache file of LocalFileContext.
//
// The file is replaced, never rewritten in place (AtomicFile): the new content goes to a
// uniquely named temporary file in the same folder, is synced, renamed over the file (which
// keeps its permissions), and the folder is synced. A crash or a full disk at any point
// leaves the previous file whole, and nothing left at a temporary name blocks a later update.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/FXNamedMutex.h"
#include "kxmp/LocalFileContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/AtomicFile.h"
#include "outside/util/FXString.h"

using kxmp::logbackup::OutOfMemoryError;

namespace {

// Shared with the other programs of the suite that read or update the file.
const char kMACacheLock[] = "DBLogWReaderWriter_MACacheOperation";
const char kMACacheFileFormat[] = "%s/2/%lu/DBLogBackupMAPathCache.xml";
// Mode of a new cache file: other programs of the suite read it.
constexpr unsigned int kMACacheFileMode = 0644;

CZoError CacheFilePath(unsigned long subclientId, std::string& path) {
  const char* jobResults = nullptr;
  if (!LocalFileContext::getJobResultsDirectory(jobResults)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, 5, "Failed to get job results directory");
  }
  path = FXString::Format(kMACacheFileFormat, jobResults, subclientId);
  return CZoError::Success();
}

// Replaces the file at path with text (see the top of this file).
CZoError ReplaceCacheFile(const std::string& path, const std::string& text) {
  kxmp::AtomicFile file;
  CZoError err = file.Create(path, kMACacheFileMode);
  if (err.IsSuccess()) err = file.Write(text);
  if (err.IsSuccess()) err = file.Commit(kxmp::AtomicFile::kReplace);
  if (err.IsError()) {
    KXLOG_ERROR("Failed to write MA cache file [%s], error=%s", path.c_str(), err.AsString().c_str());
    return err.Push(LOGBACKUP_LOC, "Failed to write MA cache file [%s]", path.c_str());
  }
  return CZoError::Success();
}

const CNMessageList& DataPaths(Tessel::MADataPathsListCache& cache) {
  return *cache.getlistobject(1, 1, Tessel::kMADataPathsListCacheTag, Tessel::kMADataPathsListCacheDataPathsId,
                              false);
}

std::string HostNameOf(const CNMessageBase& record) {
  return record.getstring(1, 1, Tessel::kMADataPathsTag, Tessel::kMADataPathsHostNameId);
}

std::string MountPathOf(const CNMessageBase& record) {
  return record.getstring(2, 5, Tessel::kMADataPathsTag, Tessel::kMADataPathsMountPathId);
}

// The first record with this mount path and host name (exact, case-sensitive; the mount
// path id does not count), or null.
const CNMessageBase* FindDataPath(const CNMessageList& list, const std::string& hostName,
                                  const std::string& mountPath) {
  for (const CNMessageBase& record : list) {
    if (MountPathOf(record) == mountPath && HostNameOf(record) == hostName) return &record;
  }
  return nullptr;
}

// Reads the cache file as it is now into cache; false when it is missing or unreadable
// (it is then replaced whole by the update).
bool LoadCurrentFile(const std::string& path, Tessel::MADataPathsListCache& cache) {
  if (::access(path.c_str(), F_OK) != 0) return false;
  std::string text;
  CZoError err = CZoFile::ReadWholeFile(path, text);
  if (err.IsError()) {
    KXLOG_TRACE("MA cache file [%s] is not readable, it is replaced: %s", path.c_str(), err.AsString().c_str());
    return false;
  }
  int r = cache.unserialize(text, CNMessageBase::kMaxStoredDocumentSize);
  if (r != 0) {
    KXLOG_TRACE("MA cache file [%s] is not a data-path list (%d), it is replaced", path.c_str(), r);
    return false;
  }
  return true;
}

}  // namespace

CZoError LocalFileContext::readMADataPathsFromMACache(unsigned long subclientId,
                                                      Tessel::MADataPathsListCache& cache) {
  try {
    FXNamedMutex lock(kMACacheLock);
    lock.Lock();

    std::string path;
    CZoError err = CacheFilePath(subclientId, path);
    if (err.IsError()) return err;

    if (::access(path.c_str(), F_OK) != 0) {
      KXLOG_ERROR("Not able to access MA cache file errno = [%d]", errno);
      return CZoError::Success();
    }
    std::string text;
    err = CZoFile::ReadWholeFile(path, text);
    if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Failed to read from the MA cache file [%s] ", path.c_str());

    int r = cache.unserialize(text, CNMessageBase::kMaxStoredDocumentSize);
    if (r != 0) {
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, 5, "Failed to unserialize XML error errCode = [%d] errorStr=[%s]", r, "");
    }
    KXLOG_NORMAL("Successfully read from MA cachefile [%s]", path.c_str());
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::updateMADataPathCache(unsigned long subclientId, Tessel::MADataPathsListCache& cache,
                                                 CFSInitParams* params) {
  try {
    FXNamedMutex lock(kMACacheLock);
    lock.Lock();

    if (params != nullptr) {
      if (const CNMessageBase* listed = FindDataPath(DataPaths(cache), params->host.hostName, params->host.mountPath)) {
        KXLOG_NORMAL("MA path [%s;%s] already in cache", MountPathOf(*listed).c_str(), HostNameOf(*listed).c_str());
        return CZoError::Success();
      }
    }

    std::string path;
    CZoError err = CacheFilePath(subclientId, path);
    if (err.IsError()) return err;

    if (params != nullptr) {
      // The caller read the file before taking this lock; keep what other writers added since.
      CNMessageList* list = cache.getlistobject(1, 1, Tessel::kMADataPathsListCacheTag,
                                                Tessel::kMADataPathsListCacheDataPathsId, true);
      Tessel::MADataPathsListCache onDisk;
      if (LoadCurrentFile(path, onDisk)) {
        for (const CNMessageBase& record : DataPaths(onDisk)) {
          if (FindDataPath(*list, HostNameOf(record), MountPathOf(record)) == nullptr &&
              list->push_back(record) != CNMessageBase::kOk) {
            return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, 8, "Failed to add a data path to the MA cache message");
          }
        }
      }
      if (FindDataPath(*list, params->host.hostName, params->host.mountPath) == nullptr) {
        CNMessageBase* added = list->append();
        if (added == nullptr) {
          return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, 8, "Failed to add a data path to the MA cache message");
        }
        using namespace Tessel;
        added->setstring(2, 5, params->host.mountPath, kMADataPathsTag, kMADataPathsMountPathId);
        added->setstring(1, 1, params->host.hostName, kMADataPathsTag, kMADataPathsHostNameId);
        added->setint64(3, 9, static_cast<int64_t>(params->mountPathId), kMADataPathsTag, kMADataPathsMountPathIdId);
      }
    }

    std::string folder = path.substr(0, path.find_last_of('/'));
    err = CZoDirectory::Create(folder, true);
    if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Failed to create directory [%s]", folder.c_str());

    std::string text;
    int r = cache.serialize(text, false);
    if (r != 0) {
      KXLOG_ERROR("Failed to serailize MA datapath XML, error=[%d]", r);
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, 5, "XML serialization failed while updating the MA cache, error=[%d]", r);
    }
    text += '\n';
    return ReplaceCacheFile(path, text);
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}
