#pragma once
// The SFTP module (libkxmp-sftp.so): what the shared library asks of the SFTP backend. The
// library's MakeSftpBackend and CheckSftpHost (SftpSettings.h) load it on first use.

#include <memory>
#include <string>

#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/module/Module.h"

namespace kxmp::dataserver {

constexpr char kSftpModuleName[] = "sftp";
constexpr char kSftpModuleEntry[] = "kxmp_sftp_module";

struct SftpModule {
  module::Header header;
  // Null only when memory ran out.
  std::shared_ptr<Backend> (*makeBackend)(const SftpSettings& settings, std::string plainHostName,
                                          std::shared_ptr<MountPathAuthority> authority);
  CZoError (*checkHost)(const SftpSettings& settings, const std::string& plainHostName, SftpHostCheck& out);
};

// The module's table, or an error naming the module file and why it cannot be used.
CZoError LoadSftpModule(const SftpModule*& out);

}  // namespace kxmp::dataserver

extern "C" const kxmp::dataserver::SftpModule* kxmp_sftp_module();
