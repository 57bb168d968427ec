// The search of DBLogBackupDataReader: a walk of every context's root folder, matching each
// file name against the pattern; and the search records.

#include <strings.h>

#include <exception>
#include <new>

#include "logbackup/LogBackupLocation.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/DataWriterReaderPattern.h"
#include "logbackup/FileRecords.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

using kxmp::logbackup::OutOfMemoryError;
using kxmp::logbackup::SearchPattern;

namespace {

constexpr int kErrInputMissing = 774;  // Win32 kind
constexpr int kErrEntryFound = 17;     // errno kind: stops the walk
constexpr int kErrNotFound = 2;        // errno kind

// Walks one context's root folder at every depth.
CZoError WalkContext(DataServerSearchInput& input) {
  return AbstractMountingPointDriver::AMWalkDir(input.context.get(), "/", &input, -1, false,
                                                &DBLogBackupDataReader::Walker);
}

bool EntryFound(const CZoError& err) { return FXErrorUtil::IsErrNo(err, kErrEntryFound); }

}  // namespace

DataServerSearchFile::DataServerSearchFile(const char* directory, const char* fileName)
    : directory(directory != nullptr ? directory : ""), fileName(fileName != nullptr ? fileName : "") {}

DataServerSearchResult::DataServerSearchResult(const char* directory, const char* fileName,
                                               DataServerContextPtr context)
    : context(std::move(context)) {
  files.emplace_back(directory, fileName);
}

DataServerSearchInterface::~DataServerSearchInterface() = default;

bool DBLogBackupDataReader::regexSearchHelper(std::string name, DataServerSearchInput* input) {
  if (input == nullptr) return false;
  try {
    // Compiled once per search: the input lives for the whole walk of all contexts.
    if (!input->compiled) input->compiled = std::make_shared<SearchPattern>(input->pattern);
    return input->compiled->Search(name);
  } catch (const std::exception&) {
    return false;
  }
}

CZoError DBLogBackupDataReader::Walker(const char* folder, const char* name, bool isFolder, void* context) try {
  // Folders never match; neither do files still being written (or left by a writer that
  // died): only committed files are served. The records of the stored files are no log.
  if (isFolder || (name != nullptr && (kxmp::logbackup::IsTemporaryName(name) || kxmp::logbackup::IsRecordsName(name)))) {
    return CZoError::Success();
  }
  auto* input = static_cast<DataServerSearchInput*>(context);
  if (input == nullptr) return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrInputMissing, "Input missing");
  if (folder == nullptr) folder = "";
  if (name == nullptr) name = "";
  const bool match = input->pattern.empty() || ::strcasecmp(input->pattern.c_str(), name) == 0 ||
                     regexSearchHelper(name, input);
  if (!match) return CZoError::Success();

  if (input->resultList != nullptr) {
    for (DataServerSearchResult& result : *input->resultList) {
      if (result == input->context) {
        result.files.emplace_back(folder, name);
        return CZoError::Success();
      }
    }
    input->resultList->emplace_back(folder, name, input->context);
    return CZoError::Success();
  }
  if (input->singleResult != nullptr) {
    input->singleResult->files.emplace_back(folder, name);
    if (!input->findAll) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrEntryFound, "Entry found");
    return CZoError::Success();
  }
  if (input->callback != nullptr) {
    const int32_t answer = input->callback->onEntry(folder, name, input->context);
    if (answer == 1 && !input->findAll) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrEntryFound, "Entry found");
    return CZoError::Success();
  }
  return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrInputMissing, "Input missing");
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);  // stops the walk; the search logs it as a failed walk
}

CZoError DBLogBackupDataReader::searchFile(DataServerSearchInput& input) try {
  if (!contextList || contextList->empty()) {
    return FXErrorUtil::ErrorWin32(LOGBACKUP_LOC, kErrInputMissing, "dataserver context not initialized.");
  }
  const DataServerContextPtr walkedFirst = input.context;
  if (walkedFirst) {
    CZoError err = WalkContext(input);
    if (EntryFound(err)) return CZoError::Success();
    if (err.IsSuccess()) {
      KXLOG_TRACE("No error from AMWalkDir-1 ..... input=[%s] ", input.pattern.c_str());
      return CZoError::Success();
    }
  }
  for (const DataServerContextPtr& context : *contextList) {
    if (walkedFirst && context.get() == walkedFirst.get()) continue;
    if (input.singleResult != nullptr) input.singleResult->files.clear();
    input.context = context;
    CZoError err = WalkContext(input);
    CFSHost& host = context->getFSParams().host;
    if (EntryFound(err)) {
      if (input.singleResult != nullptr) input.singleResult->context = context;
      return CZoError::Success();
    }
    if (err.IsSuccess()) {
      KXLOG_NORMAL("Failed to serach for file [%s]  file not found on MA Hostname [%s] Mountpath[%s], trying on next",
                   input.pattern.c_str(), host.hostName.c_str(), host.mountPath.c_str());
      continue;
    }
    KXLOG_ERROR("Error during search MA-datapath-RootFolder [%s-%s-%s] input[%s] error = [%s]", host.hostName.c_str(),
                host.mountPath.c_str(), context->getRootFolder().c_str(), input.pattern.c_str(),
                err.AsString().c_str());
    reportError(err);
  }
  return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, kErrNotFound, "File [%s] not found  ", input.pattern.c_str());
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

namespace {

// Runs one search form: a fresh input with the pattern, findAll and the one target.
template <typename SetTarget>
CZoError RunSearch(DBLogBackupDataReader& reader, const std::string& pattern, bool findAll, SetTarget setTarget) {
  try {
    DataServerSearchInput input;
    input.pattern = pattern;
    input.findAll = findAll;
    setTarget(input);
    CZoError err = reader.searchFile(input);
    if (err.IsError()) return err.Push(LOGBACKUP_LOC);
    return CZoError::Success();
  } catch (...) {
    return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
  }
}

}  // namespace

CZoError DBLogBackupDataReader::checkPattern(const std::string& pattern) try {
  std::string why;
  if (kxmp::logbackup::SearchPattern::Check(pattern, why)) return CZoError::Success();
  return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "[%s] is not a valid regular expression: %s", pattern.c_str(),
                                 why.c_str());
} catch (...) {
  return CaughtError(OutOfMemoryError(), LOGBACKUP_LOC);
}

CZoError DBLogBackupDataReader::search(const std::string& pattern, DataServerSearchResult& result, bool findAll) {
  return RunSearch(*this, pattern, findAll, [&result](DataServerSearchInput& in) { in.singleResult = &result; });
}

CZoError DBLogBackupDataReader::search(const std::string& pattern, std::list<DataServerSearchResult>& results,
                                       bool findAll) {
  return RunSearch(*this, pattern, findAll, [&results](DataServerSearchInput& in) { in.resultList = &results; });
}

CZoError DBLogBackupDataReader::search(const std::string& pattern, DataServerSearchInterface& callback,
                                       bool findAll) {
  return RunSearch(*this, pattern, findAll, [&callback](DataServerSearchInput& in) { in.callback = &callback; });
}
