// The modules: files beside the private library itself (lib/kxmp/), found from where the
// library was mapped, so a build tree and an installed tree both work.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "outside/error/FXErrorUtil.h"
#include "outside/module/Module.h"

namespace kxmp::module {

namespace {

// The tables of the modules loaded so far. Handles are never closed, so the tables stay valid
// for the life of the process; never destroyed, as objects of a module may be used at exit.
struct Loaded {
  std::mutex mutex;
  std::map<std::string, const Header*> tables;
};

Loaded& TheLoaded() {
  static Loaded* loaded = new Loaded();
  return *loaded;
}

}  // namespace

std::string Folder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&Folder), &info) == 0 || info.dli_fname == nullptr) return ".";
  const char* slash = std::strrchr(info.dli_fname, '/');
  if (slash == nullptr) return ".";
  std::string folder(info.dli_fname, static_cast<size_t>(slash - info.dli_fname));
  // The library may have been found as lib/../lib/kxmp/libX.so: messages name the plain path.
  if (char* resolved = ::realpath(folder.c_str(), nullptr)) {
    folder = resolved;
    std::free(resolved);
  }
  return folder;
}

CZoError Load(const char* name, const char* entry, const Header*& out) {
  out = nullptr;
  try {
    Loaded& loaded = TheLoaded();
    std::lock_guard<std::mutex> lock(loaded.mutex);
    auto found = loaded.tables.find(name);
    if (found != loaded.tables.end()) {
      out = found->second;
      return CZoError::Success();
    }
    const std::string path = Folder() + "/libkxmp-" + name + ".so";
    // RTLD_NOW: a module that misses a symbol fails here, with the loader's reason, not later.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      return FXErrorUtil::ErrorErrNo(FX_LOC, ELIBACC, "Cannot load the %s module [%s]: %s", name, path.c_str(),
                                     why != nullptr ? why : "unknown reason");
    }
    ::dlerror();
    void* symbol = ::dlsym(handle, entry);
    if (symbol == nullptr) {
      const char* why = ::dlerror();
      return FXErrorUtil::ErrorErrNo(FX_LOC, ELIBBAD, "The %s module [%s] has no entry %s: %s", name, path.c_str(),
                                     entry, why != nullptr ? why : "unknown reason");
    }
    using Entry = const Header* (*)();
    const Header* header = reinterpret_cast<Entry>(symbol)();
    if (header == nullptr || header->abi != kAbi || header->name == nullptr || std::strcmp(header->name, name) != 0 ||
        header->version == nullptr || std::strcmp(header->version, KXMP_MODULE_VERSION) != 0) {
      return FXErrorUtil::ErrorErrNo(
          FX_LOC, ELIBBAD, "The %s module [%s] does not fit this library (module ABI %u, release %s; wanted ABI %u, release %s)",
          name, path.c_str(), header != nullptr ? header->abi : 0u,
          header != nullptr && header->version != nullptr ? header->version : "?", kAbi, KXMP_MODULE_VERSION);
    }
    loaded.tables.emplace(name, header);
    out = header;
    return CZoError::Success();
  } catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory loading the %s module", name);
  }
}

}  // namespace kxmp::module
