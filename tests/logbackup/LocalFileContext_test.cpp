#include "kxmp/LocalFileContext.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "logbackup/JobResultsFixture.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::test {
namespace {

constexpr unsigned kCreate = O_WRONLY | O_CREAT | O_TRUNC;

class LocalFileContextTest : public JobResultsTest {};

TEST_F(LocalFileContextTest, SetRootFolderEndsWithOneSlash) {
  LocalFileContext ctx(1);
  ctx.setRootFolder("/data/x");
  EXPECT_EQ("/data/x/", ctx.getRootFolder());
  ctx.setRootFolder("/data/x/");
  EXPECT_EQ("/data/x/", ctx.getRootFolder());
  // An empty root means "none": the default root is derived again, never "/".
  ctx.setRootFolder("");
  EXPECT_EQ("", ctx.getRootFolder());
}

TEST_F(LocalFileContextTest, OpenWithoutRootUsesTheJobResultsFolderOfTheSubclient) {
  LocalFileContext ctx(42);
  // The folder does not exist yet: the failure names the path that was tried.
  CZoError err = ctx.openFile("log1", kCreate, 0640);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT));
  EXPECT_NE(std::string::npos, err.AsString().find(jobResults_ + "/2/42//log1")) << err.AsString();
  EXPECT_EQ(1, log_->CountContaining("Failed to open file, error="));
  EXPECT_EQ(jobResults_ + "/2/42/", ctx.getRootFolder());

  // The derived root stays; once its folder exists the same call succeeds.
  ASSERT_TRUE(CZoDirectory::Create(SubclientFolder(42), true).IsSuccess());
  ASSERT_TRUE(ctx.openFile("log1", kCreate, 0640).IsSuccess());
  char data[] = "abc";
  unsigned int written = 0;
  ASSERT_TRUE(ctx.writeFile(data, 3, &written).IsSuccess());
  EXPECT_EQ(3u, written);
  ASSERT_TRUE(ctx.closeFile().IsSuccess());
  EXPECT_EQ("abc", ReadFile(SubclientFolder(42) + "/log1"));
}

TEST_F(LocalFileContextTest, JobResultsDirectoryIsNotAskedAgain) {
  const char* first = nullptr;
  ASSERT_TRUE(LocalFileContext::getJobResultsDirectory(first));
  EXPECT_STREQ(jobResults_.c_str(), first);
  ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", "sJobResultsDirectory", home_->sub("elsewhere")));
  const char* second = nullptr;
  ASSERT_TRUE(LocalFileContext::getJobResultsDirectory(second));
  EXPECT_EQ(first, second);
  EXPECT_STREQ(jobResults_.c_str(), second);
}

TEST_F(LocalFileContextTest, ReadWriteCloseOnAGivenRoot) {
  LocalFileContext ctx(7);
  ctx.setRootFolder(home_->sub("root"));
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  ASSERT_TRUE(ctx.openFile("f", kCreate, 0600).IsSuccess());
  char data[] = "hello";
  unsigned int n = 0;
  ASSERT_TRUE(ctx.writeFile(data, 5, &n).IsSuccess());
  ASSERT_TRUE(ctx.closeFile().IsSuccess());

  ASSERT_TRUE(ctx.openFile("f", O_RDONLY, 0).IsSuccess());
  char buf[16] = {};
  ASSERT_TRUE(ctx.readFile(buf, sizeof buf, &n).IsSuccess());
  EXPECT_EQ(5u, n);
  EXPECT_EQ("hello", std::string(buf, n));
  ASSERT_TRUE(ctx.closeFile().IsSuccess());
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
}

TEST_F(LocalFileContextTest, ReadAndWriteFailuresAreLogged) {
  LocalFileContext ctx(7);
  ctx.setRootFolder(home_->sub("root"));
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  ASSERT_TRUE(ctx.openFile("f", kCreate, 0600).IsSuccess());
  char buf[4] = {};
  unsigned int n = 99;
  CZoError err = ctx.readFile(buf, sizeof buf, &n);  // opened write-only
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, EBADF));
  EXPECT_EQ(1, log_->CountContaining("Failed to readfile, bytesRead=[0], error="));
  EXPECT_GE(err.Frames().size(), 2u);  // a frame of this layer on top of the file's

  ASSERT_TRUE(ctx.closeFile().IsSuccess());
  ASSERT_TRUE(ctx.openFile("f", O_RDONLY, 0).IsSuccess());
  err = ctx.writeFile(buf, sizeof buf, &n);
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, EBADF));
  EXPECT_EQ(1, log_->CountContaining("Failed to writefile, error="));
  EXPECT_EQ(1u, err.Frames().size());  // returned as the file gave it
}

TEST_F(LocalFileContextTest, RemoveFileDeletesTheFileOpenedLastOnlyOnce) {
  LocalFileContext ctx(7);
  EXPECT_TRUE(ctx.removeFile().IsSuccess());  // never opened anything

  ctx.setRootFolder(home_->sub("root"));
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  ASSERT_TRUE(ctx.openFile("f", kCreate, 0600).IsSuccess());
  ASSERT_TRUE(ctx.closeFile().IsSuccess());
  // A successful close forgets the file: nothing left to delete.
  EXPECT_TRUE(ctx.removeFile().IsSuccess());
  EXPECT_TRUE(PathExists(home_->sub("root/f")));

  ASSERT_TRUE(ctx.openFile("g", kCreate, 0600).IsSuccess());
  EXPECT_TRUE(ctx.removeFile().IsSuccess());
  EXPECT_FALSE(PathExists(home_->sub("root/g")));
  EXPECT_TRUE(ctx.removeFile().IsSuccess());  // already forgotten

  // The file vanished behind the context's back: logged and reported with the name.
  ASSERT_TRUE(ctx.openFile("h", kCreate, 0600).IsSuccess());
  ASSERT_EQ(0, ::unlink(home_->sub("root/h").c_str()));
  CZoError err = ctx.removeFile();
  ASSERT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT));
  std::string name = home_->sub("root") + "//h";
  EXPECT_TRUE(log_->Has(-1, "Failed to delete file [" + name + "]")) << log_->Dump();
  EXPECT_EQ("Failed to delete file [" + name + "]", err.Frames().back().message);
}

TEST_F(LocalFileContextTest, CreateDirectoryMakesTheRootWithItsParents) {
  LocalFileContext ctx(7);
  ctx.setRootFolder(home_->sub("a/b/c"));
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  EXPECT_EQ(home_->sub("a/b/c/"), ctx.getRootFolder());
  struct stat st {};
  ASSERT_EQ(0, ::stat(home_->sub("a/b/c").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // A name is appended to the root, which keeps it.
  ASSERT_TRUE(ctx.createDirectory("d").IsSuccess());
  EXPECT_EQ(home_->sub("a/b/c/d"), ctx.getRootFolder());
  EXPECT_TRUE(PathExists(home_->sub("a/b/c/d")));

  // A file in the way.
  WriteFile(home_->sub("file"), "x");
  LocalFileContext blocked(7);
  blocked.setRootFolder(home_->sub("file/sub"));
  CZoError err = blocked.createDirectory("");
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(1, log_->CountContaining("Failed to createDirectory [" + home_->sub("file/sub/") + "], error="));
}

TEST_F(LocalFileContextTest, CreateDirectoryWithoutRootMakesTheDefaultRoot) {
  LocalFileContext ctx(43);
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  EXPECT_EQ(jobResults_ + "/2/43/", ctx.getRootFolder());
  EXPECT_TRUE(PathExists(SubclientFolder(43)));
  EXPECT_TRUE(ctx.openFile("log1", kCreate, 0600).IsSuccess());
}

TEST_F(LocalFileContextTest, NamesWithParentComponentsAreRefused) {
  WriteFile(home_->sub("outside"), "keep");
  LocalFileContext ctx(7);
  ctx.setRootFolder(home_->sub("root"));
  ASSERT_TRUE(ctx.createDirectory("").IsSuccess());
  ASSERT_TRUE(CZoDirectory::Create(home_->sub("root/sub"), true).IsSuccess());
  for (const char* bad : {"..", "../outside", "sub/../../outside", "sub/..", "/../outside"}) {
    CZoError err = ctx.openFile(bad, kCreate, 0600);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EACCES)) << bad << ": " << err.AsString();
  }
  EXPECT_EQ(5, log_->CountContaining("Failed to open file, error="));
  EXPECT_EQ("keep", ReadFile(home_->sub("outside")));
  EXPECT_TRUE(ctx.removeFile().IsSuccess());  // nothing was opened
  EXPECT_TRUE(FXErrorUtil::IsErrNo(ctx.createDirectory("../escape"), EACCES));
  EXPECT_FALSE(PathExists(home_->sub("escape")));
  EXPECT_EQ(home_->sub("root/"), ctx.getRootFolder());

  // Dots that are not a whole component are ordinary names.
  for (const char* fine : {"..log", "log..", "sub/...", ".hidden"}) {
    EXPECT_TRUE(ctx.openFile(fine, kCreate, 0600).IsSuccess()) << fine;
    EXPECT_TRUE(ctx.closeFile().IsSuccess());
  }
  EXPECT_TRUE(PathExists(home_->sub("root/sub/...")));
}

}  // namespace
}  // namespace kxmp::test
