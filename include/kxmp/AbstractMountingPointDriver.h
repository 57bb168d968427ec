#pragma once
// The mount-point driver owned by the service. The virtual operations bring mount points up
// and down; the class also carries the static mount-path, context and file operations.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/MountPathInfo.h"
#include "kxmp/kxmp_export.h"
#include "outside/catalog/ArMgrTypes.h"
#include "outside/dataserver/CFSInterface.h"
#include "outside/dataserver/CFileInterface.h"
#include "outside/error/CZoError.h"

class DataServerContext;

// The per-walk record that carries the caller's callback through the data server's walk.
struct KXMP_EXPORT WALKDIR_CONTEXT {
  WalkerFunc callback = nullptr;
  std::string rootFolder;  // copied from the context's root folder
  void* context = nullptr;
};

// Adapter handed to the data server's walk: cuts the root folder off the folder path.
KXMP_EXPORT CZoError WalkerCallbackFunc(const char* folder, const char* name, bool isFolder, void* walkContext);

class KXMP_EXPORT AbstractMountingPointDriver {
 public:
  AbstractMountingPointDriver() = default;
  AbstractMountingPointDriver(const AbstractMountingPointDriver&) = delete;
  AbstractMountingPointDriver& operator=(const AbstractMountingPointDriver&) = delete;

  // Brings up one mount point on one given mount path.
  virtual CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                              const std::string& serverMangledName, const std::string& pathToMount,
                              int mountPathId, bool flag) = 0;
  // Brings up one mount point over a list of mount paths.
  virtual CZoError Initialize(const std::string& mountingPoint, unsigned long subclientId,
                              std::vector<MountPathInfo>& mountPaths, bool flag) = 0;
  // Takes down one mount point.
  virtual CZoError Deinit(const std::string& mountingPoint) = 0;
  // Takes down every mount point under a parent folder.
  virtual CZoError DeinitAll(const std::string& parentFolder) = 0;

  virtual ~AbstractMountingPointDriver();

  // ---- mount-point registry cache ----------------------------------------------------------
  // Cached entry `index` (0 primary, n alternate n) of a subclient key's values.
  static MountPathInfo readCache(std::map<std::string, std::string>& values, int index);
  static void addMountPathFromCache(std::vector<MountPathInfo>& list, MountPathInfo& entry, unsigned int csOnline);
  // True when the storage host is the control server's own machine.
  static bool isCSMACombo(const std::string& hostNameMangled);

  // ---- mount path list ----------------------------------------------------------------------
  static CZoError GetSubclientMountpathList(unsigned long subclientId, std::vector<MountPathInfo>& list,
                                            bool mountAll, bool forFailover, bool useCache, bool refreshCache);
  // Fills the record's path (cut out of the raw text), host and id; the cache index is left
  // alone. A malformed raw text is logged and leaves the path empty.
  static void parseMountPath(MountpathInfo_t& entry, MountPathInfo& record);
  // The same, but false and the record untouched when the raw text is malformed: fewer than
  // two "|", or no path between the bracket characters next to them.
  static bool tryParseMountPath(const MountpathInfo_t& entry, MountPathInfo& record);

  // ---- contexts and root folder -------------------------------------------------------------
  // Opens a mount path: builds the context and makes sure its root folder exists (created for
  // backups only). Null when the mount path is not usable.
  DataServerContextPtr InitializeDataServerAPI(unsigned long subclientId, const std::string& serverName,
                                               const std::string& mountPath, int mountPathId,
                                               const std::string& appendPath, bool prefixInstanceGuid,
                                               bool forBackup);
  static bool CreateRootFolder(DataServerContextPtr& context, const std::string& appendPath,
                               bool prefixInstanceGuid, bool forBackup);
  static bool CreateRootFolder(DataServerContext* context, const std::string& appendPath,
                               bool prefixInstanceGuid, bool forBackup);
  // The same without making anything on the storage when createRootFolder is false: a
  // backup's missing root folder is taken as the one it would make (for a dry run).
  DataServerContextPtr InitializeDataServerAPI(unsigned long subclientId, const std::string& serverName,
                                               const std::string& mountPath, int mountPathId,
                                               const std::string& appendPath, bool prefixInstanceGuid,
                                               bool forBackup, bool createRootFolder);
  static bool CreateRootFolder(DataServerContext* context, const std::string& appendPath,
                               bool prefixInstanceGuid, bool forBackup, bool createRootFolder);
  // Moves the context to the next usable mount path of its subclient.
  static void Failover(DataServerContext* context);

  // Failed root-folder checks per storage host since the process started (throttles the
  // "data server not ready" event); guarded by m_eventSuppressorLock.
  static std::map<std::string, int> m_eventSuppressor;
  static std::mutex m_eventSuppressorLock;

  // ---- file operations under a context's root folder ----------------------------------------
  static CZoError AMGetVolumeSize(DataServerContext* context, unsigned long long* total, unsigned long long* free);
  static CZoError AMCreateFile(DataServerContext* context, const std::string& name, int uFlags, int uMode,
                               int shFlag);
  static CZoError AMCreateFileWithOpen(DataServerContext* context, const std::string& name, int uFlags, int uMode,
                                       int shFlag, CFileInterface*& handle);
  static CZoError AMCreateFolder(DataServerContext* context, const std::string& name);
  static CZoError AMOpenFile(DataServerContext* context, const std::string& name, int uFlags, int uMode,
                             int shFlag, CFileInterface*& handle);
  static CZoError AMCloseFile(DataServerContext* context, CFileInterface*& handle);
  static CZoError AMStat(DataServerContext* context, const std::string& name, SZoFileStat& stat);
  static CZoError AMExists(DataServerContext* context, const std::string& name, bool& exists);
  static CZoError AMTruncateFile(DataServerContext* context, CFileInterface*& handle, long long size);
  static CZoError AMChmod(DataServerContext* context, const std::string& name, int mode);
  static CZoError AMRemoveFileFolder(DataServerContext* context, const std::string& name);
  static CZoError AMRead(DataServerContext* context, CFileInterface*& handle, void* buffer, long long offset,
                         unsigned int size, unsigned long* bytesRead);
  static CZoError AMWrite(DataServerContext* context, CFileInterface*& handle, void* buffer, long long offset,
                          unsigned int size, unsigned long* bytesWritten);
  static CZoError AMLock(DataServerContext* context, CFileInterface*& handle);
  static CZoError AMUnlock(DataServerContext* context, CFileInterface*& handle);
  static CZoError AMFlush(DataServerContext* context, CFileInterface*& handle);
  static CZoError AMMove(DataServerContext* context, const std::string& from, const std::string& to);
  // The same, but an existing target is refused (errno EEXIST) in the rename itself.
  static CZoError AMMoveNoReplace(DataServerContext* context, const std::string& from, const std::string& to);

  // ---- listing and walking ------------------------------------------------------------------
  static bool WildcardMatch(const char* name, const char* mask, bool ignoreCase);
  static CZoError AMGetDirContentsWithMask(DataServerContext* context, const std::string& folder,
                                           std::vector<std::string>& first, std::vector<std::string>& second,
                                           const std::string& mask);
  static CZoError AMWalkDir(DataServerContext* context, const std::string& folder, void* callerContext, int level,
                            bool flag, WalkerFunc callback);
};
