// Listing and walking below a context's root folder, and the wildcard matching that filters
// listings. The walk hands the caller folder paths relative to the root folder: "" for the
// root folder's own entries, "/sub" deeper down.

#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/DriverLocation.h"
#include "driver/FacadeErrors.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

using kxmp::driver::FacadeOutOfMemory;
using kxmp::driver::kErrAllocation;
using kxmp::driver::kErrMissingInput;
using kxmp::driver::kErrNoInterface;

namespace {

// Drops the entries the mask refuses; the others keep their order.
void KeepMatching(std::vector<std::string>& names, const std::string& mask) {
  std::vector<std::string>::size_type kept = 0;
  for (auto& name : names) {
    if (AbstractMountingPointDriver::WildcardMatch(name.c_str(), mask.c_str(), true)) {
      if (&names[kept] != &name) names[kept] = std::move(name);
      ++kept;
    }
  }
  names.resize(kept);
}

}  // namespace

// Same answers as the plain recursion (a star first matches nothing, then takes one more
// character at a time), but iterative and in at most O(|name| * |mask|) steps: when a later
// star is reached, an earlier one never needs to take more characters, so only the last
// star is kept as a back-up point. No stack use grows with the mask.
bool AbstractMountingPointDriver::WildcardMatch(const char* name, const char* mask, bool ignoreCase) {
  const unsigned char* n = reinterpret_cast<const unsigned char*>(name != nullptr ? name : "");
  const unsigned char* m = reinterpret_cast<const unsigned char*>(mask != nullptr ? mask : "");
  const unsigned char* starMask = nullptr;  // mask just after the last star seen
  const unsigned char* starName = nullptr;  // where that star's share of the name ends
  auto same = [ignoreCase](unsigned char a, unsigned char b) {
    return ignoreCase ? std::toupper(a) == std::toupper(b) : a == b;
  };
  while (*n != '\0') {
    if (*m == '*') {
      while (*m == '*') ++m;
      if (*m == '\0') return true;  // a trailing star takes the rest of the name
      starMask = m;
      starName = n;
      continue;
    }
    if (*m != '\0' && (*m == '?' || same(*m, *n))) {
      ++m;
      ++n;
      continue;
    }
    if (starMask == nullptr) return false;
    m = starMask;  // the last star takes one more character
    n = ++starName;
  }
  while (*m == '*') ++m;
  return *m == '\0';
}

CZoError AbstractMountingPointDriver::AMGetDirContentsWithMask(DataServerContext* context, const std::string& folder,
                                                               std::vector<std::string>& first,
                                                               std::vector<std::string>& second,
                                                               const std::string& mask) try {
  if (context == nullptr) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "DataServerContext not initialized");
  }
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(context->getFSParams()));
  if (!fs) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoInterface, "Failed to create CFSInterface");
  CZoError err = fs->GetDirContents(context->getRootFolder() + folder, first, second);
  if (err.IsError()) KX_RETURN_FAILED(err);
  if (!mask.empty()) {
    KeepMatching(first, mask);
    KeepMatching(second, mask);
  }
  KXLOG_TRACE("AMGetDirContents done [%s]", folder.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError AbstractMountingPointDriver::AMWalkDir(DataServerContext* context, const std::string& folder,
                                                void* callerContext, int level, bool flag,
                                                WalkerFunc callback) try {
  if (context == nullptr) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "DataServerContext not initialized");
  }
  if (callback == nullptr) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No walk callback");
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(context->getFSParams()));
  if (!fs) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrNoInterface, "Failed to create CFSInterface");

  // The record lives exactly as long as the walk; the unique_ptr frees it on every path.
  std::unique_ptr<WALKDIR_CONTEXT> record(new (std::nothrow) WALKDIR_CONTEXT);
  if (record) {
    try {
      record->rootFolder = context->getRootFolder();
    } catch (const std::bad_alloc&) {
      record.reset();
    }
  }
  if (!record) return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrAllocation, "Failed to allocate WALKDIR_CONTEXT");
  record->callback = callback;
  record->context = callerContext;

  std::string walkPath = context->getRootFolder() + folder;
  while (!walkPath.empty() && walkPath.back() == '/') walkPath.pop_back();
  KXLOG_TRACE("AMWalk [%s]", walkPath.c_str());
  CZoError err = fs->WalkDir(walkPath, record.get(), level, flag, WalkerCallbackFunc, 0);
  record.reset();
  if (err.IsError()) KX_RETURN_FAILED(err);  // also a callback's own stop, such as "entry found"
  KXLOG_TRACE("AMWalk done [%s]", folder.c_str());
  return CZoError::Success();
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}

CZoError WalkerCallbackFunc(const char* folder, const char* name, bool isFolder, void* walkContext) try {
  auto* record = static_cast<WALKDIR_CONTEXT*>(walkContext);
  if (record == nullptr || record->callback == nullptr) {
    return FXErrorUtil::ErrorWin32(DRIVER_LOC, kErrMissingInput, "No walk record");
  }
  // Cut the root folder off. A folder path shorter than the root folder (a root folder that
  // ends in "/" lost that slash in the walk path) gives "": never a pointer past its end.
  const size_t cut = record->rootFolder.size();
  const char* relative = "";
  if (folder != nullptr && ::strnlen(folder, cut) == cut) relative = folder + cut;
  return record->callback(relative, name != nullptr ? name : "", isFolder, record->context);
} catch (...) {
  return CaughtError(FacadeOutOfMemory(), DRIVER_LOC);
}
