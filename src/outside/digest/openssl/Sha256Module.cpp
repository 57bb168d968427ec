// The entry of the digest module: SHA-256 through OpenSSL's EVP interface.
#include "outside/digest/Sha256Module.h"

#include <openssl/evp.h>

#include "kxmp/kxmp_export.h"

namespace kxmp::digest {
namespace {

// Fetched once: an implicit fetch at every reset takes the provider store's lock each time.
const EVP_MD* Sha256() {
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

int Reset(void* state) { return EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(state), Sha256(), nullptr); }

void* Create() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx != nullptr && Reset(ctx) != 1) {
    EVP_MD_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

int Update(void* state, const void* data, size_t size) {
  return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), data, size);
}

int Finish(void* state, unsigned char* out) {
  unsigned int length = 0;
  return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(state), out, &length) == 1 && length == 32 ? 1 : 0;
}

void Destroy(void* state) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state)); }

const Sha256Module kModule{module::MakeHeader(kDigestModuleName, KXMP_MODULE_VERSION), &Create, &Reset, &Update,
                           &Finish, &Destroy};

}  // namespace
}  // namespace kxmp::digest

extern "C" KXMP_EXPORT const kxmp::digest::Sha256Module* kxmp_digest_module() { return &kxmp::digest::kModule; }
