#pragma once
// Platform information: the platform registry and this machine's names.
//
// The registry lives in $KX_HOME/registry (fixed when the object is made): a key is a
// folder, a subkey a sub folder, a value a file holding exactly the value's text.
// "~Tessel/MAMountPoint\42", "~/Tessel/MAMountPoint/42" and "Tessel/MAMountPoint/42" name
// the same key. Writes are atomic (temporary file renamed over the value); for concurrent
// writers of one value the last writer wins. Values are at most 64 KiB.
//
// Failures return false (or 0) and leave an errno number for getRegError (registry calls)
// or getLastError (machine information), per thread:
//   EINVAL   bad key or value name (NUL byte, absolute key, "." or ".." part, separator in a
//            value name, a temporary name), null output
//   EFBIG    value larger than 64 KiB
//   ENOENT   key or value missing, no control server name configured
//   ELOOP    a symbolic link in the key's path (never followed below the registry root)
//   ERANGE   output buffer too small
//   ENOMEM   out of memory; other numbers come from the file system.
// No call throws.
//
// Objects are cheap and meant to live for one operation on one thread.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "kxmp/kxmp_export.h"

class KXMP_EXPORT KXPlatformInfo {
 public:
  KXPlatformInfo();
  // The two numbers are accepted for callers that pass them; they select nothing here.
  KXPlatformInfo(int, int);

  // Copies every value of the key into *values (values of the key overwrite same-named
  // entries, other entries stay). False when the key is missing or unreadable; the map is then
  // left as it was.
  bool getRegValues(const std::string& key, std::map<std::string, std::string>* values) const;
  // Creates the key with its parents; an existing key is success.
  bool createRegKey(const std::string& key) const;
  // Removes the key with its values and subkeys. A missing key fails with ENOENT; the root
  // ("~") cannot be deleted.
  bool delRegKey(const std::string& key) const;
  // Writes a value, creating the key with its parents when it is missing.
  bool setRegString(const std::string& key, const std::string& valueName, const std::string& text) const;
  // Writes the decimal text of value.
  bool setRegInt(const std::string& key, const std::string& valueName, int32_t value) const;
  // Reads value `value` of the key named `section` (e.g. "Runtime"/"nCSONLINE") into *out.
  // Non-zero when found; on zero *out is unchanged.
  int getString(const std::string& section, const std::string& value, std::string* out) const;

  // The errno number of this thread's last failed registry call (0: none).
  int32_t getRegError() const;
  // The errno number of this thread's last failed machine-information call (0: none).
  int64_t getLastError() const;

  // The key's absolute folder; empty (with getRegError EINVAL) for a bad key name.
  std::string expandKeyName(const std::string& key) const;
  // Runtime/sPhysicalMachine, else the host name; empty when neither can be had.
  std::string getPhysicalMachine() const;
  // The mangled name under which this client is known: machine*machine*0*0.
  bool getClientHostNameMangled(const std::string& machine, std::string& out) const;
  // Copies Runtime/sCSHostNameMangled with its NUL into buffer. Non-zero on success; 0 when it
  // is not configured (ENOENT), the buffer is null (EINVAL) or too small (ERANGE).
  int getCommClientCSHostName(char* buffer, size_t size) const;

 private:
  std::string registryRoot_;
};
