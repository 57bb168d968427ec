// The main job on the embedded default: load the library as the host does and drive it.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "libKXMAMountingPointSvc.so";
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "Could not load %s: %s\n", path, dlerror());
    return 1;
  }
  std::printf("Loaded %s\n", path);
  dlclose(lib);
  return 0;
}
