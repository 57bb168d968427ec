#pragma once
// SHA-256 of a stream of bytes, computed by the digest module (Sha256Module.h), loaded on the
// first Start. A process that cannot load the module gets an error naming the file, never a
// digest it could mistake for a real one.
//
//   Sha256 sha;
//   CZoError err = sha.Start();
//   sha.Update(data, size);            // as often as needed
//   Sha256Digest digest;
//   if (err.IsSuccess()) err = sha.Finish(digest);
//
// Sha256Pipeline (Sha256Pipeline.h) computes the same beside the caller's own work.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::digest {

struct Sha256Module;

struct KXMP_EXPORT Sha256Digest {
  uint8_t bytes[32] = {};

  // 64 lower-case hex digits.
  std::string Hex() const;
  // From 64 hex digits (either case); false for anything else.
  static bool FromHex(const std::string& text, Sha256Digest& out);
  bool operator==(const Sha256Digest& other) const;
  bool operator!=(const Sha256Digest& other) const { return !(*this == other); }
};

class KXMP_EXPORT Sha256 {
 public:
  Sha256() = default;
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Begins a new digest (the module is loaded on first use): ELIBACC/ELIBBAD when the module
  // cannot be used, ENOMEM.
  CZoError Start();
  // Adds bytes to a started digest; ignored when Start failed.
  void Update(const void* data, size_t size);
  // The digest of everything added since Start; EIO when a step failed. Start again to reuse.
  CZoError Finish(Sha256Digest& out);
  bool started() const { return started_; }

 private:
  const Sha256Module* module_ = nullptr;
  void* state_ = nullptr;
  bool started_ = false;
  bool failed_ = false;
};

}  // namespace kxmp::digest
