#pragma once
// The on-disk registry: a key is a folder below the registry root, a subkey a sub folder
// named after it, a value a regular file in the key's folder holding exactly the value's
// text (no trailing newline, at most kMaxValueSize bytes).
//
// Key names: a leading "~" (alone or followed by separators) selects the root; "/" and "\"
// both separate parts; empty parts are ignored. So "~Tessel/MAMountPoint\42",
// "~/Tessel/MAMountPoint/42" and "Tessel/MAMountPoint/42" are one key. Refused (EINVAL):
// a NUL byte, a name starting with a separator without "~" (absolute), a part "." or "..",
// and a part starting with the temporary prefix.
//
// Writes go to a temporary file ".tmp.<pid>.<tid>.<n>" in the key's folder and are renamed
// over the value, so readers see an old or a new value whole, and concurrent writers of one
// value end with one writer's whole value. Readers skip temporary files and sub folders.
// Below the root no symbolic link is followed (O_NOFOLLOW on every part and on values).
//
// Every failure is an errno-kind CZoError whose number says why (EINVAL bad name, EFBIG value
// too large, ENOENT missing key or value, ELOOP a symbolic link and ENOTDIR a file in the key's path,
// ENAMETOOLONG, or what the file system said).

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "outside/error/CZoError.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::registry {

constexpr size_t kMaxValueSize = 64 * 1024;
constexpr char kTempPrefix[] = ".tmp.";

class RegistryStore {
 public:
  // root: the registry folder; it is created (with parents) by the first write.
  explicit RegistryStore(std::string root);

  // Splits a key name into its folder names (empty for the root itself).
  static CZoError ParseKey(const std::string& key, std::vector<std::string>& parts);
  // A value name is one non-empty file name: no separator, no NUL, not "." or "..", not a
  // temporary name.
  static CZoError CheckValueName(const std::string& name);

  const std::string& Root() const { return root_; }
  // The key's absolute folder path (nothing is touched on disk).
  CZoError Expand(const std::string& key, std::string& path) const;

  // Reads every value of the key (one readdir, one open per value). On success the values
  // overwrite same-named entries of the map and other entries stay; on failure the map is
  // untouched. `others`, when given, receives the names in the key's folder that are not
  // values (subkeys, links, special files), for which ReadValue fails otherwise than ENOENT.
  CZoError ReadValues(const std::string& key, std::map<std::string, std::string>& values,
                      std::set<std::string>* others = nullptr) const;
  CZoError ReadValue(const std::string& key, const std::string& name, std::string& text) const;

  // Creates the key's folder with its parents; an existing key is success.
  CZoError CreateKey(const std::string& key) const;
  // Removes the key with its values and subkeys. The root itself cannot be deleted.
  CZoError DeleteKey(const std::string& key) const;
  // Writes one value atomically, creating the key (with parents) when it is missing.
  CZoError WriteValue(const std::string& key, const std::string& name, const std::string& text) const;

 private:
  CZoError OpenRoot(bool create, UniqueFd& out) const;
  // Opens the folder of parts[0, count) below the root, creating missing parts when asked.
  CZoError OpenKey(const std::string& key, const std::vector<std::string>& parts, size_t count, bool create,
                   UniqueFd& out) const;

  std::string root_;
};

}  // namespace kxmp::registry
