#include "outside/registry/KXPI.h"

#include <errno.h>

#include <charconv>
#include <mutex>
#include <set>

#include "outside/log/Log.h"
#include "outside/registry/PlatformState.h"
#include "outside/util/KxHome.h"

namespace {

// Texts handed out as const char* for the life of the process. Entries are never removed, and
// a std::set never moves its elements, so every pointer stays valid.
const char* Intern(const std::string& text) {
  static std::mutex mutex;
  static std::set<std::string>* texts = new std::set<std::string>();  // never destroyed: pointers outlive exit
  std::lock_guard<std::mutex> lock(mutex);
  return texts->insert(text).first->c_str();
}

}  // namespace

KXPI_Base::KXPI_Base() {
  try {
    registryRoot_ = kxmp::home::Path("registry");
  } catch (...) {
    // Left empty: settings then read as missing.
  }
}

unsigned int KXPI_Base::getPlatformType() const {
  try {
    std::string text;
    if (kxmp::registry::ReadSetting(registryRoot_, kxmp::registry::kPlatformTypeVal, text) != 0) return 0;
    unsigned int bits = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), bits);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
      KXLOG_TRACE("Platform setting [%s] is not a number: [%s]", kxmp::registry::kPlatformTypeVal, text.c_str());
      return 0;
    }
    return bits;
  } catch (...) {
    return 0;
  }
}

KXPI_CommClient::KXPI_CommClient() {
  try {
    std::string root = kxmp::home::Root();
    invalid_ = root.empty() || root[0] != '/';
  } catch (...) {
    invalid_ = true;
  }
}

bool KXPI_CommClient::invalidKXPlatform() const { return invalid_; }

const char* KXPI_CommClient::getJobResultsDirectory(const std::string& machine) const {
  if (invalid_ || machine.empty()) {
    kxmp::registry::SetLastError(static_cast<int64_t>(EINVAL));
    return nullptr;
  }
  try {
    std::string dir;
    int why = kxmp::registry::ReadSetting(registryRoot_, kxmp::registry::kJobResultsDirectoryVal, dir);
    if (why == ENOENT) {
      dir = kxmp::home::Path("jobresults");
    } else if (why != 0) {
      kxmp::registry::SetLastError(static_cast<int64_t>(why));
      return nullptr;
    }
    return Intern(dir);
  } catch (...) {
    kxmp::registry::SetLastError(static_cast<int64_t>(ENOMEM));
    return nullptr;
  }
}
