#include "support/MountPathCatalog.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "outside/util/KxHome.h"

namespace kxmp::test {

void AddCatalogMountPath(const std::string& host, const std::string& path, const std::string& library) {
  const std::string file = kxmp::home::Path("catalog.db");
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << file << ": " << (db ? sqlite3_errmsg(db) : "?");
    sqlite3_close(db);
    return;
  }
  const char* schema =
      "CREATE TABLE IF NOT EXISTS mount_path (id INTEGER PRIMARY KEY, host TEXT NOT NULL, path TEXT NOT NULL, "
      "library TEXT NOT NULL DEFAULT '')";
  char* msg = nullptr;
  if (sqlite3_exec(db, schema, nullptr, nullptr, &msg) != SQLITE_OK) {
    ADD_FAILURE() << "cannot create mount_path: " << (msg ? msg : "?");
    sqlite3_free(msg);
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO mount_path (host, path, library) VALUES (?, ?, ?)", -1, &st, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(st, 1, host.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, library.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_DONE) ADD_FAILURE() << "cannot insert: " << sqlite3_errmsg(db);
  } else {
    ADD_FAILURE() << "cannot prepare insert: " << sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace kxmp::test
