#include "ServiceLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/FXPath.h"

namespace kxmp::host {

namespace {

std::string ExecutableFolder() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

std::string LoadedName(void* handle) {
  link_map* map = nullptr;
  if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return "?";
  return map->l_name;
}

CZoError AnotherCopy(const FXCodeLocation& where, const std::string& path, const std::string& linkedName) {
  return FXErrorUtil::ErrorErrNo(where, EXDEV,
                                 "[%s] is another copy of the service library than the one this host is linked with "
                                 "[%s]; load that file so that the service shares the host's logger",
                                 path.c_str(), linkedName.c_str());
}

}  // namespace

ServiceLibrary::~ServiceLibrary() {
  // Only drops this reference: the library stays mapped as long as the host is linked with it.
  if (handle_) ::dlclose(handle_);
}

std::string ServiceLibrary::DefaultPath() {
  const std::string folder = ExecutableFolder();
  const std::string installed = FXPath::Join(FXPath::Join(folder, KXMP_HOST_INSTALLED_LIBDIR), KXMP_SERVICE_SONAME);
  const std::string built = FXPath::Join(FXPath::Join(folder, KXMP_HOST_BUILD_LIBDIR), KXMP_SERVICE_SONAME);
  for (const std::string& candidate : {installed, built}) {
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return installed;
}

CZoError ServiceLibrary::Load(const std::string& path) {
  // The linked copy, found by its SONAME without loading anything.
  void* linked = ::dlopen(KXMP_SERVICE_SONAME, RTLD_NOW | RTLD_NOLOAD);
  const std::string linkedName = LoadedName(linked);
  if (linked) ::dlclose(linked);
  // Another file is refused before it is mapped: its static initialisers must not run.
  struct stat wanted {}, have {};
  if (::stat(path.c_str(), &wanted) != 0) {
    const int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Cannot load the service library [%s]: %s", path.c_str(),
                                   std::strerror(e));
  }
  if (::stat(linkedName.c_str(), &have) == 0 && (wanted.st_dev != have.st_dev || wanted.st_ino != have.st_ino)) {
    return AnotherCopy(FX_LOC, path, linkedName);
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Cannot load the service library [%s]: %s", path.c_str(),
                                   why ? why : "unknown reason");
  }
  // The loader must have handed back the linked copy itself.
  void* again = ::dlopen(KXMP_SERVICE_SONAME, RTLD_NOW | RTLD_NOLOAD);
  const bool same = again != nullptr && again == handle;
  if (again) ::dlclose(again);
  if (!same) {
    ::dlclose(handle);
    return AnotherCopy(FX_LOC, path, linkedName);
  }
  using Entry = void* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, "GetOnDemandSvcLibInstance"));
  if (entry == nullptr) {
    ::dlclose(handle);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSYS, "[%s] has no entry point GetOnDemandSvcLibInstance", path.c_str());
  }
  auto* service = static_cast<IOnDemandSvcInterface*>(entry());
  if (service == nullptr) {
    ::dlclose(handle);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFAULT, "GetOnDemandSvcLibInstance of [%s] gave no service", path.c_str());
  }
  if (handle_) ::dlclose(handle_);
  handle_ = handle;
  service_ = service;
  return CZoError::Success();
}

}  // namespace kxmp::host
