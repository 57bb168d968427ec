#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

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
