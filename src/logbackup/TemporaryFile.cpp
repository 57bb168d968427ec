#include "logbackup/TemporaryFile.h"

#include <errno.h>
#include <fcntl.h>

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/LogBackupLocation.h"
#include "logbackup/StorageNames.h"
#include "outside/dataserver/BackendRouter.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"

namespace kxmp::logbackup {
namespace {

using AMD = AbstractMountingPointDriver;

CZoError Busy(const std::string& shown) {
  return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBUSY, "File [%s] is being written by another writer", shown.c_str());
}

}  // namespace

CZoError TemporaryFile::Create(DataServerContext* context, const std::string& name, unsigned int flags,
                               unsigned int mode, CFileInterface*& handle) {
  Discard();
  const std::string tmpName = TemporaryNameFor(name, WriterId());
  std::string shown = context->getRootFolder();
  FXPath::Append(shown, tmpName);
  // The write protocol commits with a rename that never replaces and needs the names it
  // makes durable: a storage host that cannot do both is refused before anything is written.
  const std::shared_ptr<dataserver::Backend> backend = dataserver::CurrentBackend();
  const dataserver::BackendCapabilities can = backend ? backend->Capabilities(context->getFSParams())
                                                      : dataserver::BackendCapabilities{};
  if (!can.noReplaceMove || !can.folderSync) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOTSUP,
                                   "Storage host [%s] cannot commit [%s]: its data server offers no %s",
                                   context->getFSParams().host.hostName.c_str(), shown.c_str(),
                                   can.noReplaceMove ? "durable folders" : "rename that never replaces");
  }
  auto lock = std::make_unique<KxByteLock>();
  CZoError err = lock->TryLock("kxmp.logbackup.tmp:" + context->getFSParams().host.hostName + ":" + shown);
  if (err.IsError()) return err;
  if (!lock->held()) return Busy(shown);

  // Always a new file of our own: never truncate, never share a file another writer made.
  unsigned int access = flags & O_ACCMODE;
  if (access == O_RDONLY) access = O_WRONLY;
  const int createFlags = static_cast<int>((flags & ~(O_ACCMODE | O_TRUNC)) | access | O_CREAT | O_EXCL);
  err = AMD::AMOpenFile(context, tmpName, createFlags, static_cast<int>(mode), 0, handle);
  if (FXErrorUtil::IsErrNo(err, EEXIST)) {
    // Without this machine's lock file the leftover may be a live writer's in another
    // process here: keep it, and say why.
    if (!lock->isCrossProcess()) {
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBUSY,
                                     "File [%s] exists and this machine's writer locks cannot be checked (see the "
                                     "log): it may belong to a live writer",
                                     shown.c_str());
    }
    KXLOG_NORMAL("Taking over the temporary file [%s] left by a writer that is gone", shown.c_str());
    err = AMD::AMRemoveFileFolder(context, "/" + tmpName);
    if (err.IsSuccess() || FXErrorUtil::IsErrNo(err, ENOENT)) {
      err = AMD::AMOpenFile(context, tmpName, createFlags, static_cast<int>(mode), 0, handle);
    }
  }
  if (err.IsError()) return err;
  context_ = context;
  name_ = name;
  tmpName_ = tmpName;
  shown_ = shown;
  lock_ = std::move(lock);
  return CZoError::Success();
}

CZoError TemporaryFile::Commit(bool replace) {
  if (context_ == nullptr) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EBADF, "No temporary file to commit");
  // The lock stays held until the rename is done: until then the file is a live writer's.
  const std::string from = "/" + tmpName_, to = "/" + name_;
  CZoError err = replace ? AMD::AMMove(context_, from, to) : AMD::AMMoveNoReplace(context_, from, to);
  if (err.IsError()) return err;
  context_ = nullptr;
  lock_.reset();
  return CZoError::Success();
}

CZoError TemporaryFile::Discard() {
  if (context_ == nullptr) return CZoError::Success();
  CZoError err = AMD::AMRemoveFileFolder(context_, "/" + tmpName_);
  if (FXErrorUtil::IsErrNo(err, ENOENT)) err = CZoError::Success();
  if (err.IsError()) KXLOG_ERROR("Failed to delete file [%s], error=%s", shown_.c_str(), err.AsString().c_str());
  context_ = nullptr;
  lock_.reset();
  return err;
}

}  // namespace kxmp::logbackup
