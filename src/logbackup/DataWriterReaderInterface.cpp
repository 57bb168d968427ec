// DBLogBackupInterface: where a log backup writer or reader keeps its files, chosen once at
// construction (a data-server context of the subclient, or local files in file-mode).

#include <cstdarg>
#include <exception>

#include "kxmp/DBLogBackupInterface.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"

DBLogBackupErrorHandler::~DBLogBackupErrorHandler() = default;

DBLogBackupInterface::DBLogBackupInterface(unsigned long subclientId, bool forBackup, bool fileMode,
                                           time_t backupTime, const std::string& rootFolder,
                                           DBLogBackupErrorHandler* errorHandler, bool useCache)
    : DBLogBackupInterface(subclientId, forBackup, fileMode, backupTime, rootFolder, errorHandler, useCache, true) {}

DBLogBackupInterface::DBLogBackupInterface(unsigned long subclientId, bool forBackup, bool fileMode,
                                           time_t backupTime, const std::string& rootFolder,
                                           DBLogBackupErrorHandler* errorHandler, bool useCache,
                                           bool createRootFolder)
    : subclientId(subclientId), fileMode(fileMode), errorHandler(errorHandler) {
  try {
    if (fileMode) {
      KXLOG_NORMAL("Will use file-mode.");
      localContext = std::make_unique<LocalFileContext>(subclientId);
      if (!rootFolder.empty()) localContext->setRootFolder(rootFolder);
      if (!forBackup || !createRootFolder) return;
      CZoError err = localContext->createDirectory("");
      if (err.IsError()) {
        KXLOG_ERROR("Error encountered while creating directory [%s]", localContext->getRootFolder().c_str());
        reportError(err);
      }
      return;
    }

    KXMAMountingPointSvc* service = KXMAMountingPointSvc::getInstance();
    CZoError err = service->AllocateDriverPtr(false);
    if (err.IsError()) {
      KXLOG_ERROR("Error encountered while allocating driver pointer");
      reportError(err);
    }
    contextList = std::make_unique<std::list<DataServerContextPtr>>();
    std::string path = rootFolder;
    if (backupTime != 0) {
      FXPath::Append(path, FXString::Format("%llu", static_cast<unsigned long long>(backupTime)));
    }
    err = service->GetDataServerContextList(subclientId, *contextList, forBackup, useCache, path, true,
                                            createRootFolder);
    if (err.IsError() || contextList->empty()) {
      setLastErrorText("Failed to initialize DataServer API context, error=%s", err.AsString().c_str());
      KXLOG_ERROR("%s", lastErrorText.c_str());
      reportError(err);
      contextList.reset();
      return;
    }
    KXLOG_NORMAL("DataServer context initialized successfully [%s] ",
                 contextList->front()->getFSParams().host.hostName.c_str());
  } catch (const std::exception& e) {
    // Out of memory: the object stays, in the unusable mode (or file-mode as far as it got).
    contextList.reset();
    KXLOG_ERROR("Failed to initialize the log backup object: %s", e.what());
  }
}

DBLogBackupInterface::~DBLogBackupInterface() = default;

std::list<DataServerContextPtr> DBLogBackupInterface::getContextList() const {
  try {
    if (contextList) return *contextList;
  } catch (const std::exception&) {
  }
  return {};
}

void DBLogBackupInterface::reportError(const CZoError& error) {
  if (!error.IsError() || errorHandler == nullptr) return;
  try {
    errorHandler->onError(error);
  } catch (...) {
    // The handler is the caller's code; whatever it throws must not unwind through ours.
  }
}

DataServerContext* DBLogBackupInterface::firstContext() const {
  if (!contextList || contextList->empty()) return nullptr;
  return contextList->front().get();
}

CZoError DBLogBackupInterface::closeLocalFile() {
  if (!localContext) return CZoError::Success();
  CZoError err = localContext->closeFile();
  if (err.IsError()) setLastErrorText("Failed to close the file, error=%s", err.AsString().c_str());
  return err;
}

void DBLogBackupInterface::setLastErrorText(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  try {
    std::string text = FXString::FormatV(fmt, ap);
    lastErrorText.swap(text);
  } catch (const std::exception&) {
  }
  va_end(ap);
}
