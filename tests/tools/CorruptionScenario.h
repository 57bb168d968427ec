#pragma once
// One corruption story, run against every storage backend: logs backed up to the first mount
// path and copied, records and all, to the second (as an earlier failover or a replication
// leaves them); then, on the storage itself, one byte flipped, a file cut short, one deleted, a
// different copy on the second mount path, and one damaged on both. kxmp verify must name each
// (exit 1, one operator event) and kxmp restore must refuse every copy that does not verify,
// take the good one where there is one, and fail only the file no copy of which verifies; kxmp
// get takes the good copy too, and refuses the file no copy of which verifies.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "logbackup/FileRecords.h"
#include "support/StoredRecords.h"
#include "support/Subprocess.h"
#include "support/TempHome.h"
#include "tools/AdminSupport.h"

namespace kxmp::test {

struct CorruptionStory {
  std::function<RunResult(std::vector<std::string>)> kxmp;  // the tool with the test's home
  std::string subclient;
  std::string roots[2];                     // the subclient's root folder on each mount path, seen here
  std::string hosts[2];                     // their storage hosts' mangled names
  std::vector<std::string> sources;         // at least five files: a.trn .. e.trn
  std::string to;                           // where restore writes
  std::function<std::string()> eventsLog;   // the home's event log
};

inline void FlipByte(const std::string& path, off_t at) {
  std::string content = ReadFile(path);
  content[static_cast<size_t>(at)] ^= 0x20;
  WriteFile(path, content);
}

inline void RunCorruptionStory(const CorruptionStory& s) {
  std::vector<std::string> backup = {"backup", "--subclient", s.subclient, "--metadata"};
  backup.insert(backup.end(), s.sources.begin(), s.sources.end());
  RunResult r = s.kxmp(backup);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = s.kxmp({"verify", "--subclient", s.subclient, "--json"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Summary(r)["ok"], 5) << r.out;

  // The second mount path holds the same files and records.
  std::filesystem::create_directories(s.roots[1]);
  for (const auto& entry : std::filesystem::directory_iterator(s.roots[0])) {
    std::filesystem::copy(entry.path(), s.roots[1] + "/" + entry.path().filename().string());
  }
  FlipByte(s.roots[0] + "/a.trn", 1000);                         // corrupt on ma1, good on ma2
  ::truncate((s.roots[0] + "/b.trn").c_str(), 100);               // cut short on ma1
  std::filesystem::remove(s.roots[0] + "/c.trn");                 // gone from ma1
  WriteFile(s.roots[1] + "/d.trn", "another version of d");       // differs on ma2, no record there
  logbackup::FileRecords records;
  ASSERT_FALSE(records.Parse(ReadFile(s.roots[1] + "/" + logbackup::kRecordsName)).IsError());
  records.Remove("d.trn");
  WriteFile(s.roots[1] + "/" + logbackup::kRecordsName, records.Text());
  FlipByte(s.roots[0] + "/e.trn", 0);                            // damaged on both
  FlipByte(s.roots[1] + "/e.trn", 5);

  r = s.kxmp({"verify", "--subclient", s.subclient, "--json", "--jobs", "3"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  std::map<std::string, std::string> seen;  // "<host> <path>" -> status
  for (const nlohmann::json& line : JsonLines(r.out)) {
    if (line.value("type", "") != "file") continue;
    seen[line.value("host", "*") + " " + line.value("path", "")] = line.value("status", "");
  }
  const std::string& ma1 = s.hosts[0];
  const std::string& ma2 = s.hosts[1];
  const std::map<std::string, std::string> want = {
      {ma1 + " /a.trn", "corrupt"}, {ma2 + " /a.trn", "ok"},         {ma1 + " /b.trn", "corrupt"},
      {ma2 + " /b.trn", "ok"},      {ma1 + " /c.trn", "missing"},    {ma2 + " /c.trn", "ok"},
      {ma1 + " /d.trn", "ok"},      {ma2 + " /d.trn", "unverified"}, {"* /d.trn", "differs"},
      {ma1 + " /e.trn", "corrupt"}, {ma2 + " /e.trn", "corrupt"}};
  EXPECT_EQ(seen, want) << r.out;
  const nlohmann::json summary = Summary(r);
  EXPECT_EQ(summary["corrupt"], 4);
  EXPECT_EQ(summary["missing"], 1);
  EXPECT_EQ(summary["differs"], 1);
  EXPECT_NE(s.eventsLog().find("0x4A00057C"), std::string::npos);

  // Every file but e comes from a copy that verifies; no damaged byte reaches --to, with or
  // without --force.
  for (const char* force : {"", "--force"}) {
    std::vector<std::string> restore = {"restore", "--subclient", s.subclient, "\\.trn$", "--to", s.to, "--json"};
    if (*force != '\0') restore.push_back(force);
    r = s.kxmp(restore);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    for (const std::string& source : s.sources) {
      const std::string name = source.substr(source.rfind('/') + 1);
      const std::string restored = s.to + "/" + name;
      if (name == "e.trn") {
        EXPECT_FALSE(PathExists(restored));
      } else {
        EXPECT_TRUE(PathExists(restored) && ReadFile(restored) == ReadFile(source)) << name;
      }
    }
    EXPECT_EQ(Summary(r)["failed"], 1) << r.out;
    EXPECT_NE(r.out.find("e.trn: no stored copy verifies"), std::string::npos) << r.out;
  }
  for (const auto& entry : std::filesystem::directory_iterator(s.to)) {
    EXPECT_EQ(entry.path().extension(), ".trn") << entry.path();  // no temporary file left
  }

  // get, a database's restore command, likewise: the good copy of a from ma2; e refused above
  // 125, named, with what to do next, and nothing written to the path.
  const std::string path = s.to + "/fetched";
  r = s.kxmp({"get", "--subclient", s.subclient, "a.trn", path});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(PathExists(path) && ReadFile(path) == ReadFile(s.sources[0]));
  std::filesystem::remove(path);
  r = s.kxmp({"get", "--subclient", s.subclient, "e.trn", path});
  EXPECT_GT(r.status, 125) << r.out << r.err;
  EXPECT_NE(r.err.find("[e.trn] is stored, but no copy matches its checksum record"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("kxmp verify --subclient " + s.subclient), std::string::npos) << r.err;
  EXPECT_FALSE(PathExists(path));
}

}  // namespace kxmp::test
