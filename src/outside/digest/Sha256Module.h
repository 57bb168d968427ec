#pragma once
// The digest module (libkxmp-digest.so): SHA-256 from OpenSSL's libcrypto, which uses the
// CPU's SHA instructions. A module of its own because libcrypto costs every process that maps
// it about a millisecond at start; only the processes that store, restore or verify logs load
// it (outside/module/Module.h).

#include <cstddef>

#include "outside/module/Module.h"

namespace kxmp::digest {

constexpr char kDigestModuleName[] = "digest";
constexpr char kDigestModuleEntry[] = "kxmp_digest_module";

struct Sha256Module {
  module::Header header;
  // A new state, begun; null when memory ran out.
  void* (*create)();
  // Begins a new digest on a state: 1 on success.
  int (*reset)(void* state);
  int (*update)(void* state, const void* data, size_t size);
  // Writes the 32 bytes of the digest: 1 on success. The state must be reset before reuse.
  int (*finish)(void* state, unsigned char* out);
  void (*destroy)(void* state);
};

// The module's table, or an error naming the module file and why it cannot be used.
CZoError LoadSha256Module(const Sha256Module*& out);

}  // namespace kxmp::digest

extern "C" const kxmp::digest::Sha256Module* kxmp_digest_module();
