#include "outside/dataserver/MountPathAuthority.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/KxHome.h"

namespace kxmp::dataserver {

namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};

constexpr int kBusyTimeoutMs = 5000;

}  // namespace

MountPathAuthority::~MountPathAuthority() = default;

CatalogMountPathAuthority::CatalogMountPathAuthority(std::string catalogPath)
    : catalogPath_(std::move(catalogPath)) {}

CZoError CatalogMountPathAuthority::MountPathsOf(const std::string& host, std::vector<std::string>& paths) {
  paths.clear();
  const std::string db = catalogPath_.empty() ? kxmp::home::Path("catalog.db") : catalogPath_;
  struct stat st {};
  if (::stat(db.c_str(), &st) != 0) {
    if (errno == ENOENT) return CZoError::Success();  // no catalog: no mount path is known
    int e = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot reach catalog [%s]", db.c_str());
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, DbCloser> handle(raw);
  if (rc != SQLITE_OK) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Cannot open catalog [%s]: %s", db.c_str(),
                                   raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  sqlite3_stmt* stRaw = nullptr;
  rc = sqlite3_prepare_v2(raw, "SELECT path FROM mount_path WHERE host = ?", -1, &stRaw, nullptr);
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt(stRaw);
  if (rc != SQLITE_OK) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Cannot read mount paths from catalog [%s]: %s", db.c_str(),
                                   sqlite3_errmsg(raw));
  }
  sqlite3_bind_text(stRaw, 1, host.data(), static_cast<int>(host.size()), SQLITE_TRANSIENT);
  while ((rc = sqlite3_step(stRaw)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stRaw, 0);
    int len = sqlite3_column_bytes(stRaw, 0);
    if (text != nullptr) paths.emplace_back(reinterpret_cast<const char*>(text), static_cast<size_t>(len));
  }
  if (rc != SQLITE_DONE) {
    paths.clear();
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Cannot read mount paths from catalog [%s]: %s", db.c_str(),
                                   sqlite3_errmsg(raw));
  }
  return CZoError::Success();
}

void FixedMountPathAuthority::Add(const std::string& host, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.emplace(host, path);
}

CZoError FixedMountPathAuthority::MountPathsOf(const std::string& host, std::vector<std::string>& paths) {
  paths.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  auto range = paths_.equal_range(host);
  for (auto it = range.first; it != range.second; ++it) paths.push_back(it->second);
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
