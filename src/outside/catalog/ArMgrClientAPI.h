#pragma once
// The archive manager client: answers "on which mount paths does this subclient keep its
// data" from the control server's catalog: the one the registry names (CatalogLocator.h),
// else $KX_HOME/catalog.db; asked read-only, once per call.
//
// getSubclientMountpathList returns 0 and fills ret->mountPaths with the subclient's mount
// paths in position order (a subclient without mount paths gives 0 and an empty list), or a
// non-zero code and leaves ret untouched:
//   2  (kArMgrNoCatalog)  the catalog does not exist
//   5  (kArMgrUnreadable) the catalog cannot be read (not a database, tables missing, damaged)
//   12 (kArMgrNoMemory)   out of memory
//   16 (kArMgrBusy)       a writer held the catalog longer than the busy timeout (5 s)
//   22 (kArMgrBadArgs)    a null argument
//   113 (kArMgrUnreachable) the control server's database cannot be reached (within its
//                         connect timeout, 5 s unless the connection sets another)
// The request's flags select nothing: every attached mount path is returned.
//
// Each entry's raw mount path is "library|[path]|id". A library text holding "|" (possible
// only in a catalog edited by hand) has those characters dropped, so that the path is still
// what lies between the first and the last "|".

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/ArMgrTypes.h"
#include "outside/error/CZoError.h"

constexpr int kArMgrOk = 0;
constexpr int kArMgrNoCatalog = 2;
constexpr int kArMgrUnreadable = 5;
constexpr int kArMgrNoMemory = 12;
constexpr int kArMgrBusy = 16;
constexpr int kArMgrBadArgs = 22;
constexpr int kArMgrUnreachable = 113;

class KXMP_EXPORT ArMgrClientAPI {
 public:
  // Uses the catalog of the home folder.
  ArMgrClientAPI();
  // Uses the SQLite catalog at catalogPath (tools).
  explicit ArMgrClientAPI(std::string catalogPath);

  int getSubclientMountpathList(GetSubclientMountpathListArgs_t* args,
                                GetSubclientMountpathListRet_t* ret);

  // The details of the last failure (success after a successful call).
  const CZoError& getLastError() const { return lastError_; }

  // "library|[path]|id" for one mount path.
  static std::string FormatRawMountPath(const std::string& library, const std::string& path,
                                        int64_t id);

 private:
  CZoError Query(const GetSubclientMountpathListArgs_t& args, GetSubclientMountpathListRet_t& ret);

  std::string catalogPath_;
  CZoError lastError_;
};
