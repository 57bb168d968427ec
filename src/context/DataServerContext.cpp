#include "kxmp/DataServerContext.h"

#include <map>

#include "kxmp/RegistryNames.h"
#include "outside/dataserver/ContextState.h"
#include "outside/catalog/ApplicationId.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"

namespace {
// "~Tessel/MAMountPoint/<id>": the subclient's key as the GUID cache spells it.
std::string GuidKey(unsigned long subclientId) {
  return FXString::Format("~%s/%lu", MAMountPointKey, subclientId);
}
}  // namespace

DataServerContext::DataServerContext(unsigned long subclientId, const std::string& serverName,
                                     const std::string& mountPath, int mountPathId, bool prefixInstanceGuid)
    : m_serverName(serverName),
      m_subclientId(subclientId),
      m_prefixInstanceGuid(prefixInstanceGuid),
      m_mountPath(mountPath) {
  m_fsParams.host.hostName = serverName;
  m_fsParams.host.mountPath = mountPath;
  FXPath::Append(m_fsParams.host.mountPath, AppDumpsFolder, 0);
  // Looking up the GUIDs may ask the registry and the identity component.
  getSubClientGUID();
  FXPath::Append(m_fsParams.host.mountPath, m_prefixInstanceGuid ? m_backupsetGuid : m_subclientGuid, 0);
  m_initRootFolder = m_fsParams.host.mountPath;
  m_fsParams.mountPathId = mountPathId;
  m_fsParams.subclientId = subclientId;

  KXPlatformInfo platform;
  platform.getClientHostNameMangled(platform.getPhysicalMachine(), m_fsParams.clientName);
  m_fsParams.version = 2;
  m_fsParams.protocol = 4;
  attachDataServerState();
  KXLOG_NORMAL("ActualMountPath [%s]", m_fsParams.host.mountPath.c_str());
}

void DataServerContext::attachDataServerState() {
  m_dataServerState.reset();
  try {
    m_dataServerState = kxmp::dataserver::AttachContextState(m_fsParams);
  } catch (const std::exception&) {
    // Out of memory: every operation then learns what it needs by itself.
  }
}

void DataServerContext::update(const std::string& serverName, const std::string& mountPath, int mountPathId) {
  m_mountPath = mountPath;
  m_serverName = serverName;
  m_fsParams.host.mountPath = mountPath;
  FXPath::Append(m_fsParams.host.mountPath, AppDumpsFolder, 0);
  FXPath::Append(m_fsParams.host.mountPath, m_prefixInstanceGuid ? m_backupsetGuid : m_subclientGuid, 0);
  m_initRootFolder = m_fsParams.host.mountPath;
  m_fsParams.host.hostName = serverName;
  m_fsParams.mountPathId = mountPathId;
  // The next root-folder check runs again on the new mount path.
  m_rootFolder.clear();
  attachDataServerState();
  KXLOG_NORMAL("ActualMountPath [%s]", m_fsParams.host.mountPath.c_str());
}

void DataServerContext::mountDeeper(const std::string& subPath) {
  m_fsParams.host.mountPath = m_initRootFolder;
  FXPath::Append(m_fsParams.host.mountPath, subPath, 0);
  attachDataServerState();
  KXLOG_NORMAL("ActualMountPath [%s]", m_fsParams.host.mountPath.c_str());
}

std::string& DataServerContext::getSubClientGUID() {
  if (!m_subclientGuid.empty()) return m_subclientGuid;

  const std::string key = GuidKey(m_subclientId);
  KXPlatformInfo platform;
  std::map<std::string, std::string> values;
  if (platform.getRegValues(key, &values)) {
    auto sc = values.find(SubClientGUIDVal);
    if (sc != values.end()) m_subclientGuid = sc->second;
    auto bs = values.find(BackupsetGUIDVal);
    if (bs != values.end()) m_backupsetGuid = bs->second;
    if (!m_subclientGuid.empty() && (!m_prefixInstanceGuid || !m_backupsetGuid.empty())) {
      KXLOG_NORMAL("Read cache for subclientGUID[%s]", m_subclientGuid.c_str());
      return m_subclientGuid;
    }
  } else {
    KXLOG_ERROR("Failed to get values for registry key [%s] err[%d]", key.c_str(), platform.getRegError());
    if (!platform.createRegKey(key)) {
      KXLOG_ERROR("Failed to creating registry key [%s] err[%d]", key.c_str(), platform.getRegError());
    }
  }

  ApplicationId appId(2, m_subclientId);
  Subclient* subclient = appId.getSubclient(nullptr);
  if (subclient == nullptr || subclient->getGUIDStr(m_subclientGuid, nullptr) != 0) {
    KXLOG_ERROR("Failed to lookup subclient id[%lu]", m_subclientId);
    return m_subclientGuid;
  }

  if (m_prefixInstanceGuid) {
    ApplicationId* instance = appId.getInstance(nullptr);
    BackupSet* backupSet = instance ? instance->getBackupSet(nullptr) : nullptr;
    if (backupSet == nullptr || backupSet->getGUIDStr(m_backupsetGuid, nullptr) != 0) {
      KXLOG_ERROR("Failed to lookup backupset for appid[%lu]", m_subclientId);
      m_subclientGuid.clear();
      return m_subclientGuid;
    }
    if (platform.setRegString(key, BackupsetGUIDVal, m_backupsetGuid)) {
      KXLOG_NORMAL("Cached BackupSetGUID [%s]", m_backupsetGuid.c_str());
    } else {
      KXLOG_ERROR("Failed to set registry key [%s] for InstanceGUID with value [%s] err[%d]", key.c_str(),
                  m_backupsetGuid.c_str(), platform.getRegError());
    }
  }

  if (platform.setRegString(key, SubClientGUIDVal, m_subclientGuid)) {
    KXLOG_NORMAL("Cached subclientGUID[%s]", m_subclientGuid.c_str());
  } else {
    KXLOG_ERROR("Failed to set registry key [%s] for subclientGUID with value [%s] err[%d]", key.c_str(),
                m_subclientGuid.c_str(), platform.getRegError());
  }
  return m_subclientGuid;
}
