#include "logbackup/DataWriterReaderMetadata.h"

#include "outside/xml/TesselMessages.h"

namespace kxmp::logbackup {
namespace {

using namespace Tessel;

CNMessageList* Files(StreamContext& stream, bool create) {
  if (!stream.metadata) return CNMessageList::Empty();
  return stream.metadata->getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag,
                                        kLogBackupToDiskStreamMetadataFilesId, create);
}

}  // namespace

bool AddFileRecord(StreamContext& stream, const std::string& name, int64_t openTime) {
  CNMessageBase* record = Files(stream, true)->append();
  if (record == nullptr) return false;
  record->setstring(1, 1, name, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
  record->setint64(2, 5, openTime, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataOpenTimeId);
  return true;
}

size_t FileRecordCount(StreamContext& stream) { return Files(stream, false)->size(); }

std::string LastFileName(StreamContext& stream) {
  const CNMessageBase* record = Files(stream, false)->back();
  if (record == nullptr) return std::string();
  return record->getstring(1, 1, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
}

void DropLastFileRecord(StreamContext& stream) { Files(stream, false)->pop_back(); }

int SerializeKeptRecords(StreamContext& stream, const std::vector<bool>& keep, std::string& text) {
  if (!stream.metadata) return CNMessageBase::kErrNoMemory;
  LogBackupToDiskStreamMetadata copy(*stream.metadata);
  CNMessageList* kept = copy.getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag,
                                           kLogBackupToDiskStreamMetadataFilesId, true);
  kept->clear();
  size_t i = 0;
  for (const CNMessageBase& record : *Files(stream, false)) {
    if (i < keep.size() && keep[i] && kept->push_back(record) != 0) return CNMessageBase::kErrNoMemory;
    ++i;
  }
  return copy.serialize(text, false);
}

void SetStreamInfo(StreamContext& stream, int64_t streamNumber, const std::string& maHostName, int64_t backupTime) {
  if (!stream.metadata) return;
  CNMessageBase& m = *stream.metadata;
  const uint32_t tag = kLogBackupToDiskStreamMetadataTag;
  m.setint64(1, 1, streamNumber, tag, kLogBackupToDiskStreamMetadataStreamNumberId);
  m.setstring(3, 3, maHostName, tag, kLogBackupToDiskStreamMetadataMaHostNameId);
  m.setint64(4, 7, backupTime, tag, kLogBackupToDiskStreamMetadataBackupTimeId);
}

int32_t StreamNumber(StreamContext& stream) {
  if (!stream.metadata) return 0;
  const int64_t n =
      stream.metadata->getint64(1, kLogBackupToDiskStreamMetadataTag, kLogBackupToDiskStreamMetadataStreamNumberId);
  return static_cast<int32_t>(n);
}

}  // namespace kxmp::logbackup
