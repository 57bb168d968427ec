// Wildcard matching against the plain recursive rule, listing with a mask, and walking a real
// tree below a context's root folder.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cctype>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "driver/FacadeFixture.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "outside/error/FXErrorUtil.h"

using AMD = AbstractMountingPointDriver;
using kxmp::test::WriteFile;

namespace {

constexpr int kTrace = 7;
constexpr int kError = -1;

// The matching rule as it reads: a star first matches nothing, then takes one more
// character; exponential on purpose, kept only as the reference.
bool Reference(const char* n, const char* m, bool ignoreCase) {
  if (*m == '\0') return *n == '\0';
  if (*m == '?') return *n != '\0' && Reference(n + 1, m + 1, ignoreCase);
  if (*m == '*') {
    if (Reference(n, m + 1, ignoreCase)) return true;
    return *n != '\0' && Reference(n + 1, m, ignoreCase);
  }
  if (*n == '\0') return false;
  const unsigned char a = static_cast<unsigned char>(*n), b = static_cast<unsigned char>(*m);
  if (ignoreCase ? std::toupper(a) != std::toupper(b) : a != b) return false;
  return Reference(n + 1, m + 1, ignoreCase);
}

TEST(WildcardMatch, Examples) {
  EXPECT_TRUE(AMD::WildcardMatch("LOG_0001.xml", "log_*.XML", true));
  EXPECT_FALSE(AMD::WildcardMatch("LOG_0001.xml", "log_*.XML", false));
  EXPECT_TRUE(AMD::WildcardMatch("", "*", false));
  EXPECT_FALSE(AMD::WildcardMatch("", "?", false));
  EXPECT_FALSE(AMD::WildcardMatch("a", "", false));
  EXPECT_TRUE(AMD::WildcardMatch("", "", false));
  EXPECT_TRUE(AMD::WildcardMatch("abc", "a*c*", false));
  EXPECT_FALSE(AMD::WildcardMatch("ab", "a?c", false));
  EXPECT_TRUE(AMD::WildcardMatch("a/b/c", "a*c", false));  // "/" is ordinary
  EXPECT_TRUE(AMD::WildcardMatch("\xE9t\xE9", "\xE9?\xE9", false));  // bytes above 127 are plain literals
  EXPECT_TRUE(AMD::WildcardMatch(nullptr, "", false));  // null reads as empty, never dereferenced
  EXPECT_FALSE(AMD::WildcardMatch("x", nullptr, false));
}

TEST(WildcardMatch, AgreesWithTheRecursiveRule) {
  std::mt19937 rng(20240501);
  const std::string nameAlphabet = "aAbB.";
  const std::string maskAlphabet = "aAbB.**?";
  auto draw = [&rng](const std::string& alphabet, int maxLen) {
    std::string s(std::uniform_int_distribution<int>(0, maxLen)(rng), ' ');
    for (auto& c : s) c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return s;
  };
  int matched = 0;
  for (int i = 0; i < 60000; ++i) {
    const std::string name = draw(nameAlphabet, 10);
    const std::string mask = draw(maskAlphabet, 8);
    for (bool ignoreCase : {false, true}) {
      const bool want = Reference(name.c_str(), mask.c_str(), ignoreCase);
      ASSERT_EQ(AMD::WildcardMatch(name.c_str(), mask.c_str(), ignoreCase), want)
          << "name [" << name << "] mask [" << mask << "] ignoreCase " << ignoreCase;
      matched += want;
    }
  }
  EXPECT_GT(matched, 5000);  // the draw exercises both answers
}

TEST(WildcardMatch, AdversarialMasksTakeNoTimeAndNoStack) {
  const std::string name(200, 'a');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    ASSERT_FALSE(AMD::WildcardMatch(name.c_str(), "*a*a*a*a*a*a*a*a*b", false));
  }
  // Backtracking over every star would take ages; the bound only tells that from linear work.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(AMD::WildcardMatch(name.c_str(), "*a*a*a*a*a*a*a*a*", true));

  // A mask of a million stars and a long name: no recursion to overflow.
  const std::string stars(1000000, '*');
  const std::string longName(100000, 'x');
  EXPECT_TRUE(AMD::WildcardMatch(longName.c_str(), stars.c_str(), false));
  EXPECT_FALSE(AMD::WildcardMatch(longName.c_str(), (stars + "y").c_str(), false));
  EXPECT_TRUE(AMD::WildcardMatch(longName.c_str(), (stars + "x" + stars).c_str(), false));
}

class Listing : public kxmp::test::FacadeTest {};

TEST_F(Listing, MaskKeepsMatchingNamesOfBothListsInOrder) {
  WriteFile(At("logs/LOG_1.xml"), "");
  WriteFile(At("logs/log_2.XML"), "");
  WriteFile(At("logs/other.txt"), "");
  WriteFile(At("logs/log_dir.xml/inner"), "");
  WriteFile(At("logs/sub/inner"), "");

  std::vector<std::string> files, folders;
  ASSERT_FALSE(AMD::AMGetDirContentsWithMask(context_.get(), "/logs", files, folders, "").IsError());
  EXPECT_EQ(std::set<std::string>(files.begin(), files.end()),
            (std::set<std::string>{"LOG_1.xml", "log_2.XML", "other.txt"}));
  EXPECT_EQ(std::set<std::string>(folders.begin(), folders.end()),
            (std::set<std::string>{"log_dir.xml", "sub"}));
  EXPECT_EQ(LastPath("GetDirContents"), At("logs"));  // concatenated
  EXPECT_TRUE(log_->Has(kTrace, "AMGetDirContents done [/logs]"));

  std::vector<std::string> all = files;
  ASSERT_FALSE(AMD::AMGetDirContentsWithMask(context_.get(), "/logs", files, folders, "log_*.xml").IsError());
  std::vector<std::string> expected;
  for (const auto& f : all) {
    if (f != "other.txt") expected.push_back(f);  // case ignored, order kept
  }
  EXPECT_EQ(files, expected);
  EXPECT_EQ(folders, std::vector<std::string>{"log_dir.xml"});
}

TEST_F(Listing, FailuresComeBackUnchanged) {
  std::vector<std::string> files, folders;
  CZoError err = AMD::AMGetDirContentsWithMask(context_.get(), "/none", files, folders, "*");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));

  faulty_->FailFactory();
  err = AMD::AMGetDirContentsWithMask(context_.get(), "", files, folders, "");
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 4306)) << err.AsString();
  EXPECT_EQ(err.Message(), "Failed to create CFSInterface");
}

struct Seen {
  std::vector<std::tuple<std::string, std::string, bool>> entries;
  int stopAt = -1;  // the entry whose callback answers "entry found"
};

CZoError Collect(const char* folder, const char* name, bool isFolder, void* context) {
  auto* seen = static_cast<Seen*>(context);
  seen->entries.emplace_back(folder, name, isFolder);
  if (static_cast<int>(seen->entries.size()) == seen->stopAt) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Entry found");
  }
  return CZoError::Success();
}

class Walking : public kxmp::test::FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    WriteFile(At("top.log"), "");
    WriteFile(At("sub/mid.log"), "");
    WriteFile(At("sub/deeper/low.log"), "");
    WriteFile(At("sub/deeper/deepest/bottom.log"), "");
    log_->Clear();
  }
  using Entries = std::set<std::tuple<std::string, std::string, bool>>;
  static Entries AsSet(const Seen& seen) { return Entries(seen.entries.begin(), seen.entries.end()); }
};

TEST_F(Walking, FolderPathsAreRelativeToTheRootFolder) {
  const Entries all = {{"", "top.log", false},
                       {"", "sub", true},
                       {"/sub", "mid.log", false},
                       {"/sub", "deeper", true},
                       {"/sub/deeper", "low.log", false},
                       {"/sub/deeper", "deepest", true},
                       {"/sub/deeper/deepest", "bottom.log", false}};
  for (const char* folder : {"/", "", "///"}) {
    SCOPED_TRACE(folder);
    Seen seen;
    ASSERT_FALSE(AMD::AMWalkDir(context_.get(), folder, &seen, -1, false, Collect).IsError());
    EXPECT_EQ(seen.entries.size(), all.size());
    EXPECT_EQ(AsSet(seen), all);
    EXPECT_EQ(LastPath("WalkDir"), root_);  // trailing slashes dropped
    EXPECT_TRUE(log_->Has(kTrace, "AMWalk [" + root_ + "]"));
    EXPECT_TRUE(log_->Has(kTrace, std::string("AMWalk done [") + folder + "]"));
  }

  Seen below;
  ASSERT_FALSE(AMD::AMWalkDir(context_.get(), "/sub/deeper/", &below, -1, false, Collect).IsError());
  EXPECT_EQ(AsSet(below), (Entries{{"/sub/deeper", "low.log", false},
                                   {"/sub/deeper", "deepest", true},
                                   {"/sub/deeper/deepest", "bottom.log", false}}));
}

TEST_F(Walking, LevelAndFlagReachTheComponent) {
  Seen seen;
  ASSERT_FALSE(AMD::AMWalkDir(context_.get(), "/", &seen, 0, true, Collect).IsError());
  EXPECT_EQ(AsSet(seen), (Entries{{"", "top.log", false}}));  // this level only, files only
}

TEST_F(Walking, ACallbackErrorStopsTheWalkAndComesBackExactly) {
  Seen seen;
  seen.stopAt = 2;
  CZoError err = AMD::AMWalkDir(context_.get(), "/", &seen, -1, false, Collect);
  EXPECT_EQ(seen.entries.size(), 2u);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EEXIST)) << err.AsString();
  ASSERT_EQ(err.Frames().size(), 1u);
  EXPECT_EQ(err.Message(), "Entry found");
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));
  EXPECT_EQ(log_->CountContaining("AMWalk done"), 0);
}

TEST_F(Walking, ComponentAndFactoryFailures) {
  Seen seen;
  CZoError err = AMD::AMWalkDir(context_.get(), "/nowhere", &seen, -1, false, Collect);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));

  faulty_->FailFactory();
  log_->Clear();
  err = AMD::AMWalkDir(context_.get(), "/", &seen, -1, false, Collect);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 4306)) << err.AsString();
  EXPECT_EQ(err.Message(), "Failed to create CFSInterface");
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
  EXPECT_TRUE(seen.entries.empty());

  EXPECT_TRUE(FXErrorUtil::IsWin32(AMD::AMWalkDir(context_.get(), "/", &seen, -1, false, nullptr), 774));
  EXPECT_TRUE(FXErrorUtil::IsWin32(AMD::AMWalkDir(nullptr, "/", &seen, -1, false, Collect), 774));
}

TEST_F(Walking, ARootFolderEndingInASlashNeverReadsPastTheFolderPath) {
  context_->setRootFolder(root_ + "/");
  Seen seen;
  ASSERT_FALSE(AMD::AMWalkDir(context_.get(), "", &seen, -1, false, Collect).IsError());
  const Entries all = AsSet(seen);
  // The root's own entries come with the folder path shorter than the root folder: "".
  EXPECT_TRUE(all.count({"", "top.log", false}));
  EXPECT_TRUE(all.count({"sub", "mid.log", false}));
}

TEST(WalkerCallback, CutsTheRootFolderOff) {
  Seen seen;
  WALKDIR_CONTEXT record;
  record.callback = Collect;
  record.rootFolder = "/r/root";
  record.context = &seen;
  EXPECT_FALSE(WalkerCallbackFunc("/r/root", "a", false, &record).IsError());
  EXPECT_FALSE(WalkerCallbackFunc("/r/root/x", "b", true, &record).IsError());
  EXPECT_FALSE(WalkerCallbackFunc("/r", "c", false, &record).IsError());  // shorter: "", not past the end
  EXPECT_EQ(seen.entries, (std::vector<std::tuple<std::string, std::string, bool>>{
                              {"", "a", false}, {"/x", "b", true}, {"", "c", false}}));
  EXPECT_TRUE(FXErrorUtil::IsWin32(WalkerCallbackFunc("/r", "c", false, nullptr), 774));
}

}  // namespace
