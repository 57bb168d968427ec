#pragma once
// Access to the fields of a stream's metadata message (Tessel::LogBackupToDiskStreamMetadata)
// as the writer fills it. A context without a message (memory ran out when it was built)
// reads as empty and ignores changes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kxmp/StreamContext.h"

namespace kxmp::logbackup {

// Appends a file record (name, open time); false when it could not be added.
bool AddFileRecord(StreamContext& stream, const std::string& name, int64_t openTime);
size_t FileRecordCount(StreamContext& stream);
// The file name of the last record; empty without records.
std::string LastFileName(StreamContext& stream);
void DropLastFileRecord(StreamContext& stream);
// Serializes the stream's metadata listing only the records whose flag in keep is set (a
// record without a flag is left out); the result of serialize.
int SerializeKeptRecords(StreamContext& stream, const std::vector<bool>& keep, std::string& text);

void SetStreamInfo(StreamContext& stream, int64_t streamNumber, const std::string& maHostName, int64_t backupTime);
// streamNumber read back, as the signed 32-bit number it was made from.
int32_t StreamNumber(StreamContext& stream);

}  // namespace kxmp::logbackup
