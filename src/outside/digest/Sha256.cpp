#include "outside/digest/Sha256.h"

#include <cerrno>
#include <cstring>

#include "outside/digest/Sha256Module.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::digest {

std::string Sha256Digest::Hex() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (size_t i = 0; i < 32; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

bool Sha256Digest::FromHex(const std::string& text, Sha256Digest& out) {
  if (text.size() != 64) return false;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < 32; ++i) {
    const int hi = value(text[2 * i]), lo = value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool Sha256Digest::operator==(const Sha256Digest& other) const {
  return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

CZoError LoadSha256Module(const Sha256Module*& out) {
  return module::LoadTable(kDigestModuleName, kDigestModuleEntry, out);
}

Sha256::~Sha256() {
  if (state_ != nullptr) module_->destroy(state_);
}

CZoError Sha256::Start() {
  started_ = false;
  failed_ = false;
  if (module_ == nullptr) {
    CZoError err = LoadSha256Module(module_);
    if (err.IsError()) return err;
  }
  if (state_ == nullptr) {
    state_ = module_->create();
    if (state_ == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory for a SHA-256 digest");
  } else if (module_->reset(state_) != 1) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "A SHA-256 digest could not be begun");
  }
  started_ = true;
  return CZoError::Success();
}

void Sha256::Update(const void* data, size_t size) {
  if (!started_ || size == 0) return;
  if (module_->update(state_, data, size) != 1) failed_ = true;
}

CZoError Sha256::Finish(Sha256Digest& out) {
  if (!started_) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No SHA-256 digest was begun");
  started_ = false;
  if (failed_ || module_->finish(state_, out.bytes) != 1) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "A SHA-256 digest could not be computed");
  }
  return CZoError::Success();
}

}  // namespace kxmp::digest
