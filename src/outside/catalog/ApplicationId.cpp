#include "outside/catalog/ApplicationId.h"

#include <errno.h>

#include <new>

#include "outside/catalog/CatalogLocator.h"
#include "outside/catalog/CatalogValidation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

using kxmp::catalog::SubclientRecord;

namespace {

// The GUID names a folder on the storage host: only a usable one is handed out.
int CopyGuid(const std::string& guid, std::string& out) {
  int rc = kxmp::catalog::GuidProblem(guid);
  if (rc != 0) return rc;
  try {
    out = guid;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

// Reads the subclient's row from the catalog: 0 found, 2 unknown or no catalog, else failed.
int ReadRow(const std::string& catalogPath, uint64_t subclientId, SubclientRecord& out, CZoError& err) {
  std::unique_ptr<kxmp::catalog::CatalogStore> store;
  err = kxmp::catalog::OpenCatalogStore(catalogPath, store);
  bool found = false;
  if (!err.IsError()) err = store->FindSubclient(subclientId, out, found);
  if (err.IsError()) return FXErrorUtil::Number(err);
  if (!found) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Subclient [%llu] is not in catalog [%s]",
                                  static_cast<unsigned long long>(subclientId), store->Name().c_str());
    return ENOENT;
  }
  return 0;
}

}  // namespace

int CatalogGuidHolder::getGUIDStr(std::string& out, void*) { return CopyGuid(guid_, out); }

ApplicationId::ApplicationId(int appType, unsigned long subclientId)
    : ApplicationId(appType, subclientId, std::string()) {}

ApplicationId::ApplicationId(int appType, unsigned long subclientId, std::string catalogPath)
    : appType_(appType), subclientId_(subclientId), catalogPath_(std::move(catalogPath)) {}

ApplicationId::~ApplicationId() = default;

bool ApplicationId::Load() {
  if (loaded_) return subclient_ != nullptr;
  loaded_ = true;
  try {
    if (appType_ != kAppTypeSubclient) {
      lastError_ = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown application type [%d]", appType_);
      return false;
    }
    SubclientRecord row;
    int rc = 0;
    auto standIn = kxmp::catalog::CurrentCatalogStandIn();
    if (standIn && standIn->Identity(subclientId_, row, rc)) {
      if (rc != 0) lastError_ = FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Identity lookup failed");
    } else {
      rc = ReadRow(catalogPath_, subclientId_, row, lastError_);
      if (rc != 0 && rc != ENOENT) KXLOG_ERROR("%s", lastError_.AsString().c_str());
    }
    if (rc != 0) return false;
    subclient_ = std::make_unique<Subclient>(row.guid);
    backupSet_ = std::make_unique<BackupSet>(row.backupsetGuid);
    return true;
  } catch (...) {
    // Out of memory, or a stand-in threw: the identity stays unknown.
    subclient_.reset();
    backupSet_.reset();
    return false;
  }
}

Subclient* ApplicationId::getSubclient(void*) { return Load() ? subclient_.get() : nullptr; }

ApplicationId* ApplicationId::getInstance(void*) { return Load() ? this : nullptr; }

BackupSet* ApplicationId::getBackupSet(void*) { return Load() ? backupSet_.get() : nullptr; }
