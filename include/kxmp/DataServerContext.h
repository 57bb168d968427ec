#pragma once
// One opened mount path of one storage host for one subclient: the connection parameters
// every file operation hands to the data-server factories, the subclient's identity, and the
// root folder below the mount path under which all of the subclient's files live:
//   <mount path>/KX_APP_DUMPS/<subclient GUID, or backup-set GUID when prefixInstanceGuid>
// Shared through DataServerContextPtr; never copied. While it lives, the data-server
// component keeps state for its FS params (mount-path answer, open folders) that every
// operation of the context shares.

#include <cstdint>
#include <memory>
#include <string>

#include "kxmp/DataServerContextPtr.h"
#include "kxmp/FXMutex.h"
#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInitParams.h"

class KXPlatformInfo;
namespace kxmp::dataserver {
class ContextState;
}

class KXMP_EXPORT DataServerContext {
 public:
  // Finds the GUIDs (registry first, then the identity component), which can take a while.
  DataServerContext(unsigned long subclientId, const std::string& serverName, const std::string& mountPath,
                    int mountPathId, bool prefixInstanceGuid);
  DataServerContext(const DataServerContext&) = delete;
  DataServerContext& operator=(const DataServerContext&) = delete;

  // Moves the context to another mount path; keeps the GUIDs, clears the root folder.
  void update(const std::string& serverName, const std::string& mountPath, int mountPathId);
  // Points the FS params' mount path at a sub folder of the initial root folder.
  void mountDeeper(const std::string& subPath);
  std::string& getSubClientGUID();

  void setRootFolder(const std::string& rootFolder) { m_rootFolder = rootFolder; }
  std::string& getRootFolder() { return m_rootFolder; }
  const std::string& getInitRootFolder() const { return m_initRootFolder; }
  std::string& getMountPath() { return m_mountPath; }
  CFSInitParams& getFSParams() { return m_fsParams; }
  unsigned long getSubClientID() const { return m_subclientId; }
  const std::string& getServerName() const { return m_serverName; }
  const std::string& getBackupsetGUID() const { return m_backupsetGuid; }
  bool needFailover() const { return m_failoverEnabled; }
  void disableFailover() { m_failoverEnabled = false; }
  void lockMutex() { m_mutex.Lock(); }
  void unlockMutex() { m_mutex.Unlock(); }

  // Makes sure the mount-point key and the subclient key exist; true when they do.
  static bool createRegistryPaths(KXPlatformInfo& platform, unsigned long subclientId);
  // Removes everything cached for one subclient.
  static void deleteRegistryKeys(unsigned long subclientId);

 private:
  void computeInitialRootFolder();
  // Holds the data-server state for the current FS params (after they change too).
  void attachDataServerState();

  std::string m_serverName;
  unsigned long m_subclientId;
  bool m_prefixInstanceGuid;
  std::string m_mountPath;
  std::string m_initRootFolder;
  CFSInitParams m_fsParams;
  std::string m_rootFolder;
  std::string m_subclientGuid;
  bool m_failoverEnabled = true;
  std::string m_backupsetGuid;
  FXMutex m_mutex;
  std::shared_ptr<kxmp::dataserver::ContextState> m_dataServerState;
};
