#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "outside/util/AtomicFile.h"
#include "outside/util/CZoFile.h"
#include "outside/util/Endian.h"
#include "outside/util/FXPath.h"
#include "outside/util/HostName.h"
#include "outside/error/FXErrorUtil.h"
#include "support/TempHome.h"

TEST(FXPath, JoinsWithExactlyOneSeparator) {
  EXPECT_EQ(FXPath::Join("/a", "b"), "/a/b");
  EXPECT_EQ(FXPath::Join("/a/", "b"), "/a/b");
  EXPECT_EQ(FXPath::Join("/a//", "//b"), "/a/b");
  EXPECT_EQ(FXPath::Join("/a", "/b"), "/a/b");
  EXPECT_EQ(FXPath::Join("/a", ""), "/a");
  EXPECT_EQ(FXPath::Join("", "b"), "b");
  EXPECT_EQ(FXPath::Join("/", "b"), "/b");
  // A backslash is part of a name, never a separator.
  EXPECT_EQ(FXPath::Join("/a", "\\w.log"), "/a/\\w.log");
  EXPECT_EQ(FXPath::Join("/a\\", "\\b"), "/a\\/\\b");
}

TEST(HostName, ManglesAndDemangles) {
  std::string host, second;
  int64_t a = 9, b = 9;
  EXPECT_TRUE(DemangleHostName(MangleHostName("ma1", "disp", 2, -3), host, second, a, b));
  EXPECT_EQ(host, "ma1");
  EXPECT_EQ(second, "disp");
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, -3);
  EXPECT_TRUE(DemangleHostName("plainhost", host, second, a, b));
  EXPECT_EQ(host, "plainhost");
  EXPECT_EQ(second, "");
  EXPECT_FALSE(DemangleHostName("h*s*x*1", host, second, a, b));
  EXPECT_EQ(host, "h");
}

TEST(Endian, LittleEndianOrder) {
  uint64_t v = ulittleEndianLongLong(0x0102030405060708ULL);
  unsigned char bytes[8];
  std::memcpy(bytes, &v, 8);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
}

class FileUtil : public kxmp::test::HomeTest {};

TEST_F(FileUtil, AtomicWriteAndReadBack) {
  std::string p = home_->sub("a/b/c.txt");
  ASSERT_FALSE(CZoDirectory::Create(home_->sub("a/b"), true).IsError());
  ASSERT_FALSE(CZoFile::WriteWholeFileAtomic(p, "hello").IsError());
  std::string out;
  ASSERT_FALSE(CZoFile::ReadWholeFile(p, out).IsError());
  EXPECT_EQ(out, "hello");
  CZoError e = CZoFile::ReadWholeFile(p + "x", out);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
  EXPECT_NE(e.AsString().find(p + "x"), std::string::npos);
}

// Names in a folder, without "." and "..".
std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    }
    ::closedir(d);
  }
  return names;
}

unsigned int ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

TEST_F(FileUtil, AtomicFileReplacesWholeKeepsModeAndNeverLeavesItsTemporaryFile) {
  const std::string dir = home_->sub("d");
  const std::string p = dir + "/value";
  kxmp::test::WriteFile(p, "old");
  ASSERT_EQ(0, ::chmod(p.c_str(), 0604));
  // What a crash or another program left at the usual temporary names is no obstacle.
  ASSERT_TRUE(CZoDirectory::Create(p + ".tmp", false).IsSuccess());
  ASSERT_EQ(0, ::symlink((dir + "/victim").c_str(), (p + ".tmp.1").c_str()));

  {
    kxmp::AtomicFile out;
    ASSERT_TRUE(out.Create(p, 0640).IsSuccess());
    ASSERT_TRUE(out.Write("ne").IsSuccess());
    ASSERT_TRUE(out.Write("w!", 2).IsSuccess());
    EXPECT_EQ("old", kxmp::test::ReadFile(p));  // nothing visible before the commit
    ASSERT_TRUE(out.Commit(kxmp::AtomicFile::kReplace).IsSuccess());
  }
  EXPECT_EQ("new!", kxmp::test::ReadFile(p));
  EXPECT_EQ(0604u, ModeOf(p));
  EXPECT_EQ((std::set<std::string>{"value", "value.tmp", "value.tmp.1"}), Listing(dir));
  EXPECT_FALSE(kxmp::test::PathExists(dir + "/victim"));

  // Without replacing: an existing file stays, the error names it, the temporary goes.
  {
    kxmp::AtomicFile out;
    ASSERT_TRUE(out.Create(p, 0640).IsSuccess());
    ASSERT_TRUE(out.Write("other").IsSuccess());
    CZoError err = out.Commit(kxmp::AtomicFile::kKeepExisting);
    ASSERT_TRUE(FXErrorUtil::IsErrNo(err, EEXIST)) << err.AsString();
    EXPECT_NE(err.Message().find("[" + p + "]"), std::string::npos) << err.Message();
    EXPECT_EQ(err.Message().find(".tmp."), std::string::npos) << err.Message();
  }
  EXPECT_EQ("new!", kxmp::test::ReadFile(p));
  // An abandoned file (destroyed uncommitted) leaves nothing; a new one gets the given mode.
  {
    kxmp::AtomicFile out;
    ASSERT_TRUE(out.Create(dir + "/fresh", 0600).IsSuccess());
    ASSERT_TRUE(out.Write("partial").IsSuccess());
    EXPECT_EQ(4u, Listing(dir).size());
  }
  EXPECT_EQ(3u, Listing(dir).size());
  ASSERT_TRUE(CZoFile::WriteWholeFileAtomic(dir + "/fresh", "x", 0600).IsSuccess());
  EXPECT_EQ(0600u, ModeOf(dir + "/fresh"));

  // The longest file name still has a temporary name.
  const std::string longest = dir + "/" + std::string(255, 'n');
  ASSERT_TRUE(CZoFile::WriteWholeFileAtomic(longest, "long", 0640).IsSuccess());
  EXPECT_EQ("long", kxmp::test::ReadFile(longest));

  // A folder that is not there: the error names the target.
  CZoError err = CZoFile::WriteWholeFileAtomic(dir + "/no/such", "x", 0640);
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  EXPECT_NE(err.Message().find(dir + "/no/such"), std::string::npos);
}

TEST_F(FileUtil, RemoveRecursiveDoesNotFollowLinks) {
  std::string outside = home_->sub("keep");
  kxmp::test::WriteFile(outside + "/precious", "x");
  kxmp::test::WriteFile(home_->sub("tree/sub/f"), "y");
  ASSERT_EQ(::symlink(outside.c_str(), home_->sub("tree/link").c_str()), 0);
  ASSERT_FALSE(CZoDirectory::Remove(home_->sub("tree"), true, false).IsError());
  EXPECT_FALSE(kxmp::test::PathExists(home_->sub("tree")));
  EXPECT_TRUE(kxmp::test::PathExists(outside + "/precious"));
}

TEST_F(FileUtil, FileOpenWriteCloseDetach) {
  CZoFile f;
  std::string p = home_->sub("f.bin");
  ASSERT_FALSE(f.Open(p, O_WRONLY | O_CREAT | O_TRUNC, 0600).IsError());
  unsigned int n = 0;
  ASSERT_FALSE(f.Write("abc", 3, &n).IsError());
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(f.GetName(), p);
  ASSERT_FALSE(f.Close().IsError());
  EXPECT_EQ(f.GetName(), p);
  f.Detach(nullptr);
  EXPECT_EQ(f.GetName(), "");
  EXPECT_EQ(kxmp::test::ReadFile(p), "abc");
}
