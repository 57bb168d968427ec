#pragma once
// Access to the fields of a stream's metadata message (Tessel::LogBackupToDiskStreamMetadata)
// as the writer fills it. A context without a message (memory ran out when it was built)
// reads as empty and ignores changes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kxmp/StreamContext.h"
#include "outside/error/CZoError.h"

namespace kxmp::logbackup {

// Appends a file record (name, open time); false when it could not be added.
bool AddFileRecord(StreamContext& stream, const std::string& name, int64_t openTime);
size_t FileRecordCount(StreamContext& stream);
// The file name of the last record; empty without records.
std::string LastFileName(StreamContext& stream);
void DropLastFileRecord(StreamContext& stream);
// Appends to `to` a copy of every record of `from` whose flag in keep is set; the number
// appended (fewer when memory ran out).
size_t CopyFileRecords(StreamContext& from, const std::vector<bool>& keep, StreamContext& to);
// The stream's document: its metadata listing the records whose flag in keep is set (a record
// without a flag is left out), merged into the document `current` (null: none yet). The
// result is the union by file name: the current document's records in their order, a name
// this stream lists as well taking this stream's record, then this stream's new names; every
// name once. EIO when current is not a stream metadata document (its records would be lost).
CZoError MergeStreamDocument(StreamContext& stream, const std::vector<bool>& keep, const std::string* current,
                             std::string& text);

// A stored stream metadata document without the records whose (decoded) file name drop
// accepts; the rest of the document as it was. EIO when current is not a stream metadata
// document. changed tells whether any record went.
CZoError DropStreamRecords(const std::string& current, const std::function<bool(const std::string& name)>& drop,
                           std::string& text, bool& changed);

// File names in documents. XML carries only text of valid UTF-8 without most control
// characters, so a name that is not such text, or that begins with "/" (which no file name
// does), is written as "/" and its bytes with every byte outside the printable ASCII range,
// "%" and "/" as %XX. Every other name is written as it is. Decoding gives the exact bytes.
std::string EncodeFileName(const std::string& name);
std::string DecodeFileName(const std::string& text);
// The same for every record of a stream metadata message, in place.
void EncodeFileNames(CNMessageBase& metadata);
void DecodeFileNames(CNMessageBase& metadata);

void SetStreamInfo(StreamContext& stream, int64_t streamNumber, const std::string& maHostName, int64_t backupTime);
// streamNumber read back, as the signed 32-bit number it was made from.
int32_t StreamNumber(StreamContext& stream);

}  // namespace kxmp::logbackup
