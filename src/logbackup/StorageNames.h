#pragma once
// The names log backup gives files on storage that client machines share, and the names it
// keeps for itself.
//
// Writer id: 12 hex digits naming this client machine (this home) among the machines that
// write to one storage host. It is a hash of a random value kept in the registry
// (Runtime/sWriterId, made once under a machine-wide lock) and of the machine's name, so two
// homes, and a home copied to another machine, get different ids.
//
// Temporary names: "<name>.<writer id>.tmp", unique to this machine for a name, so writers on
// different machines never meet on one temporary file, and a writer finds what a dead writer
// of this machine left under the name it is about to use. A name too long for that keeps a
// cut prefix and a hash of the whole name: "<cut>~<16 hex>.<writer id>.tmp" (255 bytes).
//
// Reserved names: no log file may be named like something the system stores beside the logs
// (see CheckLogName).

#include <cstdint>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::logbackup {

// This home's writer id. Never fails: when the registry cannot keep one, a random id for the
// life of the process is used (logged once), which is unique but finds no leftovers.
std::string WriterId();

// The temporary name of `name` (its last "/"-separated component gets the suffix).
std::string TemporaryNameFor(const std::string& name, const std::string& writerId);

// The name of a stream's metadata document: "StreamMetadata_<n>.xml".
KXMP_EXPORT bool IsStreamMetadataName(const std::string& name);

// Success when `name` may be a stored log file's name: errno EINVAL for a name ending in
// ".tmp" (files being written, lock and set-aside files), a stream metadata document's name,
// the file records document's name (FileRecords.h), and in file-mode the data-path cache
// file's name; ENAMETOOLONG for a component over 255
// bytes. (A ".." component is refused by the callers, with EACCES.)
CZoError CheckLogName(const std::string& name, bool fileMode);

}  // namespace kxmp::logbackup
