#include "outside/catalog/ArMgrClientAPI.h"

#include <errno.h>

#include <algorithm>
#include <new>

#include "outside/catalog/CatalogLocator.h"
#include "outside/catalog/CatalogOutage.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"

ArMgrClientAPI::ArMgrClientAPI() : ArMgrClientAPI(std::string()) {}

ArMgrClientAPI::ArMgrClientAPI(std::string catalogPath) : catalogPath_(std::move(catalogPath)) {}

std::string ArMgrClientAPI::FormatRawMountPath(const std::string& library, const std::string& path,
                                               int64_t id) {
  std::string lib = library;
  lib.erase(std::remove(lib.begin(), lib.end(), '|'), lib.end());
  return lib + "|[" + path + "]|" + std::to_string(id);
}

CZoError ArMgrClientAPI::Query(const GetSubclientMountpathListArgs_t& args,
                               GetSubclientMountpathListRet_t& ret) {
  std::unique_ptr<kxmp::catalog::CatalogStore> store;
  CZoError err = kxmp::catalog::OpenCatalogStore(catalogPath_, store);
  if (err.IsError()) return err.Push(FX_LOC);
  std::vector<kxmp::catalog::AttachedMountPath> rows;
  err = store->AttachedMountPaths(args.subclientId, rows);
  // Reads reach the mount paths detached from the subclient too: what is stored there stays
  // findable. They come last, with their own kind, which writers never take.
  if (!err.IsError() && args.forRead != 0) err = store->DetachedMountPaths(args.subclientId, rows);
  if (err.IsError()) return err.Push(FX_LOC, "Cannot list the mount paths of subclient [%llu]",
                                     static_cast<unsigned long long>(args.subclientId));
  GetSubclientMountpathListRet_t reply;
  reply.subclientId = args.subclientId;
  reply.mountPaths.reserve(rows.size());
  for (const auto& row : rows) {
    MountpathInfo_t info;
    info.mountPathId = row.mountPath.id;
    info.rawMountPath = FormatRawMountPath(row.mountPath.library, row.mountPath.path, row.mountPath.id);
    info.kind = row.kind;
    info.position = row.position;
    info.hostNameMangled = row.mountPath.host;
    reply.mountPaths.push_back(std::move(info));
  }
  ret = std::move(reply);
  return CZoError::Success();
}

int ArMgrClientAPI::getSubclientMountpathList(GetSubclientMountpathListArgs_t* args,
                                              GetSubclientMountpathListRet_t* ret) {
  try {
    lastError_ = CZoError::Success();
    if (args == nullptr || ret == nullptr) {
      lastError_ = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "getSubclientMountpathList: null argument");
      return kArMgrBadArgs;
    }
    int result = 0;
    if (auto standIn = kxmp::catalog::CurrentCatalogStandIn()) {
      if (standIn->MountPaths(*args, *ret, result)) return result;
    }

    lastError_ = Query(*args, *ret);
    if (!lastError_.IsError()) {
      kxmp::catalog::NoteCatalogAnswered();
      return kArMgrOk;
    }
    int number = FXErrorUtil::Number(lastError_);
    if (number != ENOMEM) kxmp::catalog::NoteCatalogFailed(lastError_);
    switch (number) {
      case ENOENT:
        KXLOG_DETAIL("%s", lastError_.AsString().c_str());
        return kArMgrNoCatalog;
      case EBUSY:
      case ENOMEM:
      case EHOSTUNREACH:
        KXLOG_ERROR("%s", lastError_.AsString().c_str());
        return number;
      default:
        KXLOG_ERROR("%s", lastError_.AsString().c_str());
        return kArMgrUnreadable;
    }
  } catch (const std::bad_alloc&) {
    return kArMgrNoMemory;
  } catch (...) {
    // A stand-in threw: report it as a failed call, never let it out.
    return kArMgrUnreadable;
  }
}
