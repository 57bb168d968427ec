// The durable loop after what any program built on kxmp's library does at its start: load
// the C++ runtime, SQLite, the XML and the regular-expression libraries (as shared libraries,
// as the library links them), and read one host's mount paths from a catalog, with the
// SQLite settings the tool uses. bench/startup.py puts `kxmp backup` beside it: the difference
// is kxmp's own work; this program's distance from /bin/true is the dependencies'.
//
// Usage: durable_loop_with_libraries CATALOG HOST TARGET_FOLDER FILE...
#include <sqlite3.h>

#include <cstdio>
#include <pugixml.hpp>
#include <string>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

extern "C" int DurableLoopMain(int argc, char** argv);

namespace {

int MountPathsOf(const char* catalog, const char* host, std::vector<std::string>& paths) {
  sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
  sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(catalog, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "durable_loop_with_libraries: %s: %s\n", catalog, sqlite3_errmsg(db));
    sqlite3_close(db);
    return 1;
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT path FROM mount_path WHERE host = ?", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt, 1, host, -1, SQLITE_STATIC);
  while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    paths.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) std::fprintf(stderr, "durable_loop_with_libraries: %s\n", sqlite3_errmsg(db));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rc == SQLITE_DONE ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: durable_loop_with_libraries CATALOG HOST TARGET_FOLDER FILE...\n");
    return 2;
  }
  // The XML and regex libraries are loaded at start, as they are for the library; one call
  // each keeps them linked.
  pugi::xml_document doc;
  doc.load_string("<a/>");
  pcre2_match_data* match = pcre2_match_data_create(1, nullptr);
  pcre2_match_data_free(match);
  std::vector<std::string> paths;
  if (MountPathsOf(argv[1], argv[2], paths) != 0) return 1;
  if (paths.empty()) {
    std::fprintf(stderr, "durable_loop_with_libraries: host %s has no mount path\n", argv[2]);
    return 1;
  }
  return DurableLoopMain(argc - 2, argv + 2);
}
