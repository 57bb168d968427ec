#include "StoredFiles.h"

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"

namespace kxmp::cli {

namespace {

CZoError CountStoredFile(const char*, const char*, bool isFolder, void* context) {
  if (!isFolder) ++*static_cast<int64_t*>(context);
  return CZoError::Success();
}

}  // namespace

int64_t CountStoredFiles(uint64_t subclientId, const catalog::MountPathRecord& mountPath, std::string& why) {
  // The root folder of log backups: KX_APP_DUMPS/<backup set GUID> on the mount path.
  DataServerContext context(static_cast<unsigned long>(subclientId), mountPath.host, mountPath.path,
                            static_cast<int>(mountPath.id), true);
  if (context.getBackupsetGUID().empty()) {
    why = "the subclient's backup set GUID is unknown";
    return -1;
  }
  const std::string root = context.getInitRootFolder();
  bool exists = false;
  CZoError err = AbstractMountingPointDriver::AMExists(&context, root, exists);
  if (err.IsError()) {
    why = "storage host " + mountPath.host + " did not answer: " + err.Message();
    return -1;
  }
  if (!exists) return 0;
  context.setRootFolder(root);
  int64_t files = 0;
  err = AbstractMountingPointDriver::AMWalkDir(&context, "", &files, -1, false, CountStoredFile);
  if (err.IsError()) {
    why = "the root folder " + root + " could not be read: " + err.Message();
    return -1;
  }
  return files;
}

}  // namespace kxmp::cli
