// test-labels: integration slow
// Backups over SFTP killed with SIGKILL at many points of their progress: whatever the storage
// host holds under a final name is a whole copy of its source; only "<name>.tmp" files may be
// partial, and a version being replaced may sit whole under "<name>.kxmp-replaced.tmp". Every
// record describes a whole source, so kxmp verify afterwards finds every file ok or unverified,
// never corrupt or missing, also after killed replacements (--force). The kill points are
// reached by watching the server's folder, never by sleeping.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/StoredRecords.h"
#include "support/Subprocess.h"
#include "tools/SftpStorageFixture.h"

namespace kxmp::test {
namespace {

constexpr int kRounds = 12;  // even
constexpr const char* kAside = ".kxmp-replaced.tmp";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// True while the child has not ended (it is left for ServerProcess to reap).
bool Running(pid_t pid) {
  siginfo_t info {};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

struct Seen {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const Seen& o) const { return size == o.size && mtimeNs == o.mtimeNs; }
};

class SftpBackupCrashTest : public SftpStorageTest {
 protected:
  // The files of a folder on ma1's server with their size and modification time.
  std::map<std::string, Seen> Snapshot(const std::string& folder) const {
    std::map<std::string, Seen> out;
    if (DIR* d = ::opendir(folder.c_str())) {
      while (dirent* e = ::readdir(d)) {
        struct stat st {};
        const std::string name = e->d_name;
        if (name == "." || name == ".." || ::stat((folder + "/" + name).c_str(), &st) != 0) continue;
        out[name] = {static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
      }
      ::closedir(d);
    }
    return out;
  }
  // Bytes written since `before`: the sizes of files that are new or changed.
  static uint64_t Written(const std::map<std::string, Seen>& before, const std::map<std::string, Seen>& now) {
    uint64_t total = 0;
    for (const auto& [name, seen] : now) {
      auto it = before.find(name);
      if (it == before.end() || !(it->second == seen)) total += seen.size;
    }
    return total;
  }
};

TEST_F(SftpBackupCrashTest, KilledBackupsLeaveNoTornFileUnderAFinalName) {
  const std::vector<size_t> sizes = {3u << 20, 1u << 20, (2u << 20) + 11, 5u << 20};
  const std::vector<std::string> sources = MakeSources("src", sizes);
  uint64_t all = 0;
  for (size_t s : sizes) all += s;
  std::map<std::string, std::string> content;
  for (size_t i = 0; i < sources.size(); ++i) content["log_" + std::to_string(i) + ".trn"] = ReadFile(sources[i]);

  int killedMidway = 0;
  for (int round = 0; round < kRounds; ++round) {
    // The first half writes into fresh folders; the second half again into those, over what
    // the killed backups left there (whole files to be replaced, stale temporary files).
    const std::string sub = "r" + std::to_string(round % (kRounds / 2));
    const std::string folder = BackupRoot(1) + "/" + sub;
    // Kill once this share of the data has reached the server (share 0: at once).
    const uint64_t threshold = all * static_cast<uint64_t>(round % 6) / 6;
    const std::map<std::string, Seen> before = Snapshot(folder);
    std::vector<std::string> argv = {kKxmpTool, "backup", "--subclient", std::to_string(kSubclient), "--root-folder",
                                     sub};
    if (round >= kRounds / 2 && round % 2 == 1) argv.push_back("--force");  // replaces, record and all
    argv.insert(argv.end(), sources.begin(), sources.end());
    ServerProcess backup;
    ASSERT_TRUE(backup.Start(argv));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && Running(backup.pid()) &&
           Written(before, Snapshot(folder)) < threshold) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (backup.Stop(SIGKILL) == 128 + SIGKILL) ++killedMidway;

    // Records describe whole sources only.
    for (const auto& [name, sha] : RecordedChecksums(folder)) {
      ASSERT_EQ(content.count(name), 1u) << "unexpected record " << name << " in round " << round;
      EXPECT_EQ(sha, Sha256Hex(content[name])) << name << " in round " << round;
    }
    for (const auto& [name, seen] : Snapshot(folder)) {
      if (name == logbackup::kRecordsName) continue;
      // The whole old version, put aside while a replacing rename was under way; other
      // temporary files may be partial.
      if (EndsWith(name, ".tmp") && !EndsWith(name, kAside)) continue;
      const std::string base = EndsWith(name, kAside) ? name.substr(0, name.size() - strlen(kAside)) : name;
      auto it = content.find(base);
      ASSERT_NE(it, content.end()) << "unexpected file " << name << " in round " << round;
      EXPECT_EQ(seen.size, it->second.size()) << name << " is torn in round " << round;
      EXPECT_TRUE(ReadFile(folder + "/" + name) == it->second) << name << " differs in round " << round;
    }
  }
  // The test means something only when kills landed while backups ran.
  EXPECT_GE(killedMidway, kRounds / 2);

  RunResult r = Kxmp({"verify", "--subclient", std::to_string(kSubclient), "--json"});
  const nlohmann::json summary = Summary(r);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(summary["corrupt"], 0) << r.out;
  EXPECT_EQ(summary["missing"], 0) << r.out;
  EXPECT_GT(summary["ok"].get<int>(), 0) << r.out;
}

}  // namespace
}  // namespace kxmp::test
