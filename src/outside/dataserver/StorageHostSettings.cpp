#include "outside/dataserver/StorageHostSettings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>

#include "outside/error/FXErrorUtil.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/ControlBytes.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::dataserver {

namespace {

constexpr char kTransport[] = "sTransport";
constexpr char kAddress[] = "sAddress";
constexpr char kPort[] = "nPort";
constexpr char kUser[] = "sUser";
constexpr char kIdentity[] = "sIdentityFile";
constexpr char kPassphrase[] = "sPassphraseFile";
constexpr char kKnownHosts[] = "sKnownHostsFile";
constexpr char kConnectTimeout[] = "nConnectTimeoutSec";
constexpr char kIoTimeout[] = "nIoTimeoutSec";

bool HasBlankOrControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; });
}

bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// The text as it can go into a message: control bytes as \xHH, at most 300 bytes.
std::string Shown(const std::string& text) {
  return text.size() > 300 ? EscapeControlBytes(text.substr(0, 300)) + "..." : EscapeControlBytes(text);
}

CZoError Invalid(const std::string& where, const char* value, const std::string& why) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Storage host settings %s: %s %s", where.c_str(), value,
                                 why.c_str());
}

CZoError CheckRange(const std::string& where, const char* value, int number, int low, int high) {
  if (number >= low && number <= high) return CZoError();
  return Invalid(where, value,
                 "must be from " + std::to_string(low) + " to " + std::to_string(high) + ", not " + std::to_string(number));
}

CZoError CheckFile(const std::string& where, const char* value, const std::string& path, bool optional) {
  if (path.empty() && optional) return CZoError();
  if (path.empty() || path[0] != '/' || HasControl(path)) {
    return Invalid(where, value, "must be an absolute path, not [" + Shown(path) + "]");
  }
  return CZoError();
}

// A whole decimal number of the registry, or the default when the value is absent.
CZoError ReadNumber(const std::map<std::string, std::string>& values, const std::string& where, const char* name,
                    int& out) {
  auto it = values.find(name);
  if (it == values.end()) return CZoError();
  const std::string& text = it->second;
  int number = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || ptr != end) {
    return Invalid(where, name, "must be a whole number, not [" + Shown(text) + "]");
  }
  out = number;
  return CZoError();
}

std::string Text(const std::map<std::string, std::string>& values, const char* name) {
  auto it = values.find(name);
  return it == values.end() ? std::string() : it->second;
}

CZoError RegistryError(const KXPlatformInfo& platform, const char* what, const std::string& key) {
  const int number = platform.getRegError() != 0 ? platform.getRegError() : EIO;
  return FXErrorUtil::ErrorErrNo(FX_LOC, number, "Cannot %s storage host settings %s: %s", what, key.c_str(),
                                 std::strerror(number));
}

}  // namespace

std::string StorageHostKey(const std::string& plainName) { return std::string(kStorageHostsKey) + "/" + plainName; }

std::string PlainStorageHostName(const std::string& mangledName) {
  return mangledName.substr(0, mangledName.find('*'));
}

CZoError ValidateStorageHostName(const std::string& plainName) {
  const bool charsOk = std::all_of(plainName.begin(), plainName.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
  if (plainName.empty() || plainName.size() > 255 || !charsOk || plainName[0] == '.' || plainName[0] == '-') {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL,
                                   "[%s] is not a storage host name: use 1 to 255 letters, digits, '.', '_' or '-', "
                                   "not starting with '.' or '-'",
                                   plainName.c_str());
  }
  return CZoError();
}

CZoError ValidateSftpSettings(const SftpSettings& s, const std::string& where) {
  if (s.address.empty() || s.address.size() > 255 || HasBlankOrControl(s.address) || s.address[0] == '-') {
    return Invalid(where, kAddress, "must be a host name or IP address, not [" + Shown(s.address) + "]");
  }
  if (s.address.find_first_of("[]/@") != std::string::npos) {
    return Invalid(where, kAddress,
                   "must be a host name or IP address without brackets, user or port (an IPv6 address is written "
                   "as it is, ::1), not [" + Shown(s.address) + "]");
  }
  CZoError err = CheckRange(where, kPort, s.port, 1, 65535);
  if (!err.IsError() && (s.user.size() > 255 || HasBlankOrControl(s.user) || s.user.find('@') != std::string::npos ||
                         (!s.user.empty() && s.user[0] == '-'))) {
    err = Invalid(where, kUser, "must be a user name, not [" + Shown(s.user) + "]");
  }
  if (!err.IsError()) err = CheckFile(where, kIdentity, s.identityFile, true);
  if (!err.IsError()) err = CheckFile(where, kPassphrase, s.passphraseFile, true);
  if (!err.IsError() && s.identityFile.empty() && !s.passphraseFile.empty()) {
    err = Invalid(where, kPassphrase, "is for an identity file, and none is given (the ssh agent holds its own keys)");
  }
  if (!err.IsError()) err = CheckFile(where, kKnownHosts, s.knownHostsFile, false);
  if (!err.IsError()) err = CheckRange(where, kConnectTimeout, s.connectTimeoutSec, 1, kMaxTimeoutSec);
  if (!err.IsError()) err = CheckRange(where, kIoTimeout, s.ioTimeoutSec, 1, kMaxTimeoutSec);
  return err;
}

CZoError ReadStorageHost(const std::string& plainName, bool& found, SftpSettings& settings) {
  found = false;
  const std::string key = StorageHostKey(plainName);
  // A name that cannot be a key (a separator, "..") has no settings by construction.
  if (ValidateStorageHostName(plainName).IsError()) return CZoError();
  KXPlatformInfo platform;
  std::map<std::string, std::string> values;
  if (!platform.getRegValues(key, &values)) {
    if (platform.getRegError() == ENOENT) return CZoError();
    return RegistryError(platform, "read", key);
  }
  const std::string transport = Text(values, kTransport);
  if (transport != kSftpTransport) {
    return Invalid(key, kTransport,
                   transport.empty() ? std::string("is missing (only \"sftp\" is known)")
                                     : "names an unknown transport [" + Shown(transport) + "] (only \"sftp\" is known)");
  }
  SftpSettings read;
  read.address = Text(values, kAddress);
  read.user = Text(values, kUser);
  read.identityFile = Text(values, kIdentity);
  read.passphraseFile = Text(values, kPassphrase);
  read.knownHostsFile = Text(values, kKnownHosts);
  CZoError err = ReadNumber(values, key, kPort, read.port);
  if (!err.IsError()) err = ReadNumber(values, key, kConnectTimeout, read.connectTimeoutSec);
  if (!err.IsError()) err = ReadNumber(values, key, kIoTimeout, read.ioTimeoutSec);
  if (!err.IsError()) err = ValidateSftpSettings(read, key);
  if (err.IsError()) return err;
  settings = std::move(read);
  found = true;
  return CZoError();
}

CZoError WriteStorageHost(const std::string& plainName, const SftpSettings& s) {
  CZoError err = ValidateStorageHostName(plainName);
  const std::string key = StorageHostKey(plainName);
  if (!err.IsError()) err = ValidateSftpSettings(s, key);
  if (err.IsError()) return err;
  KXPlatformInfo platform;
  const std::pair<const char*, std::string> values[] = {
      {kAddress, s.address},
      {kPort, std::to_string(s.port)},
      {kUser, s.user},
      {kIdentity, s.identityFile},
      {kPassphrase, s.passphraseFile},
      {kKnownHosts, s.knownHostsFile},
      {kConnectTimeout, std::to_string(s.connectTimeoutSec)},
      {kIoTimeout, std::to_string(s.ioTimeoutSec)},
      {kTransport, kSftpTransport},
  };
  for (const auto& [name, text] : values) {
    if (!platform.setRegString(key, name, text)) return RegistryError(platform, "write", key);
  }
  return CZoError();
}

CZoError RemoveStorageHost(const std::string& plainName) {
  CZoError err = ValidateStorageHostName(plainName);
  if (err.IsError()) return err;
  const std::string key = StorageHostKey(plainName);
  KXPlatformInfo platform;
  if (!platform.delRegKey(key)) {
    if (platform.getRegError() == ENOENT) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Storage host %s is not configured (no key %s)",
                                     plainName.c_str(), key.c_str());
    }
    return RegistryError(platform, "remove", key);
  }
  return CZoError();
}

CZoError ListStorageHosts(std::vector<std::string>& plainNames) {
  KXPlatformInfo platform;
  const std::string folder = platform.expandKeyName(kStorageHostsKey);
  if (folder.empty()) return RegistryError(platform, "list", kStorageHostsKey);
  // Keys are folders; nothing below the registry root is a link that is followed.
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return CZoError();
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot list storage host settings %s: %s", folder.c_str(),
                                   std::strerror(e));
  }
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd.get()), ::closedir);
  if (!dir) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot list storage host settings %s: %s", folder.c_str(),
                                   std::strerror(e));
  }
  fd.release();
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (ValidateStorageHostName(entry->d_name).IsError()) continue;  // ".", "..", temporary files
    bool folder = entry->d_type == DT_DIR;
    struct stat st {};
    if (entry->d_type == DT_UNKNOWN && ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      folder = S_ISDIR(st.st_mode);
    }
    if (folder) names.push_back(entry->d_name);
    errno = 0;
  }
  if (errno != 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot list storage host settings %s: %s", folder.c_str(),
                                   std::strerror(e));
  }
  std::sort(names.begin(), names.end());
  plainNames = std::move(names);
  return CZoError();
}

}  // namespace kxmp::dataserver
