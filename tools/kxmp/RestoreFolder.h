#pragma once
// The folder `kxmp restore` writes into, opened once. A stored file's relative path
// ("/sub/folder/name") is placed below it one component at a time: every folder is created
// or opened relative to its parent's descriptor with O_NOFOLLOW, and names that a file
// system would take as a way up ("..", ".") are refused. So neither a stored name nor a link
// planted inside the folder can make the restore write anywhere else.

#include <string>

#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

class RestoreFolder {
 public:
  // Creates the folder (with its parents) when missing and opens it. The path itself is the
  // user's choice and may pass through links. Without create (a dry run) a missing folder
  // is no error: it would be made.
  CZoError Open(const std::string& path, bool create = true);

  // Splits relative into its folder components and file name, creates and opens the folders
  // below this one, and hands back the innermost folder's descriptor and the file name.
  // Without create nothing is made: the same checks, and folder is left empty when a folder
  // on the way is missing (so the file is too).
  CZoError Place(const std::string& relative, UniqueFd& folder, std::string& name, bool create = true) const;

 private:
  UniqueFd root_;
  std::string path_;
};

}  // namespace kxmp::cli
