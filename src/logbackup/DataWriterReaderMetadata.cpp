#include "logbackup/DataWriterReaderMetadata.h"

#include <errno.h>

#include <map>

#include "logbackup/DataWriterReaderCommon.h"
#include "logbackup/LogBackupLocation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::logbackup {
namespace {

using namespace Tessel;

CNMessageList* FilesOf(CNMessageBase& metadata, bool create) {
  return metadata.getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag, kLogBackupToDiskStreamMetadataFilesId, create);
}

CNMessageList* Files(StreamContext& stream, bool create) {
  if (!stream.metadata) return CNMessageList::Empty();
  return FilesOf(*stream.metadata, create);
}

std::string NameOf(const CNMessageBase& record) {
  return record.getstring(1, 1, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Valid UTF-8 of characters XML 1.0 carries as they are (no control characters, no U+FFFE or
// U+FFFF), not beginning with "/".
bool IsPlainText(const std::string& s) {
  if (!s.empty() && s[0] == '/') return false;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return false;
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    if (len == 3 && c == 0xEF && p[i + 1] == 0xBF && p[i + 2] >= 0xBE) return false;  // U+FFFE, U+FFFF
    i += len;
  }
  return true;
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

size_t CopyFileRecords(StreamContext& from, const std::vector<bool>& keep, StreamContext& to) {
  size_t i = 0, copied = 0;
  for (const CNMessageBase& record : *Files(from, false)) {
    if (i < keep.size() && keep[i]) {
      if (Files(to, true)->push_back(record) != 0) break;
      ++copied;
    }
    ++i;
  }
  return copied;
}

CZoError MergeStreamDocument(StreamContext& stream, const std::vector<bool>& keep, const std::string* current,
                             std::string& text) {
  if (!stream.metadata) return OutOfMemoryError();
  LogBackupToDiskStreamMetadata merged(*stream.metadata);
  CNMessageList* out = FilesOf(merged, true);
  out->clear();
  std::map<std::string, size_t> at;  // decoded name -> position in out
  auto add = [&](const CNMessageBase& record, const std::string& name) {
    auto [it, fresh] = at.emplace(name, out->size());
    if (fresh) return out->push_back(record) == 0;
    *out->at(it->second) = record;
    return true;
  };
  if (current != nullptr) {
    LogBackupToDiskStreamMetadata stored;
    if (int r = stored.unserialize(*current, CNMessageBase::kMaxStoredDocumentSize)) {
      return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO,
                                     "The stored document is not a stream metadata document (%s); it is kept as it is",
                                     CNMessageBase::ResultText(r));
    }
    for (const CNMessageBase& record : *FilesOf(stored, false)) {
      if (!add(record, DecodeFileName(NameOf(record)))) return OutOfMemoryError();
    }
  }
  size_t i = 0;
  for (const CNMessageBase& record : *Files(stream, false)) {
    if (i < keep.size() && keep[i]) {
      CNMessageBase copy(record);
      copy.setstring(1, 1, EncodeFileName(NameOf(record)), kLogBackupToDiskFileMetadataTag,
                     kLogBackupToDiskFileMetadataFileNameId);
      if (!add(copy, NameOf(record))) return OutOfMemoryError();
    }
    ++i;
  }
  if (int r = merged.serialize(text, false)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "Xml Metadata message serialization failed (%s)",
                                   CNMessageBase::ResultText(r));
  }
  return CZoError::Success();
}

CZoError DropStreamRecords(const std::string& current, const std::function<bool(const std::string& name)>& drop,
                           std::string& text, bool& changed) {
  changed = false;
  LogBackupToDiskStreamMetadata stored;
  if (int r = stored.unserialize(current, CNMessageBase::kMaxStoredDocumentSize)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO,
                                   "The stored document is not a stream metadata document (%s); it is kept as it is",
                                   CNMessageBase::ResultText(r));
  }
  LogBackupToDiskStreamMetadata kept(stored);
  CNMessageList* out = FilesOf(kept, true);
  out->clear();
  for (const CNMessageBase& record : *FilesOf(stored, false)) {
    if (drop(DecodeFileName(NameOf(record)))) {
      changed = true;
    } else if (out->push_back(record) != 0) {
      return OutOfMemoryError();
    }
  }
  text = current;
  if (!changed) return CZoError::Success();
  if (int r = kept.serialize(text, false)) {
    return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "Xml Metadata message serialization failed (%s)",
                                   CNMessageBase::ResultText(r));
  }
  return CZoError::Success();
}

std::string EncodeFileName(const std::string& name) {
  if (IsPlainText(name)) return name;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "/";
  for (unsigned char c : name) {
    if (c > 0x20 && c < 0x7F && c != '%' && c != '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string DecodeFileName(const std::string& text) {
  if (text.empty() || text[0] != '/') return text;
  std::string out;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int hi = HexValue(i + 1 < text.size() ? text[i + 1] : 0), lo = HexValue(i + 2 < text.size() ? text[i + 2] : 0);
    if (hi < 0 || lo < 0) return text;  // not written by EncodeFileName: taken as it is
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

void EncodeFileNames(CNMessageBase& metadata) {
  for (CNMessageBase& record : *FilesOf(metadata, false)) {
    std::string& name = record.getstringByRef(1, 1, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
    name = EncodeFileName(name);
  }
}

void DecodeFileNames(CNMessageBase& metadata) {
  for (CNMessageBase& record : *FilesOf(metadata, false)) {
    std::string& name = record.getstringByRef(1, 1, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
    name = DecodeFileName(name);
  }
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
