#include "outside/catalog/CatalogValidation.h"

#include <errno.h>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/HostName.h"

namespace kxmp::catalog {

bool HasControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

int GuidProblem(const std::string& guid) {
  if (guid.empty()) return ENOENT;
  if (guid == "." || guid == ".." || guid.find('/') != std::string::npos || HasControlCharacter(guid)) {
    return EINVAL;
  }
  return 0;
}

CZoError CheckGuid(const char* what, const std::string& guid) {
  switch (GuidProblem(guid)) {
    case 0:
      return CZoError::Success();
    case ENOENT:
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The %s is empty", what);
    default:
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "The %s [%s] cannot name a folder", what, guid.c_str());
  }
}

CZoError CheckHostName(const std::string& mangled) {
  std::string host, second;
  int64_t n1 = 0, n2 = 0;
  if (mangled.empty() || HasControlCharacter(mangled) || !DemangleHostName(mangled, host, second, n1, n2) ||
      host.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "[%s] is not a valid host name", mangled.c_str());
  }
  return CZoError::Success();
}

}  // namespace kxmp::catalog
