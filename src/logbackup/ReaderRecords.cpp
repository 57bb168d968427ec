#include "logbackup/ReaderRecords.h"

#include <vector>

#include "kxmp/DataServerContext.h"

namespace kxmp::logbackup {
namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < to; ++i) {
    if (!out.empty()) out += '/';
    out += parts[i];
  }
  return out;
}

void Describe(const FileRecord& record, DataServerReadCheck& out) {
  out.recorded = true;
  out.recordSize = record.size;
  out.recordSha256 = record.sha256.Hex();
  out.recordTime = record.time;
}

}  // namespace

const RecordFinder::Document& RecordFinder::Read(DataServerContext* context, const std::string& folder, bool fresh) {
  auto key = std::make_pair(static_cast<const DataServerContext*>(context), folder);
  auto it = documents_.find(key);
  if (it != documents_.end() && !fresh) return it->second;
  Document doc;
  bool exists = false;
  doc.error = ReadRecords(context, folder, doc.records, exists);
  return documents_[key] = std::move(doc);
}

CZoError RecordFinder::Find(DataServerContext* context, const std::string& path, FileRecord& out, bool& found,
                            bool fresh) {
  found = false;
  const std::vector<std::string> parts = Components(path);
  for (size_t k = parts.size(); k-- > 0;) {
    const Document& doc = Read(context, Joined(parts, 0, k), fresh);
    if (doc.error.IsError()) return doc.error;
    if (const FileRecord* r = doc.records.Find(Joined(parts, k, parts.size()))) {
      out = *r;
      found = true;
      return CZoError::Success();
    }
  }
  return CZoError::Success();
}

void ReaderRecords::Open(const DataServerContextPtr& context, const std::string& path) {
  context_ = context;
  path_ = path;
  open_ = true;
  ended_ = false;
  judged_ = false;
  startError_ = sha_.Start();
}

CZoError ReaderRecords::Lookup(const DataServerContextPtr& context, const std::string& path, DataServerReadCheck& out) {
  out = DataServerReadCheck();
  FileRecord record;
  bool found = false;
  CZoError err = finder_.Find(context.get(), path, record, found, false);
  if (err.IsSuccess() && found) Describe(record, out);
  return err;
}

CZoError ReaderRecords::Check(DataServerReadCheck& out) {
  if (judged_) {
    out = verdict_;
    return CZoError::Success();
  }
  out = DataServerReadCheck();
  out.bytes = sha_.bytes();
  if (!ended_ || !context_) return CZoError::Success();  // kNotRead
  judged_ = true;
  digest::Sha256Digest read;
  CZoError err = sha_.Finish(read);
  if (err.IsError()) {
    out.result = DataServerReadCheck::kUnknown;
    out.why = "no checksum: " + err.Message();
    verdict_ = out;
    return CZoError::Success();
  }
  out.sha256 = read.Hex();
  auto judge = [&](const FileRecord& r) {
    return r.size == out.bytes && r.sha256 == read ? DataServerReadCheck::kMatches : DataServerReadCheck::kDiffers;
  };
  FileRecord cached, now;
  bool found = false, foundNow = false;
  err = finder_.Find(context_.get(), path_, cached, found, false);
  if (err.IsSuccess() && (!found || judge(cached) != DataServerReadCheck::kMatches)) {
    // Recorded or replaced since the folder's records were read? Judged on them afresh.
    err = finder_.Find(context_.get(), path_, now, foundNow, true);
    if (err.IsSuccess() && found && (!foundNow || !now.SameContent(cached)) &&
        (!foundNow || judge(now) != DataServerReadCheck::kMatches)) {
      out.result = DataServerReadCheck::kUnknown;
      out.why = "its record changed while it was read (the file was replaced meanwhile)";
      verdict_ = out;
      return CZoError::Success();
    }
    cached = now;
    found = foundNow;
  }
  if (err.IsError()) {
    out.result = DataServerReadCheck::kUnknown;
    out.why = "its record cannot be read: " + err.Message();
  } else if (!found) {
    out.result = DataServerReadCheck::kUnrecorded;
  } else {
    Describe(cached, out);
    out.result = judge(cached);
    if (out.result == DataServerReadCheck::kDiffers) {
      out.why = cached.size != out.bytes
                    ? "its record says " + std::to_string(cached.size) + " bytes, " + std::to_string(out.bytes) + " were read"
                    : "its SHA-256 is not the one recorded";
    }
  }
  verdict_ = out;
  return CZoError::Success();
}

}  // namespace kxmp::logbackup
