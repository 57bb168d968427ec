#include "outside/registry/PlatformState.h"

#include <errno.h>

#include "outside/error/FXErrorUtil.h"
#include "outside/log/Log.h"
#include "outside/registry/KeyCache.h"
#include "outside/registry/RegistryStore.h"

namespace kxmp::registry {

namespace {

// Per thread by design: callers ask right after the call that failed on their own thread.
thread_local int32_t t_regError = 0;
thread_local int64_t t_lastError = 0;

int NumberOf(const CZoError& err) {
  int n = FXErrorUtil::Number(err);
  return n > 0 ? n : EIO;
}

}  // namespace

void SetRegError(const CZoError& err) { t_regError = NumberOf(err); }
void SetRegError(int32_t number) { t_regError = number; }
int32_t RegError() { return t_regError; }

void SetLastError(int64_t number) { t_lastError = number; }
int64_t LastError() { return t_lastError; }

int ReadSetting(const std::string& registryRoot, const char* name, std::string& text) {
  text.clear();
  CZoError err = KeyCache::Instance().ReadValue(RegistryStore(registryRoot), kRuntimeSection, name, text);
  if (err.IsError()) {
    text.clear();
    if (FXErrorUtil::IsErrNo(err, ENOENT)) return ENOENT;
    KXLOG_TRACE("Platform setting [%s] unreadable: %s", name, err.AsString().c_str());
    return NumberOf(err);
  }
  return text.empty() ? ENOENT : 0;
}

}  // namespace kxmp::registry
