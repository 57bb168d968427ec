// test-labels: integration
// kxmp backup, search and restore as a user runs them: files backed up to the subclient's
// mount path, found, and restored into a folder with their content intact.

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "logbackup/LogBackupFixture.h"
#include "outside/event/EventLog.h"
#include "outside/util/CZoFile.h"
#include "support/StoredRecords.h"
#include "tools/CorruptionScenario.h"
#include "support/Subprocess.h"
#include "tools/AdminSupport.h"

namespace kxmp::test {
namespace {

const std::string kTool = KXMP_BINARY_DIR "/tools/kxmp/kxmp";

class LogBackupToolTest : public LogBackupTest {
 protected:
  void SetUp() override {
    LogBackupTest::SetUp();
    Attach({0, 1});
    for (int i = 0; i < 3; ++i) {
      const std::string path = home_->sub("src/log_" + std::to_string(i) + ".trn");
      WriteFile(path, Content(static_cast<size_t>(i) * 700000 + 3, static_cast<uint32_t>(i)));
      sources_.push_back(path);
    }
  }

  static std::vector<std::string> WithTool(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return args;
  }
  RunResult Kxmp(std::vector<std::string> args) { return RunTool(WithTool(std::move(args))); }

  // The names in a folder (not recursive, sorted), without "." and "..".
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> out;
    if (DIR* d = opendir(folder.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
      }
      closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  static bool HasTemporary(const std::string& folder) {
    for (const std::string& n : Names(folder)) {
      if (n.find(".tmp") != std::string::npos) return true;
    }
    return false;
  }

  std::vector<std::string> sources_;
};

// Every line parsed as JSON; each must be an object with a "type".
std::vector<nlohmann::json> TypedLines(const std::string& out) {
  std::vector<nlohmann::json> lines = JsonLines(out);
  for (const nlohmann::json& line : lines) {
    EXPECT_TRUE(line.is_object() && line.contains("type")) << line.dump() << "\n" << out;
  }
  return lines;
}

TEST_F(LogBackupToolTest, BackupSearchAndRestoreRoundTrip) {
  std::vector<std::string> args = {"backup", "--subclient", "42", "--stream", "2", "--metadata", "--json"};
  args.insert(args.end(), sources_.begin(), sources_.end());
  RunResult r = Kxmp(args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"type\":\"status\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"type\":\"summary\",\"files\":3,\"failed\":0,\"bytes\":2100009,"), std::string::npos) << r.out;
  EXPECT_TRUE(PathExists(Root(0) + "/log_2.trn"));
  EXPECT_TRUE(PathExists(Root(0) + "/StreamMetadata_2.xml"));
  // One name on two mount paths (as after a failover): the same content is restored once;
  // copies whose checksum records differ are reported by search and not picked silently by
  // restore (a copy that only fails its record is another matter: the one that verifies wins).
  WriteFile(Root(1) + "/log_0.trn", ReadFile(sources_[0]));
  WriteFile(Root(1) + "/log_1.trn", "stale copy");
  logbackup::FileRecords records;
  ASSERT_FALSE(records.Parse(ReadFile(Root(0) + "/" + logbackup::kRecordsName)).IsError());
  logbackup::FileRecord other = *records.Find("log_1.trn");
  other.size = 10;
  ASSERT_TRUE(digest::Sha256Digest::FromHex(std::string(64, 'a'), other.sha256));
  records.Put(other);
  WriteFile(Root(1) + "/" + logbackup::kRecordsName, records.Text());
  r = Kxmp({"search", "--subclient", "42", "--all", "log_1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ma1\t" + mounts_[0] + "\t/log_1.trn\nma2\t" + mounts_[1] + "\t/log_1.trn\nnote: /log_1.trn is stored with "
                   "different content on ma1 " + mounts_[0] + " and ma2 " + mounts_[1] + " (restore one with --mount-path)\n");

  const std::string to = home_->sub("restored");
  const timespec stored[2] = {{0, UTIME_OMIT}, {1500000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (Root(0) + "/log_2.trn").c_str(), stored, 0), 0);
  r = Kxmp({"restore", "--subclient", "42", "^log_\\d\\.trn$", "--to", to});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("/log_1.trn: stored with different content on ma1"), std::string::npos) << r.err;
  EXPECT_FALSE(PathExists(to + "/log_1.trn"));
  r = Kxmp({"restore", "--subclient", "42", "log_1", "--to", to, "--mount-path", mounts_[0]});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& src : sources_) {
    const std::string name = src.substr(src.find_last_of('/'));
    EXPECT_TRUE(ReadFile(to + name) == ReadFile(src)) << name;
  }
  // Each restored file keeps the stored copy's modification time.
  struct stat st {};
  ASSERT_EQ(::stat((to + "/log_2.trn").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, stored[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, stored[1].tv_nsec);
  // Restoring again over the same files is done already, as backing up again is.
  r = Kxmp({"restore", "--subclient", "42", "^log_\\d\\.trn$", "--to", to, "--mount-path", mounts_[0]});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("/log_2.trn is already restored as " + to + "/log_2.trn (same content): nothing written"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 files, 0 failed, 0 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(", 3 already restored"), std::string::npos) << r.out;
  // A backup is refused a name stored with other content on another mount path, unless forced.
  WriteFile(home_->sub("src2/log_1.trn"), "third");
  r = Kxmp({"backup", "--subclient", "42", home_->sub("src2/log_1.trn")});
  EXPECT_EQ(r.status, 1);
  WriteFile(Root(1) + "/new.trn", "elsewhere");
  WriteFile(home_->sub("src2/new.trn"), "here");
  r = Kxmp({"backup", "--subclient", "42", home_->sub("src2/new.trn")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already stored with other content on ma2 " + mounts_[1]), std::string::npos) << r.err;
  EXPECT_FALSE(PathExists(Root(0) + "/new.trn"));
  EXPECT_EQ(Kxmp({"backup", "--subclient", "42", "--force", home_->sub("src2/new.trn")}).status, 0);
  EXPECT_EQ(ReadFile(Root(0) + "/new.trn"), "here");
  // Existing files stay unless forced.
  WriteFile(to + "/log_0.trn", "mine");
  r = Kxmp({"restore", "--subclient", "42", "log_0.trn", "--to", to});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(to + "/log_0.trn"), "mine");
  r = Kxmp({"restore", "--subclient", "42", "log_0.trn", "--to", to, "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadFile(to + "/log_0.trn") == ReadFile(sources_[0]));
}

TEST_F(LogBackupToolTest, VerifyNamesEveryDamageAndRestoreTakesOnlyCopiesThatVerify) {
  CorruptionStory story;
  story.kxmp = [this](std::vector<std::string> args) { return Kxmp(std::move(args)); };
  story.subclient = "42";
  story.roots[0] = Root(0);
  story.roots[1] = Root(1);
  story.hosts[0] = "ma1";
  story.hosts[1] = "ma2";
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    story.sources.push_back(home_->sub(std::string("story/") + name + ".trn"));
    WriteFile(story.sources.back(), Content((1u << 20) + static_cast<size_t>(*name) * 1000, static_cast<uint32_t>(*name)));
  }
  story.to = home_->sub("restored");
  story.eventsLog = [this] { return ReadFile(home_->sub("log/events.log")); };
  RunCorruptionStory(story);
}

TEST_F(LogBackupToolTest, ABackupThatFailsOverSaysWhereItWent) {
  ASSERT_EQ(Kxmp({"backup", "--subclient", "42", sources_[0]}).status, 0);  // the first mount path, cached
  ASSERT_EQ(::rename(mounts_[0].c_str(), (mounts_[0] + ".away").c_str()), 0);
  RunResult r = Kxmp({"backup", "--subclient", "42", sources_[1]});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "failed over to storage host ma2, mount path " + mounts_[1] +
                                                   ": storage host ma1, mount path " + mounts_[0] + " cannot be used");
  r = Kxmp({"--json", "backup", "--subclient", "42", sources_[2]});  // the cache names ma2 now
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Summary(r)["host"], "ma2");
  EXPECT_EQ(Summary(r)["failedOver"], false);
  ASSERT_EQ(::rename((mounts_[0] + ".away").c_str(), mounts_[0].c_str()), 0);
}

TEST_F(LogBackupToolTest, ExitStatusTellsFailureUsageAndNothingFound) {
  RunResult r = Kxmp({"backup", "--subclient", "42", sources_[0], home_->sub("src/missing.trn")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.trn"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("2 files, 1 failed"), std::string::npos) << r.out;
  EXPECT_FALSE(PathExists(Root(0) + "/missing.trn"));
  EXPECT_FALSE(HasTemporary(Root(0)));

  EXPECT_EQ(Kxmp({"search", "--subclient", "42", "nothing-like-this"}).status, 3);
  EXPECT_EQ(Kxmp({"restore", "--subclient", "42", "nothing", "--to", home_->sub("x")}).status, 3);
  EXPECT_EQ(Kxmp({"search", "--subclient", "-1", "x"}).status, 2);
  EXPECT_EQ(Kxmp({"restore", "--subclient", "42", "x"}).status, 2);  // no --to
  // A subclient the catalog does not know is not found, said in one line naming it; one
  // that it lists without a mount path is a failure.
  for (const auto& args : std::vector<std::vector<std::string>>{{"backup", "--subclient", "77", sources_[0]},
                                                                 {"search", "--subclient", "77", "x"},
                                                                 {"search", "--subclient", "77", "--all", "x"},
                                                                 {"restore", "--subclient", "77", "x", "--to", home_->sub("r")}}) {
    r = Kxmp(args);
    EXPECT_EQ(r.status, 3) << args[0];
    EXPECT_EQ(r.err, "kxmp " + args[0] + ": subclient 77 is not in the catalog " + admin_->name() + "\n");
  }
  r = Kxmp({"--json", "restore", "--subclient", "77", "x", "--to", home_->sub("r")});
  EXPECT_EQ(TypedLines(r.out).back()["exitStatus"], 3) << r.out;
  ASSERT_FALSE(admin_->PutSubclient({43, "sc-guid-43", "bs-guid-43"}).IsError());
  r = Kxmp({"backup", "--subclient", "43", sources_[0]});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("subclient 43 has no mount path attached"), std::string::npos) << r.err;
  EXPECT_EQ(Kxmp({"restore", "--subclient", "43", "x", "--to", home_->sub("r")}).status, 1);
  EXPECT_FALSE(PathExists(home_->sub("r")));

  // A mount path that cannot be searched (its root folder is a file here) may hold the file:
  // finding nothing on the others is a failure that says so, never "not found".
  ASSERT_EQ(Kxmp({"backup", "--subclient", "42", sources_[0]}).status, 0);
  const std::string blocked = Root(1);
  if (PathExists(blocked)) ASSERT_EQ(::rename(blocked.c_str(), (blocked + ".away").c_str()), 0);
  WriteFile(blocked, "not a folder");
  for (const auto& args : std::vector<std::vector<std::string>>{{"search", "--subclient", "42", "nothing-like-this"},
                                                                 {"search", "--subclient", "42", "--all", "nothing"},
                                                                 {"restore", "--subclient", "42", "nothing", "--to", home_->sub("r")}}) {
    r = Kxmp(args);
    EXPECT_EQ(r.status, 1) << args[1] << r.err;
    EXPECT_NE(r.err.find("not every mount path could be searched"), std::string::npos) << r.err;
  }
  r = Kxmp({"search", "--subclient", "42", "log_0.trn"});  // found where it could search
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(LogBackupToolTest, FilesFromListsAndADryRunThatWritesNothing) {
  // Names with spaces, from a newline list (an empty line, no line break at its end) and a
  // NUL-separated list on standard input, added to a name on the command line.
  const std::string spaced = home_->sub("src/with space.trn"), trailing = home_->sub("src/trailing .trn");
  WriteFile(spaced, "spaced");
  WriteFile(trailing, "trailing space");
  WriteFile(home_->sub("lines"), sources_[0] + "\n\n" + spaced);
  WriteFile(home_->sub("nul"), sources_[1] + std::string(1, '\0') + trailing + std::string(1, '\0'));
  auto backup = [&](const std::string& extra) {
    return RunTool({"/bin/sh", "-c",
                    "exec \"$0\" backup --subclient 42 --stream 6 --metadata --files-from \"$1\" --files-from - \"$2\" " +
                        extra + " < \"$3\"",
                    kTool, home_->sub("lines"), sources_[2], home_->sub("nul")});
  };

  RunResult r = backup("--dry-run --json");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::vector<nlohmann::json> lines = TypedLines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[2]["file"], spaced);  // after the command line's name, in list order
  EXPECT_EQ(lines[2]["action"], "store");
  EXPECT_EQ(lines[4]["name"], "trailing .trn");
  EXPECT_EQ(lines[5]["wouldStore"], 5);
  // Nothing written: not even the subclient's root folder, nor a time value's folder.
  EXPECT_FALSE(PathExists(Root(0)));
  EXPECT_FALSE(PathExists(CacheFile()));
  r = backup("--dry-run --time 77");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(PathExists(mounts_[0] + "/KX_APP_DUMPS"));

  r = backup("");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;  // no progress when standard error is not a terminal
  EXPECT_EQ(ReadFile(Root(0) + "/with space.trn"), "spaced");
  EXPECT_EQ(ReadFile(Root(0) + "/trailing .trn"), "trailing space");
  EXPECT_EQ(Names(Root(0)).size(), 7u);  // five files, the metadata and the records

  // A dry run makes the run's decisions: the same content is not rewritten, other content
  // is refused, or replaced with --force; still nothing is written.
  WriteFile(spaced, "change");
  const std::string metadata = ReadFile(Root(0) + "/StreamMetadata_6.xml");
  r = backup("--dry-run");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("[with space.trn] is already stored with other content"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("dry run: 5 files, 1 failed, 0 would be backed up (0 bytes), 4 already stored"),
            std::string::npos) << r.out;
  r = backup("--dry-run --force");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("would replace the stored copy with " + spaced + " as with space.trn (6 bytes)"),
            std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(Root(0) + "/with space.trn"), "spaced");
  EXPECT_EQ(ReadFile(Root(0) + "/StreamMetadata_6.xml"), metadata);
  EXPECT_FALSE(HasTemporary(Root(0)));

  // A list that cannot be read, or no names at all, is a usage error said in one line.
  r = Kxmp({"backup", "--subclient", "42", "--files-from", home_->sub("missing")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kxmp backup: cannot read the list " + home_->sub("missing") + ": No such file or directory\n");
  WriteFile(home_->sub("empty"), "\n");
  EXPECT_EQ(Kxmp({"restore", "--subclient", "42", "--files-from", home_->sub("missing"), "--to", home_->sub("r")}).status, 2);
  for (const std::string& command : {"backup", "restore"}) {
    std::vector<std::string> args = {command, "--subclient", "42", "--files-from", home_->sub("empty")};
    if (command == "restore") args.insert(args.end(), {"--to", home_->sub("r")});
    r = Kxmp(args);
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_EQ(r.err, "kxmp " + command + ": nothing to " + (command == "backup" ? "back up" : "restore") +
                         ": give " + (command == "backup" ? "FILE" : "PATTERN") +
                         " or a --files-from list that names files\n");
  }
}

TEST_F(LogBackupToolTest, RestoreListsJsonAndDryRun) {
  std::vector<std::string> args = {"backup", "--subclient", "42"};
  args.insert(args.end(), sources_.begin(), sources_.end());
  ASSERT_EQ(Kxmp(args).status, 0);
  WriteFile(Root(0) + "/sub/deep one.trn", "deep");
  // Stored names: a file's name, or its path below the root folder; one is not stored.
  WriteFile(home_->sub("wanted"), "log_1.trn\r\nsub/deep one.trn\r\nnot stored.trn\r\n");
  const std::string to = home_->sub("restored");

  RunResult r = Kxmp({"--json", "restore", "--subclient", "42", "--files-from", home_->sub("wanted"), "^log_0", "--to", to,
                      "--dry-run"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;  // the name that is not stored
  std::vector<nlohmann::json> lines = TypedLines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0]["type"], "error");
  EXPECT_EQ(lines[0]["path"], "not stored.trn");
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(lines[i]["type"], "plan") << r.out;
  EXPECT_EQ(lines[4]["dryRun"], true);
  EXPECT_FALSE(PathExists(to));

  r = Kxmp({"--json", "restore", "--subclient", "42", "--files-from", home_->sub("wanted"), "^log_0", "--to", to});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  lines = TypedLines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  unsigned long long bytes = 0;
  for (size_t i = 1; i < 4; ++i) {
    ASSERT_EQ(lines[i]["type"], "restored") << r.out;
    const std::string file = lines[i]["file"];
    EXPECT_EQ(lines[i]["bytes"], ReadFile(file).size()) << file;
    EXPECT_EQ(ReadFile(file), ReadFile(Root(0) + lines[i]["path"].get<std::string>())) << file;
    bytes += lines[i]["bytes"].get<unsigned long long>();
  }
  EXPECT_EQ(lines[4]["type"], "summary");
  EXPECT_EQ(lines[4]["files"], 4);
  EXPECT_EQ(lines[4]["failed"], 1);
  EXPECT_EQ(lines[4]["bytes"], bytes);
  EXPECT_EQ(ReadFile(to + "/sub/deep one.trn"), "deep");

  // A dry run over files that exist says so (refused without --force) and changes nothing.
  WriteFile(to + "/log_1.trn", "mine");
  r = Kxmp({"restore", "--subclient", "42", "log_1.trn", "--to", to, "--dry-run"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("It exists in [" + to + "] (use --force to replace it)"), std::string::npos) << r.err;
  r = Kxmp({"restore", "--subclient", "42", "log_1.trn", "--to", to, "--dry-run", "--force"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("replacing the file there"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(to + "/log_1.trn"), "mine");
  EXPECT_FALSE(HasTemporary(to));
}

// The operator events of failed log backup commands, per subcommand.
int FailureEvents(const std::string& command) {
  int n = 0;
  for (const auto& e : events::ReadAll()) n += e.id == 0x4A000575 && e.args.size() == 4 && e.args[1] == command;
  return n;
}

TEST_F(LogBackupToolTest, GetFetchesExactlyOneNameToOnePathAndFailsAboveNotStored) {
  WriteFile(Root(0) + "/000000010000000000000002", "segment 2");
  WriteFile(Root(0) + "/000000010000000000000002.00000028.backup", "backup label");
  WriteFile(Root(1) + "/000000010000000000000003", "segment 3, on the alternate only");
  const std::string target = home_->sub("pg_wal/RECOVERYXLOG");
  WriteFile(target, "what an earlier call left");
  // The whole name, from whichever mount path holds it, replacing the target, silently.
  for (const char* name : {"000000010000000000000002", "000000010000000000000003"}) {
    RunResult r = Kxmp({"get", "--subclient", "42", name, target});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(ReadFile(target), ReadFile((name[23] == '2' ? Root(0) : Root(1)) + "/" + name));
  }
  EXPECT_EQ(Names(home_->sub("pg_wal")), std::vector<std::string>{"RECOVERYXLOG"});
  RunResult r = Kxmp({"--json", "get", "--subclient", "42", "000000010000000000000002", target});
  EXPECT_EQ(Summary(r)["bytes"], 9) << r.out;

  // Not stored is 1 and says nothing (unless -v): a prefix or a pattern is no stored name.
  for (const char* name : {"00000002.history", "00000001000000000000000", "0000000100000000000000.*"}) {
    r = Kxmp({"get", "--subclient", "42", name, target});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out + r.err, "") << name;
  }
  r = Kxmp({"-v", "get", "--subclient", "42", "00000002.history", target});
  EXPECT_NE(r.err.find("[00000002.history] is not stored on any mount path of subclient 42"), std::string::npos);
  EXPECT_EQ(ReadFile(target), "segment 2");

  // Every other failure is 128, which stops a recovery: bad arguments (also those the parser
  // finds), a name being written, a target that cannot be written, and a mount path that
  // could not be asked (its root folder is a file here), which may hold the name.
  const std::string blocked = Root(1);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--subclient", "42", "x"},
           {"--subclient", "-1", "x", target},
           {"--subclient", "42", "--bogus", "x", target},
           {"--subclient", "42", "pg_wal/x", target},
           {"--subclient", "42", "000000010000000000000002.tmp", target},
           {"--subclient", "42", "000000010000000000000002", home_->sub("missing/RECOVERYXLOG")},
           {"--subclient", "42", "000000010000000000000003", target}}) {
    if (args[2] == "000000010000000000000003") {
      ASSERT_EQ(::rename(blocked.c_str(), (blocked + ".away").c_str()), 0);
      WriteFile(blocked, "not a folder");
    }
    std::vector<std::string> line = {"get"};
    line.insert(line.end(), args.begin(), args.end());
    r = Kxmp(line);
    EXPECT_EQ(r.status, 128) << args[2] << ": " << r.err;
    EXPECT_NE(r.err.find("kxmp get"), std::string::npos) << r.err;
  }
  EXPECT_NE(r.err.find("cannot tell whether [000000010000000000000003] is stored"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(target), "segment 2");
  EXPECT_EQ(Names(home_->sub("pg_wal")), std::vector<std::string>{"RECOVERYXLOG"});
  EXPECT_EQ(FailureEvents("get"), 1);  // throttled: one in ten minutes
}

TEST_F(LogBackupToolTest, PushStoresOneFileQuietlyAndItsFailuresRaiseOneEvent) {
  RunResult r = Kxmp({"push", "--subclient", "42", sources_[0]});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(ReadFile(Root(0) + "/log_0.trn") == ReadFile(sources_[0]));
  EXPECT_NE(ReadFile(Root(0) + "/StreamMetadata_0.xml").find("log_0.trn"), std::string::npos);
  // Archived again (a retry): success, still quiet; -v says why.
  EXPECT_EQ(Kxmp({"push", "--subclient", "42", sources_[0]}).out, "");
  r = Kxmp({"-v", "push", "--subclient", "42", sources_[0]});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("already stored"), std::string::npos) << r.out;
  EXPECT_EQ(Kxmp({"push", "--subclient", "42", sources_[0], sources_[1]}).status, 2);

  // Other content under the name fails every time it is pushed, said each time, raised once.
  WriteFile(sources_[0], "other content");
  for (int i = 0; i < 2; ++i) {
    r = Kxmp({"push", "--subclient", "42", sources_[0]});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already stored with other content"), std::string::npos) << r.err;
  }
  EXPECT_EQ(FailureEvents("push"), 1);
  EXPECT_EQ(Kxmp({"backup", "--subclient", "77", sources_[1]}).status, 3);
  EXPECT_EQ(FailureEvents("backup"), 1);
  r = Kxmp({"events"});
  EXPECT_NE(r.out.find("kxmp push of log_0.trn for subclient 42 failed: " + sources_[0] + ": [log_0.trn] is already stored"),
            std::string::npos) << r.out;
}

TEST_F(LogBackupToolTest, ProgressOnATerminalOnlyAndOnCleanLines) {
  std::vector<std::string> args = {"backup", "--subclient", "42", "--jobs", "2"};
  args.insert(args.end(), sources_.begin(), sources_.end());
  RunResult r = RunToolOnTerminal(WithTool(args));
  ASSERT_EQ(r.status, 0) << r.out;
  // The meter, redrawn in place, ends with all files and bytes; the summary starts a line.
  EXPECT_NE(r.out.find("\r\033[Kbacked up 3 of 3 files, 2.0 MiB of 2.0 MiB, "), std::string::npos) << r.out;
  const size_t summary = r.out.find("3 files, 0 failed");
  ASSERT_NE(summary, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(summary - 2, 2), "\r\n") << r.out;
  // Each status line starts on a line of its own, after the meter was taken off.
  for (size_t at = r.out.find("backed up /"); at != std::string::npos; at = r.out.find("backed up /", at + 1)) {
    EXPECT_TRUE(at == 0 || r.out.compare(at - 3, 3, "\033[K") == 0 || r.out.compare(at - 2, 2, "\r\n") == 0) << r.out;
  }

  ::unlink((Root(0) + "/log_0.trn").c_str());
  args.insert(args.begin(), "-q");
  r = RunToolOnTerminal(WithTool(args));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(" of 3 files"), std::string::npos) << r.out;
  r = RunToolOnTerminal({kTool, "restore", "--subclient", "42", "log_", "--to", home_->sub("restored")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("restored 3 of 3 files, 2.0 MiB, "), std::string::npos) << r.out;
}

TEST_F(LogBackupToolTest, BackupRefusesClashesAndSourcesThatAreNotFiles) {
  // Two sources stored under one name: refused before anything is written.
  WriteFile(home_->sub("other/log_0.trn"), "another log_0");
  RunResult r = Kxmp({"backup", "--subclient", "42", sources_[0], sources_[1], home_->sub("other/log_0.trn")});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("would both be stored as [log_0.trn]"), std::string::npos) << r.err;
  EXPECT_TRUE(Names(Root(0)).empty());

  // A FIFO, a folder and a device are refused without waiting for a writer of the FIFO; a
  // source whose reading fails and a name the writer refuses leave nothing, not even a
  // record in the metadata; the regular file is backed up.
  const std::string fifo = home_->sub("src/pipe.trn");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(home_->sub("src/refused.tmp"), "a name that marks files being written");
  r = RunTool({kTool, "backup", "--subclient", "42", "--stream", "4", "--metadata", fifo, home_->sub("src"), "/dev/null",
               "/proc/self/mem", home_->sub("src/refused.tmp"), sources_[2]},
              20000);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const char* kind : {"is a FIFO", "is a folder", "is a device", "mem]", "refused.tmp]"}) {
    EXPECT_NE(r.err.find(kind), std::string::npos) << kind << "\n" << r.err;
  }
  EXPECT_NE(r.out.find("6 files, 5 failed"), std::string::npos) << r.out;
  EXPECT_EQ(Names(Root(0)), (std::vector<std::string>{".kxmp-sha256", "StreamMetadata_4.xml", "log_2.trn"}));
  const std::string metadata = ReadFile(Root(0) + "/StreamMetadata_4.xml");
  EXPECT_EQ(metadata.find("refused"), std::string::npos) << metadata;
  EXPECT_EQ(metadata.find("mem"), std::string::npos) << metadata;
}

TEST_F(LogBackupToolTest, AStoredNameIsKeptUnlessForcedAndARetryRewritesNothing) {
  std::vector<std::string> args = {"backup", "--subclient", "42", "--stream", "2", "--metadata"};
  args.insert(args.end(), sources_.begin(), sources_.end());
  ASSERT_EQ(Kxmp(args).status, 0);
  struct stat before {};
  ASSERT_EQ(::stat((Root(0) + "/log_1.trn").c_str(), &before), 0);

  // The same files again (a retry): reported as stored, nothing rewritten, still listed.
  ::unlink((Root(0) + "/StreamMetadata_2.xml").c_str());
  RunResult r = Kxmp(args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("3 files, 0 failed, 0 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 already stored"), std::string::npos) << r.out;
  struct stat after {};
  ASSERT_EQ(::stat((Root(0) + "/log_1.trn").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  const std::string metadata = ReadFile(Root(0) + "/StreamMetadata_2.xml");
  for (const char* name : {"log_0.trn", "log_1.trn", "log_2.trn"}) EXPECT_NE(metadata.find(name), std::string::npos);

  // Other content of the same size under a stored name: refused and kept, unless forced.
  const std::string stored = ReadFile(sources_[1]);
  std::string changed = stored;
  changed[changed.size() / 2] ^= 1;
  WriteFile(sources_[1], changed);
  r = Kxmp({"backup", "--subclient", "42", sources_[1]});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("already stored with other content"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadFile(Root(0) + "/log_1.trn") == stored);
  r = Kxmp({"backup", "--subclient", "42", "--force", sources_[1]});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(ReadFile(Root(0) + "/log_1.trn") == changed);
}

TEST_F(LogBackupToolTest, AMetadataDocumentOrCacheFileNotWrittenFailsTheRun) {
  // A folder in the way of each: the run fails and names what was not written, while the
  // log files themselves are stored.
  WriteFile(CacheFile() + "/in-the-way", "x");
  RunResult r = Kxmp({"backup", "--subclient", "42", sources_[1]});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("DBLogBackupMAPathCache.xml] was not updated"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadFile(Root(0) + "/log_1.trn") == ReadFile(sources_[1]));
  CZoDirectory::Remove(CacheFile(), true, false);  // the job results folder serves the whole process

  WriteFile(Root(0) + "/StreamMetadata_2.xml/in-the-way", "x");
  r = Kxmp({"backup", "--subclient", "42", "--stream", "2", "--metadata", sources_[0]});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("StreamMetadata_2.xml] was not written"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadFile(Root(0) + "/log_0.trn") == ReadFile(sources_[0]));
}

TEST_F(LogBackupToolTest, InterruptedBackupCommitsWhatIsWholeAndListsIt) {
  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i) {
    many.push_back(home_->sub("many/many_" + std::to_string(i) + ".trn"));
    WriteFile(many.back(), Content(4096, i));
  }
  for (int sig : {SIGINT, SIGTERM}) {
    // More files than the small output pipe takes lines for: the tool cannot run to its end
    // before the test reads, so the signal always finds it partway.
    const std::string folder = sig == SIGINT ? "int" : "term";
    std::vector<std::string> args = {kTool, "backup", "--subclient", "42", "--stream", "3", "--metadata",
                                     "--root-folder", folder};
    args.insert(args.end(), many.begin(), many.end());
    ServerProcess tool;
    ASSERT_TRUE(tool.Start(args, 4096));
    ASSERT_TRUE(tool.WaitForLine("backed up ", 60000)) << tool.Output();
    EXPECT_EQ(tool.Interrupt(sig), 128 + sig) << tool.Output();
    EXPECT_NE(tool.Output().find(", interrupted: "), std::string::npos) << tool.Output();

    // Whole files only, each listed in the metadata document and recorded with its checksum;
    // neither lists anything else.
    const std::string root = Root(0) + "/" + folder;
    const std::string metadata = ReadFile(root + "/StreamMetadata_3.xml");
    const std::map<std::string, std::string> recorded = RecordedChecksums(root);
    size_t stored = 0;
    for (const std::string& name : Names(root)) {
      if (name == "StreamMetadata_3.xml" || name == logbackup::kRecordsName) continue;
      ++stored;
      EXPECT_TRUE(ReadFile(root + "/" + name) == ReadFile(home_->sub("many/" + name))) << name;
      EXPECT_NE(metadata.find("\"" + name + "\""), std::string::npos) << name;
      EXPECT_EQ(recorded.count(name) ? recorded.at(name) : "(none)", Sha256Hex(ReadFile(root + "/" + name))) << name;
    }
    EXPECT_EQ(recorded.size(), stored);
    EXPECT_GT(stored, 0u);
    EXPECT_LT(stored, many.size());
    size_t listed = 0;
    for (size_t at = metadata.find("many_"); at != std::string::npos; at = metadata.find("many_", at + 1)) ++listed;
    EXPECT_EQ(listed, stored);
  }
  EXPECT_NE(ReadFile(CacheFile()).find(mounts_[0]), std::string::npos);
}

TEST_F(LogBackupToolTest, RestoreWritesOnlyInsideTheTargetFolder) {
  // An empty --to is a usage error, not the root folder of the machine.
  WriteFile(Root(0) + "/log_0.trn", "stored");
  RunResult r = Kxmp({"restore", "--subclient", "42", "log_0.trn", "--to", ""});
  EXPECT_EQ(r.status, 2) << r.out << r.err;

  // A link planted inside the target folder is never followed: the file it would lead to
  // stays as it was.
  const std::string to = home_->sub("restored"), outside = home_->sub("outside");
  WriteFile(outside + "/deep.trn", "outside, untouched");
  WriteFile(Root(0) + "/sub/deep.trn", "stored deep");
  ASSERT_EQ(::mkdir(to.c_str(), 0750), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (to + "/sub").c_str()), 0);
  for (const char* dryRun : {"--dry-run", "--force"}) {  // a dry run refuses it the same way
    r = Kxmp({"restore", "--subclient", "42", "deep.trn", "--to", to, "--force", dryRun});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("links are not followed"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(outside + "/deep.trn"), "outside, untouched");
  EXPECT_EQ(Names(outside).size(), 1u);

  // The longest name a file system allows restores (its temporary name stays short enough).
  const std::string longName(251, 'n');
  WriteFile(Root(0) + "/" + longName + ".trn", "long");
  ::unlink((to + "/sub").c_str());
  r = Kxmp({"restore", "--subclient", "42", "nnnn", "--to", to});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(to + "/" + longName + ".trn"), "long");
  EXPECT_FALSE(HasTemporary(to));
}

TEST_F(LogBackupToolTest, InterruptedRestoreLeavesNoTemporaryFile) {
  // More files than the small output pipe takes lines for: the tool cannot run to its end
  // before the test reads, so the signal always finds it partway.
  for (int i = 0; i < 60; ++i) WriteFile(Root(0) + "/many_" + std::to_string(i) + ".trn", Content(4096, i));
  const std::string to = home_->sub("restored");
  ServerProcess tool;
  ASSERT_TRUE(tool.Start({kTool, "restore", "--subclient", "42", "^many_", "--to", to}, 4096));
  ASSERT_TRUE(tool.WaitForLine("restored ", 60000)) << tool.Output();
  EXPECT_EQ(tool.Interrupt(SIGTERM), 143) << tool.Output();
  EXPECT_NE(tool.Output().find(", interrupted\n"), std::string::npos) << tool.Output();
  // Only whole restored files: no temporary file, nothing partial under a final name.
  for (const std::string& name : Names(to)) {
    EXPECT_TRUE(name.rfind("many_", 0) == 0 && name.size() - name.rfind(".trn") == 4) << name;
    EXPECT_EQ(ReadFile(to + "/" + name), ReadFile(Root(0) + "/" + name)) << name;
  }
  EXPECT_LT(Names(to).size(), 60u);
}

// What is not a regular file in a root folder (a FIFO no one writes, a device that never
// ends) is listed as skipped by search and restore, never opened or read.
TEST_F(LogBackupToolTest, SearchAndRestoreSkipWhatIsNotARegularFile) {
  WriteFile(Root(0) + "/plain.trn", "plain");
  ASSERT_EQ(::mkfifo((Root(0) + "/pipe.trn").c_str(), 0600), 0);
  const bool device = ::mknod((Root(0) + "/zero.trn").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;  // as root
  RunResult r = RunTool(WithTool({"search", "--subclient", "42", "--all", "\\.trn$"}), 30000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("skipped\tma1\t" + mounts_[0] + "\t/pipe.trn\t[pipe.trn] is a FIFO: only regular files are served"),
            std::string::npos)
      << r.out;
  const std::string to = home_->sub("restored");
  r = RunTool(WithTool({"restore", "--subclient", "42", "\\.trn$", "--to", to}), 30000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("skipped /pipe.trn: [pipe.trn] is a FIFO"), std::string::npos) << r.out;
  if (device) EXPECT_NE(r.out.find("skipped /zero.trn: [zero.trn] is a device"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(to + "/plain.trn"), "plain");
  EXPECT_EQ(Names(to), std::vector<std::string>{"plain.trn"});
}

}  // namespace
}  // namespace kxmp::test
