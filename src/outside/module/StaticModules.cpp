// The static library's modules: their code is linked in, so the tables are handed out as they
// are, with nothing loaded.
#include <cerrno>
#include <cstring>

#include "outside/catalog/postgres/PostgresModule.h"
#include "outside/dataserver/sftp/SftpModule.h"
#include "outside/digest/Sha256Module.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/module/Module.h"

namespace kxmp::module {

std::string Folder() { return std::string(); }

CZoError Load(const char* name, const char* entry, const Header*& out) {
  if (std::strcmp(entry, kxmp::dataserver::kSftpModuleEntry) == 0) {
    out = &kxmp_sftp_module()->header;
  } else if (std::strcmp(entry, kxmp::catalog::kPostgresModuleEntry) == 0) {
    out = &kxmp_postgres_module()->header;
  } else if (std::strcmp(entry, kxmp::digest::kDigestModuleEntry) == 0) {
    out = &kxmp_digest_module()->header;
  } else {
    out = nullptr;
    return FXErrorUtil::ErrorErrNo(FX_LOC, ELIBACC, "No %s module is linked in (entry %s)", name, entry);
  }
  return CZoError::Success();
}

}  // namespace kxmp::module
