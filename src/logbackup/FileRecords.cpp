#include "logbackup/FileRecords.h"

#include <errno.h>

#include <charconv>
#include <cstdio>
#include <exception>
#include <string_view>

#include "logbackup/LogBackupLocation.h"
#include "logbackup/SharedDocument.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"
#include "outside/lock/KxNamedMutex.h"
#include "outside/util/CZoFile.h"
#include "outside/util/FXPath.h"
#include "outside/xml/CNMessageBase.h"

namespace kxmp::logbackup {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryReadingFileRecords =
    FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOMEM, "Out of memory reading file records");
const CZoError kNoMemoryWritingFileRecords =
    FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOMEM, "Out of memory writing file records");

constexpr char kHeader[] = "# kxmp file records 1";
constexpr char kHeaderLine[] = "# kxmp file records 1: sha256 size backup-time state name\n";
constexpr unsigned int kLocalMode = 0640;

std::string EncodeName(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool DecodeName(const char* p, const char* end, std::string& out) {
  out.clear();
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) <= 0x20) return false;
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (end - p < 3) return false;
    const int hi = HexValue(p[1]), lo = HexValue(p[2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    p += 2;
  }
  return !out.empty();
}

// The next space-separated field of [p, end); p moves past it and one space.
bool Field(const char*& p, const char* end, const char*& start, const char*& stop) {
  start = p;
  while (p < end && *p != ' ') ++p;
  stop = p;
  if (p == start) return false;
  if (p < end) ++p;
  return true;
}

bool ParseLine(const char* p, const char* end, FileRecord& r) {
  const char *a, *b;
  if (!Field(p, end, a, b) || !digest::Sha256Digest::FromHex(std::string(a, b), r.sha256)) return false;
  if (!Field(p, end, a, b) || std::from_chars(a, b, r.size).ptr != b) return false;
  if (!Field(p, end, a, b) || std::from_chars(a, b, r.time).ptr != b) return false;
  if (!Field(p, end, a, b) || b - a != 1 || (*a != '-' && *a != 'x')) return false;
  r.expiring = *a == 'x';
  return p < end && DecodeName(p, end, r.name);
}

}  // namespace

bool IsRecordsName(const std::string& name) {
  const size_t slash = name.rfind('/');
  return name.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, kRecordsName) == 0;
}

CZoError FileRecords::Parse(const std::string& text) {
  records_.clear();
  index_.clear();
  const char* p = text.data();
  const char* const end = p + text.size();
  size_t line = 0;
  while (p < end) {
    const char* eol = p;
    while (eol < end && *eol != '\n') ++eol;
    ++line;
    const std::string_view view(p, static_cast<size_t>(eol - p));
    if (line == 1) {
      if (view.substr(0, sizeof kHeader - 1) != kHeader) {
        return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "Not a file records document (its first line is not \"%s\")",
                                       kHeader);
      }
    } else if (!view.empty() && view[0] != '#') {
      FileRecord r;
      if (!ParseLine(p, eol, r)) {
        return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "Line %zu of the file records document is damaged", line);
      }
      Put(r);
    }
    p = eol < end ? eol + 1 : eol;
  }
  if (line == 0) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, EIO, "The file records document is empty");
  return CZoError::Success();
}

std::string FileRecords::Text() const {
  std::string out = kHeaderLine;
  out.reserve(out.size() + records_.size() * 120);
  char numbers[64];
  for (const FileRecord& r : records_) {
    out += r.sha256.Hex();
    std::snprintf(numbers, sizeof numbers, " %llu %lld %c ", static_cast<unsigned long long>(r.size),
                  static_cast<long long>(r.time), r.expiring ? 'x' : '-');
    out += numbers;
    out += EncodeName(r.name);
    out += '\n';
  }
  return out;
}

const FileRecord* FileRecords::Find(const std::string& name) const {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &records_[it->second];
}

FileRecord* FileRecords::Find(const std::string& name) {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &records_[it->second];
}

void FileRecords::Put(const FileRecord& record) {
  auto [it, fresh] = index_.emplace(record.name, records_.size());
  if (fresh) {
    records_.push_back(record);
  } else {
    records_[it->second] = record;
  }
}

bool FileRecords::Remove(const std::string& name) {
  auto it = index_.find(name);
  if (it == index_.end()) return false;
  const size_t at = it->second;
  index_.erase(it);
  records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(at));
  for (auto& [n, i] : index_) {
    if (i > at) --i;
  }
  return true;
}

std::string RecordsPathFor(const std::string& folder) {
  std::string path = folder;
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path.empty() ? kRecordsName : path + "/" + kRecordsName;
}

namespace {

// The records of a document read as text (read: the read's result).
CZoError ParseRead(const CZoError& read, const std::string& text, FileRecords& out, bool& exists) {
  exists = false;
  out = FileRecords();
  if (FXErrorUtil::IsErrNo(read, ENOENT)) return CZoError::Success();
  if (read.IsError()) return read;
  exists = true;
  return out.Parse(text);
}

// Applies change to the document text current (null: none) and gives the new text; an
// unchanged document comes back as it was.
CZoError Apply(const std::string* current, const RecordsChange& change, std::string& next) {
  FileRecords records;
  if (current != nullptr) {
    CZoError err = records.Parse(*current);
    if (err.IsError()) return err.Push(LOGBACKUP_LOC, "The document is kept as it is");
  }
  bool changed = false;
  CZoError err = change(records, changed);
  if (err.IsError()) return err;
  next = !changed && current != nullptr ? *current : records.Text();
  return CZoError::Success();
}

}  // namespace

CZoError ReadRecords(DataServerContext* context, const std::string& folder, FileRecords& out, bool& exists) try {
  std::string text;
  CZoError err = ReadStoredFile(context, RecordsPathFor(folder), CNMessageBase::kMaxStoredDocumentSize, text);
  return ParseRead(err, text, out, exists);
} catch (...) {
  return CaughtError(kNoMemoryReadingFileRecords, LOGBACKUP_LOC);
}

CZoError UpdateRecords(DataServerContext* context, const std::string& folder, const RecordsChange& change) try {
  return UpdateSharedDocument(context, RecordsPathFor(folder), [&](const std::string* current, std::string& next) {
    return Apply(current, change, next);
  });
} catch (...) {
  return CaughtError(kNoMemoryWritingFileRecords, LOGBACKUP_LOC);
}

CZoError ReadLocalRecords(const std::string& folder, FileRecords& out, bool& exists) try {
  std::string text;
  CZoError err = CZoFile::ReadWholeFile(FXPath::Join(folder, kRecordsName), text);
  return ParseRead(err, text, out, exists);
} catch (...) {
  return CaughtError(kNoMemoryReadingFileRecords, LOGBACKUP_LOC);
}

CZoError UpdateLocalRecords(const std::string& folder, const RecordsChange& change) try {
  const std::string path = FXPath::Join(folder, kRecordsName);
  // File-mode folders are this machine's own: a lock of this machine orders its writers.
  KxNamedMutex lock(("kxmp.logbackup.records:" + path).c_str());
  if (!lock.lock()) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOLCK, "Cannot lock [%s]", path.c_str());
  std::string current;
  CZoError err = CZoFile::ReadWholeFile(path, current);
  const bool exists = !FXErrorUtil::IsErrNo(err, ENOENT);
  if (exists && err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot read [%s]", path.c_str());
  std::string next;
  err = Apply(exists ? &current : nullptr, change, next);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "[%s] was not changed", path.c_str());
  if (exists && next == current) return CZoError::Success();
  return CZoFile::WriteWholeFileAtomic(path, next, kLocalMode);
} catch (...) {
  return CaughtError(kNoMemoryWritingFileRecords, LOGBACKUP_LOC);
}

namespace {

// The steps of a replacing commit once the lock is held and the records read: the old record
// dropped and written, the commit, the new record written.
template <class Write>
CZoError ReplaceWithRecord(FileRecords& records, const std::string& name, const ReplacingCommit& commit,
                           bool& committed, const Write& write) {
  if (records.Remove(name)) {
    CZoError err = write(records.Text());
    if (err.IsError()) return err.Push(LOGBACKUP_LOC, "[%s] is not replaced: its record cannot be dropped first", name.c_str());
  }
  FileRecord record;
  CZoError err = commit(record);
  if (err.IsError()) return err;
  committed = true;
  if (record.name.empty()) return CZoError::Success();  // stored without a record
  records.Put(record);
  return write(records.Text());
}

}  // namespace

CZoError CommitReplacing(DataServerContext* context, const std::string& name, const ReplacingCommit& commit,
                         bool& committed) try {
  committed = false;
  const std::string document = RecordsPathFor("");
  StorageLock lock(context, document);
  CZoError err = lock.Acquire();
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "Cannot take the lock of [%s]", document.c_str());
  FileRecords records;
  bool exists = false;
  err = ReadRecords(context, "", records, exists);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "[%s] is not replaced: its record cannot be dropped first", name.c_str());
  return ReplaceWithRecord(records, name, commit, committed,
                           [&](const std::string& text) { return WriteSharedDocument(context, document, lock, text); });
} catch (...) {
  return CaughtError(kNoMemoryWritingFileRecords, LOGBACKUP_LOC);
}

CZoError CommitReplacingLocal(const std::string& folder, const std::string& name, const ReplacingCommit& commit,
                              bool& committed) try {
  committed = false;
  const std::string path = FXPath::Join(folder, kRecordsName);
  KxNamedMutex lock(("kxmp.logbackup.records:" + path).c_str());
  if (!lock.lock()) return FXErrorUtil::ErrorErrNo(LOGBACKUP_LOC, ENOLCK, "Cannot lock [%s]", path.c_str());
  FileRecords records;
  bool exists = false;
  CZoError err = ReadLocalRecords(folder, records, exists);
  if (err.IsError()) return err.Push(LOGBACKUP_LOC, "[%s] is not replaced: its record cannot be dropped first", name.c_str());
  return ReplaceWithRecord(records, name, commit, committed, [&](const std::string& text) {
    return CZoFile::WriteWholeFileAtomic(path, text, kLocalMode);
  });
} catch (...) {
  return CaughtError(kNoMemoryWritingFileRecords, LOGBACKUP_LOC);
}

}  // namespace kxmp::logbackup
