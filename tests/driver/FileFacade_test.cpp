// The file-operation facade over a real context on the default backend: path forming per
// operation, traces and error lines, factory failures, component errors passed back as they
// are, and the ownership of file handles.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "driver/FacadeFixture.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "outside/dataserver/ContextState.h"
#include "outside/dataserver/DataServerTestFixture.h"
#include "outside/dataserver/local/LocalBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "support/FaultyBackend.h"
#include "outside/util/FXString.h"

using AMD = AbstractMountingPointDriver;
using kxmp::test::PathExists;
using kxmp::test::ReadFile;
using kxmp::test::WriteFile;

namespace {

constexpr int kTrace = 7;
constexpr int kError = -1;

std::string Ptr(const void* p) { return FXString::Format("%p", p); }

class Facade : public kxmp::test::FacadeTest {};

TEST_F(Facade, ConcatenationAddsNoSeparator) {
  ASSERT_FALSE(AMD::AMCreateFolder(context_.get(), "/logs").IsError());
  EXPECT_EQ(LastPath("CreateFolder"), At("logs"));
  ASSERT_FALSE(AMD::AMCreateFile(context_.get(), "/logs/a.tmp", O_CREAT | O_WRONLY, 0640, 0).IsError());
  EXPECT_EQ(LastPath("Open"), At("logs/a.tmp"));
  EXPECT_TRUE(PathExists(At("logs/a.tmp")));
  ASSERT_FALSE(AMD::AMMove(context_.get(), "/logs/a.tmp", "/logs/a").IsError());
  EXPECT_TRUE(PathExists(At("logs/a")));
  EXPECT_FALSE(PathExists(At("logs/a.tmp")));
  ASSERT_FALSE(AMD::AMChmod(context_.get(), "/logs/a", 0600).IsError());
  EXPECT_EQ(LastPath("Chmod"), At("logs/a"));
  SZoFileStat st{};
  ASSERT_FALSE(AMD::AMStat(context_.get(), "/logs/a", st).IsError());
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Without a leading slash the name runs on into the root folder's last part: a sibling of
  // the root folder, which the data server refuses.
  faulty_->ClearCalls();
  CZoError err = AMD::AMCreateFolder(context_.get(), "x");
  EXPECT_EQ(LastPath("CreateFolder"), root_ + "x");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EACCES)) << err.AsString();
}

TEST_F(Facade, OpenAndExistsKeepNamesHoldingTheRootAndJoinOthers) {
  WriteFile(At("f.log"), "x");
  struct Case {
    std::string name;
    std::string path;
  } cases[] = {
      {"f.log", At("f.log")},             // joined with one separator
      {"/f.log", At("f.log")},            // not two
      {"\\f.log", At("\\f.log")},        // a backslash begins the name, it separates nothing
      {At("f.log"), At("f.log")},         // already holds the root: unchanged
      {"/elsewhere" + root_ + "/f.log", "/elsewhere" + root_ + "/f.log"},  // anywhere inside
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CFileInterface* handle = nullptr;
    AMD::AMOpenFile(context_.get(), c.name, O_RDONLY, 0, 0, handle);
    EXPECT_EQ(LastPath("Open"), c.path);
    if (handle != nullptr) {
      EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
    }
    bool exists = false;
    AMD::AMExists(context_.get(), c.name, exists);
    EXPECT_EQ(LastPath("Exists"), c.path);
  }
}

TEST_F(Facade, CreateFileWithOpenJoinsAndHandsOutTheHandle) {
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMCreateFileWithOpen(context_.get(), "c.tmp", O_CREAT | O_RDWR, 0640, 0, handle).IsError());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(LastPath("Open"), At("c.tmp"));
  EXPECT_TRUE(log_->Has(kTrace, "AMCreateFileWithOpen done [c.tmp] uFlags [42] uMode [1a0] shFlag [0]"));
  EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
  EXPECT_EQ(handle, nullptr);
}

TEST_F(Facade, WriteReadAndHandleOperationsOnARealFile) {
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMCreateFileWithOpen(context_.get(), "d", O_CREAT | O_RDWR, 0640, 0, handle).IsError());
  const std::string handleText = Ptr(handle);
  char data[] = "0123456789";
  unsigned long written = 0;
  ASSERT_FALSE(AMD::AMWrite(nullptr, handle, data, 0, 10, &written).IsError());
  EXPECT_EQ(written, 10u);
  ASSERT_FALSE(AMD::AMWrite(nullptr, handle, data, 20, 2, &written).IsError());  // positioned: leaves a hole
  EXPECT_TRUE(log_->Has(kTrace, "AMWrite done [" + handleText + "] writeBytes [2] from offset [20]"));
  ASSERT_FALSE(AMD::AMLock(nullptr, handle).IsError());
  ASSERT_FALSE(AMD::AMUnlock(nullptr, handle).IsError());
  ASSERT_FALSE(AMD::AMFlush(nullptr, handle).IsError());

  char buf[8] = {};
  unsigned long got = 0;
  ASSERT_FALSE(AMD::AMRead(nullptr, handle, buf, 3, 4, &got).IsError());
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_TRUE(log_->Has(kTrace, "AMRead done file [" + handleText + "] size[4] bytesRead [4] from offset [3]"));
  ASSERT_FALSE(AMD::AMRead(nullptr, handle, buf, 100, 4, &got).IsError());
  EXPECT_EQ(got, 0u);  // past the end

  ASSERT_FALSE(AMD::AMTruncateFile(nullptr, handle, 5).IsError());
  EXPECT_TRUE(log_->Has(kTrace, "AMTruncateFile done [" + handleText + "] to [5]"));
  ASSERT_FALSE(AMD::AMCloseFile(nullptr, handle).IsError());
  EXPECT_TRUE(log_->Has(kTrace, "AMCloseFile done [" + handleText + "]"));
  EXPECT_EQ(ReadFile(At("d")), "01234");

  SZoFileStat st{};
  ASSERT_FALSE(AMD::AMStat(context_.get(), "/d", st).IsError());
  EXPECT_TRUE(log_->Has(kTrace, "AMStat done [/d] size[5]"));
  unsigned long long total = 0, free = 0;
  ASSERT_FALSE(AMD::AMGetVolumeSize(context_.get(), &total, &free).IsError());
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  EXPECT_TRUE(log_->Has(kTrace, FXString::Format("AMGetVolumeSize returns total [%llu], free [%llu]", total, free)));
  for (const auto& line : log_->Lines()) EXPECT_NE(line.level, kError) << line.message;
}

TEST_F(Facade, SuccessTracesNameWhatWasDone) {
  ASSERT_FALSE(AMD::AMCreateFolder(context_.get(), "/s").IsError());
  ASSERT_FALSE(AMD::AMCreateFile(context_.get(), "/s/f", O_CREAT | O_WRONLY, 0600, 3).IsError());
  bool exists = false;
  ASSERT_FALSE(AMD::AMExists(context_.get(), "s/f", exists).IsError());
  EXPECT_TRUE(exists);
  ASSERT_FALSE(AMD::AMChmod(context_.get(), "/s/f", 0640).IsError());
  ASSERT_FALSE(AMD::AMMove(context_.get(), "/s/f", "/s/g").IsError());
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMOpenFile(context_.get(), "s/g", O_RDONLY, 0, 0, handle).IsError());
  const std::string handleText = Ptr(handle);
  ASSERT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
  ASSERT_FALSE(AMD::AMRemoveFileFolder(context_.get(), "/s/g").IsError());

  EXPECT_TRUE(log_->Has(kTrace, "AMCreateFolder done [/s]"));
  EXPECT_TRUE(log_->Has(kTrace, "AMCreateFile done [/s/f] uFlags [41] uMode [180] shFlag [3]"));
  EXPECT_TRUE(log_->Has(kTrace, "AMExists done [" + At("s/f") + "]"));  // the formed path
  EXPECT_TRUE(log_->Has(kTrace, "AMChmod done [/s/f] to [1a0]"));
  EXPECT_TRUE(log_->Has(kTrace, "AMMove done from [/s/f] to [/s/g]"));
  EXPECT_TRUE(log_->Has(kTrace, "AMOpenFile done [s/g] return [" + handleText + "]"));
  EXPECT_TRUE(log_->Has(kTrace, "AMRemoveFile done [/s/g]"));
  EXPECT_EQ(log_->CountContaining("err: "), 0);
}

TEST_F(Facade, FailedOpenLeavesNoHandleAndLogsBothLines) {
  for (bool withCreate : {false, true}) {
    SCOPED_TRACE(withCreate);
    log_->Clear();
    CFileInterface* handle = nullptr;
    CZoError err = withCreate ? AMD::AMCreateFileWithOpen(context_.get(), "no/such", O_RDONLY, 0, 0, handle)
                              : AMD::AMOpenFile(context_.get(), "no/such", O_RDONLY, 0, 0, handle);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
    EXPECT_EQ(handle, nullptr);  // and ASan sees no object left alive
    EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));
    EXPECT_EQ(log_->Has(kError, "Failed to open file [" + At("no/such") + "] error[" + err.AsString() + "]"),
              !withCreate);
  }
}

TEST_F(Facade, FactoryFailureIs4306WithoutALogLine) {
  faulty_->FailFactory();
  CFileInterface* handle = nullptr;
  bool exists = false;
  SZoFileStat st{};
  unsigned long long total = 0, free = 0;
  struct Case {
    const char* function;
    CZoError err;
    const char* message;
  } cases[] = {
      {"AMGetVolumeSize", AMD::AMGetVolumeSize(context_.get(), &total, &free), "Failed to create CFSInterface"},
      {"AMCreateFile", AMD::AMCreateFile(context_.get(), "/a", O_CREAT, 0600, 0), "Failed to create CFileInterface"},
      {"AMCreateFileWithOpen", AMD::AMCreateFileWithOpen(context_.get(), "a", O_CREAT, 0600, 0, handle),
       "Failed to create CFileInterface"},
      {"AMCreateFolder", AMD::AMCreateFolder(context_.get(), "/a"), "Failed to create CFSInterface"},
      {"AMOpenFile", AMD::AMOpenFile(context_.get(), "a", O_RDONLY, 0, 0, handle), "Failed to create CFileInterface"},
      {"AMStat", AMD::AMStat(context_.get(), "/a", st), "Failed to create CFSInterface"},
      {"AMExists", AMD::AMExists(context_.get(), "a", exists), "Failed to create CFSInterface"},
      {"AMChmod", AMD::AMChmod(context_.get(), "/a", 0600), "Failed to create CFSInterface"},
      {"AMRemoveFileFolder", AMD::AMRemoveFileFolder(context_.get(), "/a"), "Failed to create CFSInterface"},
      {"AMMove", AMD::AMMove(context_.get(), "/a", "/b"), "Failed to create CFSInterface"},
      {"AMMoveNoReplace", AMD::AMMoveNoReplace(context_.get(), "/a", "/b"), "Failed to create CFSInterface"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.err, 4306)) << c.err.AsString();
    EXPECT_EQ(c.err.Message(), c.message);
    ASSERT_EQ(c.err.Frames().size(), 1u);
    EXPECT_EQ(c.err.Frames()[0].file, "AbstractMountingPointDriver.cpp");
    EXPECT_NE(c.err.Frames()[0].function.find(std::string("AbstractMountingPointDriver::") + c.function + "("),
              std::string::npos)
        << c.err.Frames()[0].function;
  }
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
  EXPECT_FALSE(PathExists(At("a")));
}

// Each operation with the component call that fails under it.
TEST_F(Facade, ComponentErrorsComeBackUnchangedAndAreLogged) {
  WriteFile(At("f"), "data");
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMOpenFile(context_.get(), "f", O_RDWR, 0, 0, handle).IsError());
  char buf[4];
  unsigned long n = 7;
  bool exists = false;
  unsigned long long total = 0, free = 0;
  struct Case {
    const char* op;
    std::function<CZoError()> call;
  } cases[] = {
      {"GetVolumeSize", [&] { return AMD::AMGetVolumeSize(context_.get(), &total, &free); }},
      {"CreateFolder", [&] { return AMD::AMCreateFolder(context_.get(), "/n"); }},
      {"Exists", [&] { return AMD::AMExists(context_.get(), "f", exists); }},
      {"Chmod", [&] { return AMD::AMChmod(context_.get(), "/f", 0600); }},
      {"Move", [&] { return AMD::AMMove(context_.get(), "/f", "/g"); }},
      {"RemoveFile", [&] { return AMD::AMRemoveFileFolder(context_.get(), "/f"); }},
      {"Seek", [&] { return AMD::AMRead(context_.get(), handle, buf, 0, 4, &n); }},
      {"Read", [&] { return AMD::AMRead(context_.get(), handle, buf, 0, 4, &n); }},
      {"Write", [&] { return AMD::AMWrite(context_.get(), handle, buf, 0, 4, &n); }},
      {"Truncate", [&] { return AMD::AMTruncateFile(context_.get(), handle, 0); }},
      {"Lock", [&] { return AMD::AMLock(context_.get(), handle); }},
      {"Unlock", [&] { return AMD::AMUnlock(context_.get(), handle); }},
      {"Flush", [&] { return AMD::AMFlush(context_.get(), handle); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    log_->Clear();
    faulty_->ClearFaults();
    faulty_->Fail(c.op, "", EIO);
    CZoError err = c.call();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
    ASSERT_EQ(err.Frames().size(), 1u) << err.AsString();  // no frame added on the way out
    EXPECT_NE(err.Frames()[0].file, "AbstractMountingPointDriver.cpp");
    EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString())) << log_->Dump();
    EXPECT_EQ(log_->CountContaining(" done "), 0);
  }
  EXPECT_EQ(n, 7u);  // failed reads and writes report no count
  faulty_->ClearFaults();
  EXPECT_EQ(ReadFile(At("f")), "data");
  EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
}

TEST_F(Facade, StatFailureIsAWarningTraceOnly) {
  SZoFileStat st{};
  CZoError err = AMD::AMStat(context_.get(), "/missing", st);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOENT)) << err.AsString();
  EXPECT_TRUE(log_->Has(kTrace, "warning: AMStat failed [/missing] error[" + err.AsString() + "]"));
  EXPECT_EQ(log_->CountContaining("err: "), 0);
  for (const auto& line : log_->Lines()) EXPECT_NE(line.level, kError) << line.message;
}

TEST_F(Facade, CreateFileReportsAFailedClose) {
  faulty_->Fail("Close", "", EIO);
  CZoError err = AMD::AMCreateFile(context_.get(), "/c", O_CREAT | O_WRONLY, 0600, 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));
  EXPECT_EQ(log_->CountContaining("AMCreateFile done"), 0);
}

TEST_F(Facade, CloseAlwaysReleasesTheHandle) {
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMCreateFileWithOpen(context_.get(), "h", O_CREAT | O_WRONLY, 0600, 0, handle).IsError());
  faulty_->Fail("Close", "", EIO);
  CZoError err = AMD::AMCloseFile(context_.get(), handle);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
  EXPECT_EQ(handle, nullptr);  // destroyed: ASan reports a leak otherwise
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));
  EXPECT_EQ(faulty_->CountCalls("Flush"), 0);

  // A successful close flushes afterwards and ignores what the flush says.
  faulty_->ClearFaults();
  ASSERT_FALSE(AMD::AMCreateFileWithOpen(context_.get(), "h", O_WRONLY, 0600, 0, handle).IsError());
  faulty_->Fail("Flush", "", EIO);
  EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(faulty_->CountCalls("Flush"), 1);
}

TEST_F(Facade, RemoveChoosesFolderOrFileByStat) {
  ASSERT_EQ(::mkdir(At("dir").c_str(), 0750), 0);
  WriteFile(At("file"), "x");
  ASSERT_FALSE(AMD::AMRemoveFileFolder(context_.get(), "/dir").IsError());
  EXPECT_EQ(faulty_->CountCalls("RemoveFolder", At("dir")), 1);
  EXPECT_EQ(faulty_->CountCalls("RemoveFile"), 0);
  ASSERT_FALSE(AMD::AMRemoveFileFolder(context_.get(), "/file").IsError());
  EXPECT_EQ(faulty_->CountCalls("RemoveFile", At("file")), 1);
  EXPECT_FALSE(PathExists(At("dir")));
  EXPECT_FALSE(PathExists(At("file")));

  // A failed Stat removes nothing.
  WriteFile(At("kept"), "x");
  faulty_->Fail("Stat", "", EIO);
  CZoError err = AMD::AMRemoveFileFolder(context_.get(), "/kept");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EIO)) << err.AsString();
  EXPECT_TRUE(log_->Has(kError, "err: " + err.AsString()));
  EXPECT_TRUE(PathExists(At("kept")));
  EXPECT_EQ(faulty_->CountCalls("RemoveFile"), 1);
}

TEST_F(Facade, ReadsAndWritesAlwaysSeekAndReportTheComponentsCount) {
  WriteFile(At("r"), "abc");
  CFileInterface* handle = nullptr;
  ASSERT_FALSE(AMD::AMOpenFile(context_.get(), "r", O_RDWR, 0, 0, handle).IsError());
  faulty_->ClearCalls();
  unsigned long n = 99;
  char buf[1];
  ASSERT_FALSE(AMD::AMRead(context_.get(), handle, buf, 0, 0, &n).IsError());  // zero bytes still seek and read
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(faulty_->CountCalls("Seek"), 1);
  EXPECT_EQ(faulty_->CountCalls("Read"), 1);

  faulty_->LimitTransfer("Write", 2);
  char data[] = "wxyz";
  ASSERT_FALSE(AMD::AMWrite(context_.get(), handle, data, 1, 4, &n).IsError());
  EXPECT_EQ(n, 2u);  // a short write is the caller's to finish
  faulty_->ClearFaults();

  faulty_->Fail("Seek", "", EINVAL);
  CZoError err = AMD::AMRead(context_.get(), handle, buf, -1, 1, &n);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EINVAL)) << err.AsString();
  EXPECT_EQ(faulty_->CountCalls("Read"), 1);  // no read after a failed seek
  faulty_->ClearFaults();
  EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
  EXPECT_EQ(ReadFile(At("r")), "awx");
}

TEST_F(Facade, MissingInputIsRefusedNotDereferenced) {
  CFileInterface* handle = nullptr;
  bool exists = false;
  SZoFileStat st{};
  unsigned long n = 0;
  char buf[1];
  unsigned long long total = 0;
  const CZoError errors[] = {
      AMD::AMCreateFolder(nullptr, "/a"),
      AMD::AMOpenFile(nullptr, "a", O_RDONLY, 0, 0, handle),
      AMD::AMExists(nullptr, "a", exists),
      AMD::AMStat(nullptr, "a", st),
      AMD::AMGetVolumeSize(context_.get(), &total, nullptr),
      AMD::AMCloseFile(context_.get(), handle),
      AMD::AMRead(context_.get(), handle, buf, 0, 1, &n),
      AMD::AMWrite(context_.get(), handle, buf, 0, 1, &n),
      AMD::AMFlush(context_.get(), handle),
  };
  for (const auto& err : errors) EXPECT_TRUE(FXErrorUtil::IsWin32(err, 774)) << err.AsString();

  WriteFile(At("z"), "z");
  ASSERT_FALSE(AMD::AMOpenFile(context_.get(), "z", O_RDONLY, 0, 0, handle).IsError());
  EXPECT_TRUE(FXErrorUtil::IsWin32(AMD::AMRead(context_.get(), handle, nullptr, 0, 1, &n), 774));
  EXPECT_TRUE(FXErrorUtil::IsWin32(AMD::AMRead(context_.get(), handle, buf, 0, 1, nullptr), 774));
  EXPECT_FALSE(AMD::AMCloseFile(context_.get(), handle).IsError());
}

// The context holds the data server's state for its FS params: the catalog is asked once per
// context for any number of operations, again after the context moves (another mount path,
// a deeper tree), and the state goes with the context.
TEST_F(Facade, CatalogIsAskedOncePerContextNotPerOperation) {
  auto authority = std::make_shared<kxmp::test::CountingAuthority>();
  kxmp::dataserver::ScopedBackend local(std::make_shared<kxmp::dataserver::LocalBackend>(authority));
  for (int i = 0; i < 10; ++i) {
    const std::string name = "log" + std::to_string(i);
    CFileInterface* h = nullptr;
    ASSERT_FALSE(AMD::AMOpenFile(context_.get(), name + ".tmp", O_WRONLY | O_CREAT | O_TRUNC, 0640, 0, h).IsError());
    unsigned long n = 0;
    ASSERT_FALSE(AMD::AMWrite(context_.get(), h, const_cast<char*>("data"), 0, 4, &n).IsError());
    ASSERT_FALSE(AMD::AMCloseFile(context_.get(), h).IsError());
    ASSERT_FALSE(AMD::AMMove(context_.get(), "/" + name + ".tmp", "/" + name).IsError());
    bool exists = false;
    ASSERT_FALSE(AMD::AMExists(context_.get(), name, exists).IsError());
    ASSERT_TRUE(exists);
  }
  EXPECT_EQ(authority->calls, 1);
  EXPECT_EQ(ReadFile(At("log9")), "data");

  const std::string mount2 = home_->sub("mp2");
  ASSERT_EQ(::mkdir(mount2.c_str(), 0750), 0);
  kxmp::test::AddCatalogMountPath("ma2", mount2);
  context_->update("ma2", mount2, 8);
  ASSERT_TRUE(AMD::CreateRootFolder(context_.get(), "", false, true));
  bool exists = false;
  ASSERT_FALSE(AMD::AMExists(context_.get(), "log0", exists).IsError());
  EXPECT_FALSE(exists);
  EXPECT_EQ(authority->calls, 2);
  EXPECT_TRUE(PathExists(mount2 + "/KX_APP_DUMPS/guid-42"));

  context_->mountDeeper("deeper");
  const CFSInitParams params = context_->getFSParams();
  ASSERT_NE(kxmp::dataserver::FindContextState(params), nullptr);
  context_.reset();
  EXPECT_EQ(kxmp::dataserver::FindContextState(params), nullptr);
}

}  // namespace
