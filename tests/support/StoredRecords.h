#pragma once
// What the file records document of a folder on this machine's file system (a local mount
// path, or a test server's chroot) says, and the SHA-256 of bytes, for checks of stored files.

#include <map>
#include <string>

#include "logbackup/FileRecords.h"
#include "outside/digest/Sha256.h"
#include "outside/util/CZoFile.h"

namespace kxmp::test {

inline std::string Sha256Hex(const std::string& bytes) {
  digest::Sha256 sha;
  digest::Sha256Digest out;
  if (sha.Start().IsError()) return "(no digest)";
  sha.Update(bytes.data(), bytes.size());
  return sha.Finish(out).IsError() ? "(no digest)" : out.Hex();
}

// Name -> SHA-256 (hex) of every record in the folder's document; empty without one, and a
// single entry "(damaged)" when it does not parse.
inline std::map<std::string, std::string> RecordedChecksums(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::string text;
  if (CZoFile::ReadWholeFile(folder + "/" + logbackup::kRecordsName, text).IsError()) return out;
  logbackup::FileRecords records;
  if (records.Parse(text).IsError()) return {{"(damaged)", text}};
  for (const logbackup::FileRecord& r : records.all()) out[r.name] = r.sha256.Hex();
  return out;
}

}  // namespace kxmp::test
