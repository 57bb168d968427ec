#include "logbackup/StorageNames.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/FileRecords.h"
#include "logbackup/LogBackupLocation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/lock/KxNamedMutex.h"
#include "outside/log/Log.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/Fnv1a.h"
#include "outside/util/KxHome.h"
#include "outside/util/RandomTag.h"

namespace kxmp::logbackup {
namespace {

constexpr size_t kNameMax = 255;
constexpr char kWriterIdKey[] = "Runtime";
constexpr char kWriterIdValue[] = "sWriterId";
constexpr char kCacheFileName[] = "DBLogBackupMAPathCache.xml";

std::string Hex(uint64_t value, int digits) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return std::string(text + 16 - digits);
}

bool IsHexText(const std::string& text) {
  if (text.size() != 16) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The id of the current home: its registry's random value (made when missing) and the
// machine's name.
std::string MakeWriterId() {
  KxNamedMutex lock("kxmp.logbackup.writer-id");
  lock.lock(10000);  // without it two first writers may both make a value; the last one stays
  KXPlatformInfo platform;
  std::string value;
  if (platform.getString(kWriterIdKey, kWriterIdValue, &value) == 0 || !IsHexText(value)) {
    value = Hex(RandomTag(), 16);
    if (!platform.setRegString(kWriterIdKey, kWriterIdValue, value)) {
      KXLOG_ERROR("Cannot keep this machine's writer id in the registry (errno %d): leftovers of its writers on the "
                  "storage will not be recognised by later writers",
                  platform.getRegError());
      value = Hex(RandomTag(), 16);
    }
  }
  return Hex(Fnv1a64(value + "\n" + platform.getPhysicalMachine()), 12);
}

}  // namespace

std::string WriterId() {
  // Per home, as tests and tools may switch homes; never destroyed (used until exit).
  static std::mutex& mutex = *new std::mutex;
  static std::map<std::string, std::string>& ids = *new std::map<std::string, std::string>;
  const std::string home = kxmp::home::Root();
  std::lock_guard<std::mutex> hold(mutex);
  auto it = ids.find(home);
  if (it != ids.end()) return it->second;
  std::string id = MakeWriterId();
  ids[home] = id;
  return id;
}

std::string TemporaryNameFor(const std::string& name, const std::string& writerId) {
  const size_t slash = name.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string suffix = "." + writerId + kTemporarySuffix;
  const size_t base = name.size() - start;
  if (base + suffix.size() <= kNameMax) return name + suffix;
  const std::string tag = "~" + Hex(Fnv1a64(name.substr(start)), 16);
  return name.substr(0, start + kNameMax - suffix.size() - tag.size()) + tag + suffix;
}

bool IsStreamMetadataName(const std::string& name) {
  static constexpr char kPrefix[] = "StreamMetadata_";
  static constexpr char kSuffix[] = ".xml";
  const size_t p = sizeof kPrefix - 1, s = sizeof kSuffix - 1;
  if (name.size() <= p + s || name.compare(0, p, kPrefix) != 0 || name.compare(name.size() - s, s, kSuffix) != 0) {
    return false;
  }
  size_t i = p;
  if (name[i] == '-') ++i;
  if (i == name.size() - s) return false;
  for (; i < name.size() - s; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

CZoError CheckLogName(const std::string& name, bool fileMode) {
  if (IsTemporaryName(name)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "File name [%s] ends in \".tmp\", which marks files being written",
                                   name.c_str());
  }
  const size_t slash = name.rfind('/');
  if (name.size() - (slash == std::string::npos ? 0 : slash + 1) > kNameMax) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENAMETOOLONG, "File name [%s] is longer than %zu bytes", name.c_str(),
                                   kNameMax);
  }
  if (IsStreamMetadataName(name)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "File name [%s] is the name of a stream metadata document",
                                   name.c_str());
  }
  if (IsRecordsName(name)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "File name [%s] is the name of the file records document",
                                   name.c_str());
  }
  if (fileMode && name == kCacheFileName) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EINVAL, "File name [%s] is the name of the data-path cache file",
                                   name.c_str());
  }
  return CZoError::Success();
}

}  // namespace kxmp::logbackup
