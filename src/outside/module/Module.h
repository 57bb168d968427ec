#pragma once
// Loadable modules: the parts whose libraries are heavy to load (the SFTP backend with the SSH
// and TLS stack, the PostgreSQL catalog with libpq and its Kerberos, LDAP and TLS libraries)
// are built as modules of their own, so that a process that never reaches a remote storage
// host or a site catalog never maps them.
//
// A module is the file <folder>/libkxmp-<name>.so, where <folder> is the folder "kxmp" beside
// the shared library (lib/kxmp/ installed, <build>/kxmp/ in a build tree). It links the shared
// library for everything it shares with it (logger, registry cache, error types), so every
// process holds one copy of each. It exports one C function, the entry, that hands out a table
// of functions beginning with a Header. A module is loaded on first need and never unloaded:
// objects it made may outlive their callers.
//
// The static library (tests, benchmarks) links the modules' code itself and hands out the same
// tables without loading anything.

#include <cstdint>
#include <string>

#include "outside/error/CZoError.h"

namespace kxmp::module {

// Changes whenever a table or a type that crosses the boundary changes; a module of another
// ABI, or of another release, is refused.
constexpr uint32_t kAbi = 1;

struct Header {
  uint32_t abi;         // kAbi of the module's build
  const char* name;     // the module's name ("sftp")
  const char* version;  // the release the module belongs to
};

// The header every module's table begins with.
inline constexpr Header MakeHeader(const char* name, const char* version) { return Header{kAbi, name, version}; }

// The table of module `name`: loads <folder>/libkxmp-<name>.so (once per process), calls its
// entry `entry` and checks the header. A module that cannot be loaded is ELIBACC, one of
// another ABI or release or without the entry ELIBBAD; the message names the file and the
// loader's reason.
CZoError Load(const char* name, const char* entry, const Header*& out);

template <class Table>
CZoError LoadTable(const char* name, const char* entry, const Table*& out) {
  static_assert(sizeof(Table) >= sizeof(Header), "a module table begins with its Header");
  const Header* header = nullptr;
  CZoError err = Load(name, entry, header);
  out = err.IsError() ? nullptr : reinterpret_cast<const Table*>(header);
  return err;
}

// The folder the modules are loaded from (empty when the modules are linked in).
std::string Folder();

}  // namespace kxmp::module
