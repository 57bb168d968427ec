#include "outside/util/KxHome.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/FXPath.h"

namespace kxmp::home {

const char* DefaultRoot() { return KXMP_DEFAULT_HOME; }

std::string Root() {
  const char* env = std::getenv("KX_HOME");
  if (env != nullptr && env[0] != '\0') return env;
  return DefaultRoot();
}

std::string Path(const std::string& sub) { return FXPath::Join(Root(), sub); }

static CZoError MakeDirs(const std::string& path) {
  std::string cur;
  size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    cur = "/";
    i = 1;
  }
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      cur += path.substr(i, j - i);
      if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Failed to create folder [%s]: %s", cur.c_str(), std::strerror(e));
      }
      cur += "/";
    }
    i = j + 1;
  }
  return CZoError::Success();
}

CZoError Ensure(const std::string& sub, std::string& out) {
  out = sub.empty() ? Root() : Path(sub);
  return MakeDirs(out);
}

}  // namespace kxmp::home
