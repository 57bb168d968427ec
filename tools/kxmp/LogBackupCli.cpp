#include "LogBackupCli.h"

#include <algorithm>

#include "Progress.h"
#include "outside/catalog/CatalogAdmin.h"

namespace kxmp::cli {

void FileListOption::AddTo(CLI::App& cmd, const std::string& what) {
  cmd.add_option("--files-from", lists,
                 what + ": one per line, or NUL-separated; - is standard input")
      ->type_name("FILE")
      ->allow_extra_args(false);  // one list per --files-from: the names after it are FILE or PATTERN
}

int FileListOption::ReadInto(std::vector<std::string>& names, const Output& out) const {
  for (const std::string& list : lists) {
    std::string error;
    if (!ReadFileList(list, names, error)) return out.Fail(kExitUsage, error);
  }
  return kExitOk;
}

std::string NoStorageReason(uint64_t subclient, const CZoError& why, int& status) {
  const std::string id = std::to_string(subclient);
  catalog::CatalogAdmin admin;
  std::vector<catalog::SubclientRecord> subclients;
  CZoError listed = admin.ListSubclients(subclients);
  status = kExitFailed;
  if (listed.IsSuccess()) {
    const bool known = std::any_of(subclients.begin(), subclients.end(),
                                   [&](const catalog::SubclientRecord& s) { return s.id == subclient; });
    if (!known) {
      status = kExitNotFound;
      return "subclient " + id + " is not in the catalog " + admin.name();
    }
    std::vector<catalog::AttachedMountPath> attached;
    if (admin.ListAttachments(subclient, attached).IsSuccess() && attached.empty()) {
      return "subclient " + id + " has no mount path attached in the catalog " + admin.name();
    }
  }
  if (FXErrorUtil::IsWin32(why, 1168)) {
    return "subclient " + id + " has no primary mount path in the catalog " + admin.name() +
           ": attach one with kxmp catalog attach --primary (the cache says the same while the catalog cannot be asked)";
  }
  std::string text = "no mount path of subclient " + id + " is reachable";
  if (why.IsError()) text += ": " + ErrorText(why) + PermissionNote(why);
  if (listed.IsError()) text += " (the catalog cannot be read: " + ErrorText(listed) + PermissionNote(listed) + ")";
  return text;
}

int NoStorage(const Output& out, uint64_t subclient, const CZoError& why) {
  int status = kExitFailed;
  const std::string text = NoStorageReason(subclient, why, status);
  return out.Fail(status, text);
}

}  // namespace kxmp::cli
