// LocalFileContext: the file-mode back end of log backup and the job results directory.

#include <errno.h>

#include <atomic>
#include <mutex>
#include <new>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/LocalFileContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPI.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"

using kxmp::logbackup::HasParentComponent;
using kxmp::logbackup::OutOfMemoryError;

LocalFileContext::LocalFileContext(unsigned long subclientId) : m_subclientId(subclientId) {}

void LocalFileContext::setRootFolder(const std::string& root) {
  try {
    std::string stored = root;
    if (!stored.empty() && stored.back() != '/') stored += '/';
    m_rootFolder.swap(stored);
  } catch (const std::bad_alloc&) {
    // The previous root stays; the next operation on it reports what fails.
  }
}

bool LocalFileContext::getJobResultsDirectory(const char*& directory) {
  // Filled once, never changed or destroyed afterwards, so the characters handed out stay
  // valid for the life of the process. The mutex makes the first fill happen once even when
  // several threads ask at the same time; a failed fill is tried again by the next call.
  static std::atomic<bool> s_filled{false};
  static std::mutex s_fillMutex;
  try {
    static std::string& s_cacheJobResultsDirectory = *new std::string();
    if (s_filled.load(std::memory_order_acquire)) {
      directory = s_cacheJobResultsDirectory.c_str();
      return true;
    }
    std::lock_guard<std::mutex> guard(s_fillMutex);
    if (!s_filled.load(std::memory_order_relaxed)) {
      KXPI_CommClient commClient;
      KXPlatformInfo platformInfo;
      std::string machine = platformInfo.getPhysicalMachine();
      if (machine.empty()) return false;
      const char* found = commClient.getJobResultsDirectory(machine);
      if (found == nullptr) {
        KXLOG_ERROR("Failed to get job result Directory for [%s] machine.", machine.c_str());
        return false;
      }
      s_cacheJobResultsDirectory = found;
      s_filled.store(true, std::memory_order_release);
    }
    directory = s_cacheJobResultsDirectory.c_str();
    return true;
  } catch (const std::exception&) {
    return false;  // out of memory or a failed mutex: nothing was cached
  }
}

CZoError LocalFileContext::deriveRootFolder() {
  KXPI_CommClient commClient;
  if (commClient.invalidKXPlatform()) return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, 87, "Invalid platform");
  const char* jobResults = nullptr;
  if (!getJobResultsDirectory(jobResults)) {
    KXLOG_ERROR("Failed to get job results directory. Please check the environment.");
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, 5, "Failed to get job results directory");
  }
  m_rootFolder = FXString::Format("%s/2/%lu/", jobResults, m_subclientId);
  return CZoError::Success();
}

CZoError LocalFileContext::openFile(const std::string& name, unsigned int flags, unsigned int mode) {
  try {
    if (m_rootFolder.empty()) {
      CZoError err = deriveRootFolder();
      if (err.IsError()) return err;
    }
    CZoError err;
    if (HasParentComponent(name)) {
      // Names come from the database agent; a ".." would place the file outside the root.
      err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EACCES, "File name [%s] leads out of the root folder [%s]", name.c_str(),
                                    m_rootFolder.c_str());
    } else {
      err = m_file.Open(m_rootFolder + "/" + name, flags, mode);
      if (err.IsError()) err.Push(LOGBACKUP_LOC);
    }
    if (err.IsError()) {
      KXLOG_ERROR("Failed to open file, error=%s", err.AsString().c_str());
      return err;
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::readFile(char* buffer, unsigned int size, unsigned int* bytesRead) {
  try {
    CZoError err = m_file.Read(buffer, size, bytesRead);
    if (err.IsError()) {
      KXLOG_ERROR("Failed to readfile, bytesRead=[%u], error=%s", bytesRead ? *bytesRead : 0u, err.AsString().c_str());
      return err.Push(LOGBACKUP_LOC);
    }
    return err;
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::writeFile(char* buffer, unsigned int size, unsigned int* bytesWritten) {
  try {
    CZoError err = m_file.Write(buffer, size, bytesWritten);
    if (err.IsError()) KXLOG_ERROR("Failed to writefile, error=%s", err.AsString().c_str());
    return err;
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::closeFile() {
  try {
    CZoError err = m_file.Close();
    if (err.IsError()) {
      KXLOG_ERROR("Failed to close the file, error=%s", err.AsString().c_str());
      return err.Push(LOGBACKUP_LOC);
    }
    m_file.Detach(nullptr);
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::createDirectory(const std::string& name) {
  try {
    if (m_rootFolder.empty()) {
      // Without a root there is nothing sensible to create; make the default one.
      CZoError err = deriveRootFolder();
      if (err.IsError()) return err;
    }
    if (HasParentComponent(name)) {
      CZoError err = FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EACCES, "Folder name [%s] leads out of the root folder [%s]",
                                             name.c_str(), m_rootFolder.c_str());
      KXLOG_ERROR("Failed to createDirectory [%s], error=%s", name.c_str(), err.AsString().c_str());
      return err;
    }
    FXPath::Append(m_rootFolder, name);
    CZoError err = CZoDirectory::Create(m_rootFolder, true);
    if (err.IsError()) {
      KXLOG_ERROR("Failed to createDirectory [%s], error=%s", m_rootFolder.c_str(), err.AsString().c_str());
      return err.Push(LOGBACKUP_LOC);
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

CZoError LocalFileContext::removeFile() {
  try {
    std::string name = m_file.GetName();
    m_file.Detach(nullptr);
    if (name.empty()) return CZoError::Success();
    CZoError err = FXFile::RemoveFile(name);
    if (err.IsError()) {
      KXLOG_ERROR("Failed to delete file [%s]", name.c_str());
      return err.Push(LOGBACKUP_LOC, "Failed to delete file [%s]", name.c_str());
    }
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}
