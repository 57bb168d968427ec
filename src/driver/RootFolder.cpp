// Opening a mount path for a subclient: building its data-server context and making sure the
// subclient's root folder exists there (created for backups only), with the throttled event
// for a storage host whose data server does not answer.

#include <cstdint>
#include <memory>
#include <new>

#include <boost/make_shared.hpp>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/dataserver/ServedPath.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/event/EvEvent.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

namespace {

// The data server of a storage host is not ready (its root-folder check failed).
constexpr unsigned int kEventDataServerNotReady = 0x4A000569;
// One event per this many failed checks of one storage host.
constexpr int kEventEvery = 10;
constexpr int kCreateFolderWithParents = 1;
// The data server's answer for a folder that already exists.
constexpr int kAlreadyExists = 17;

const char* YesNo(bool value) { return value ? "true" : "false"; }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Shrinks every run of separators to its first character, whichever of the two it is.
std::string CollapseSeparators(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (IsSeparator(c) && !out.empty() && IsSeparator(out.back())) continue;
    out.push_back(c);
  }
  return out;
}

// The sub path without empty components: "/logs//db1/" is "logs/db1".
std::string NormalizedSubPath(const std::string& sub) {
  std::string out;
  out.reserve(sub.size());
  for (char c : sub) {
    if (c == '/' && (out.empty() || out.back() == '/')) continue;
    out.push_back(c);
  }
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

// True when the last whole components of root are those of sub (normalised): "/m/a/b" ends
// with "b" and "a/b", not with "ab/b"'s "b/b" nor with "2" of "/m/a/42".
bool EndsWithComponents(std::string root, const std::string& sub) {
  if (sub.empty()) return true;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.size() < sub.size() || root.compare(root.size() - sub.size(), sub.size(), sub) != 0) return false;
  return root.size() == sub.size() || root[root.size() - sub.size() - 1] == '/';
}

// Holds a context's mutex for a scope.
class ContextLock {
 public:
  explicit ContextLock(DataServerContext& context) : context_(context) { context_.lockMutex(); }
  ~ContextLock() { context_.unlockMutex(); }
  ContextLock(const ContextLock&) = delete;
  ContextLock& operator=(const ContextLock&) = delete;

 private:
  DataServerContext& context_;
};

// Counts one failed check for the storage host; true when this failure is the 1st, 11th,
// 21st ... of the host and so is to raise the event. The count and the decision are taken
// together under the map's own lock: contexts of other threads update the same map.
bool CountFailureAndDecideEvent(const std::string& host) {
  std::lock_guard<std::mutex> guard(AbstractMountingPointDriver::m_eventSuppressorLock);
  int& count = AbstractMountingPointDriver::m_eventSuppressor[host];
  const bool raise = count % kEventEvery == 0;
  ++count;
  return raise;
}

void RaiseDataServerNotReady(const std::string& host) {
  EvEvent event;
  if (!event.initialize(2, 0x31F8390E, 0, nullptr, "")) {
    KXLOG_ERROR("Failed to init event");
  }
  event.addArgument(host.c_str(), EvEvent::kArgText);
  event.MajorEvent(kEventDataServerNotReady, 0, 0);
}

}  // namespace

DataServerContextPtr AbstractMountingPointDriver::InitializeDataServerAPI(
    unsigned long subclientId, const std::string& serverName, const std::string& mountPath, int mountPathId,
    const std::string& appendPath, bool prefixInstanceGuid, bool forBackup) {
  return InitializeDataServerAPI(subclientId, serverName, mountPath, mountPathId, appendPath, prefixInstanceGuid,
                                 forBackup, true);
}

DataServerContextPtr AbstractMountingPointDriver::InitializeDataServerAPI(
    unsigned long subclientId, const std::string& serverName, const std::string& mountPath, int mountPathId,
    const std::string& appendPath, bool prefixInstanceGuid, bool forBackup, bool createRootFolder) {
  try {
    const std::string cleaned = CollapseSeparators(mountPath);
    KXLOG_NORMAL("Convert mount path from [%s] to [%s]", mountPath.c_str(), cleaned.c_str());

    DataServerContextPtr context;
    try {
      context = boost::make_shared<DataServerContext>(subclientId, serverName, cleaned, mountPathId,
                                                      prefixInstanceGuid);
    } catch (const std::bad_alloc&) {
      context.reset();
    }
    if (!context) {
      KXLOG_ERROR("Failed to create DataServerContext");
      return DataServerContextPtr();
    }

    KXLOG_NORMAL("Initializing DataServerAPI with subclientID [%lu], server name [%s], path [%s] "
                 "prefixInstanceGuid [%s]",
                 subclientId, serverName.c_str(), cleaned.c_str(), YesNo(prefixInstanceGuid));

    if (CreateRootFolder(context.get(), appendPath, prefixInstanceGuid, forBackup, createRootFolder)) return context;
    KXLOG_ERROR("Failed to CreateRootFolder");
    return DataServerContextPtr();
  } catch (const std::bad_alloc&) {
    // Out of memory: no usable context. The caller sees the same answer as for an
    // unreachable mount path.
    return DataServerContextPtr();
  }
}

bool AbstractMountingPointDriver::CreateRootFolder(DataServerContextPtr& context, const std::string& appendPath,
                                                   bool prefixInstanceGuid, bool forBackup) {
  return CreateRootFolder(context.get(), appendPath, prefixInstanceGuid, forBackup);
}

bool AbstractMountingPointDriver::CreateRootFolder(DataServerContext* context, const std::string& appendPath,
                                                   bool prefixInstanceGuid, bool forBackup) {
  return CreateRootFolder(context, appendPath, prefixInstanceGuid, forBackup, true);
}

bool AbstractMountingPointDriver::CreateRootFolder(DataServerContext* context, const std::string& appendPath,
                                                   bool /*prefixInstanceGuid: chosen when the context was built*/,
                                                   bool forBackup, bool createRootFolder) {
  if (context == nullptr) {
    KXLOG_ERROR("context should not be null");
    return false;
  }
  try {
    ContextLock lock(*context);
    if (!context->getRootFolder().empty()) {
      KXLOG_NORMAL("Root folder already initialized [%s]", context->getRootFolder().c_str());
      return true;
    }

    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(context->getFSParams()));
    if (!fs) {
      KXLOG_ERROR("Failed to create CFSInterface");
      return false;
    }

    std::string root = context->getInitRootFolder();
    const std::string& guid = context->getSubClientGUID();
    if (guid.empty()) {
      KXLOG_ERROR("Failed to get subclientGuid");
      return false;
    }

    // The caller's sub path is added once: a root that already ends with its components is
    // taken as it is. Anything less (a part of a folder name, components higher up) would
    // put this backup into another root folder.
    const std::string append = NormalizedSubPath(appendPath);
    if (!EndsWithComponents(root, append)) FXPath::Append(root, append);

    KXLOG_NORMAL("DataServerAPI checking root folder [%s] appendPath[%s]", root.c_str(), append.c_str());

    bool exists = false;
    CZoError err = fs->Exists(root, exists);
    if (err.IsError()) {
      KXLOG_ERROR("Failed to call Exists, DataServerIP is not ready error code = [%d] errorString=[%s]",
                  err.GetErrorCode(), err.AsString().c_str());
      const std::string& host = context->getFSParams().host.hostName;
      if (FXErrorUtil::IsWin32(err, kxmp::dataserver::kMountPathsUnknown)) {
        // The catalog could not be asked; its own event told the operator (once per outage).
        KXLOG_ERROR("The mount paths of storage host [%s] cannot be learned: %s", host.c_str(), err.Message().c_str());
      } else if (CountFailureAndDecideEvent(host)) {
        KXLOG_ERROR("Sending event for DataServerIP is not ready");
        RaiseDataServerNotReady(host);
      }
      return false;
    }

    if (exists) {
      context->setRootFolder(root);
      return true;
    }

    if (!forBackup) {
      KXLOG_NORMAL("Ignoring Datapath [%s:%s] during restore as there are no backup/dumps of OSC appid [%lu]",
                   context->getFSParams().host.hostName.c_str(), root.c_str(), context->getSubClientID());
      return false;
    }

    if (!createRootFolder) {
      // The storage answered; the backup would make this folder. Nothing is made now.
      KXLOG_NORMAL("DataServerAPI would create root folder [%s]", root.c_str());
      context->setRootFolder(root);
      return true;
    }
    KXLOG_NORMAL("DataServerAPI creating root folder [%s]", root.c_str());
    err = fs->CreateFolder(root, kCreateFolderWithParents);
    if (err.IsError() && !FXErrorUtil::IsErrNo(err, kAlreadyExists)) {
      KXLOG_ERROR("Failed to call Create error code = [%d] errorString=[%s]", err.GetErrorCode(),
                  err.AsString().c_str());
      return false;
    }
    context->setRootFolder(root);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
