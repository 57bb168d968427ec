// The fault-injecting backend that later tests rely on to exercise failure handling.

#include <fcntl.h>

#include <gtest/gtest.h>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/DataServerTestFixture.h"
#include "support/FaultyBackend.h"
#include "outside/error/FXErrorUtil.h"

using kxmp::dataserver::CurrentBackend;
using kxmp::dataserver::FaultyBackend;
using kxmp::dataserver::ScopedBackend;

namespace {

class Faulty : public kxmp::test::DataServerTest {
 protected:
  void SetUp() override {
    DataServerTest::SetUp();
    faulty_ = std::make_shared<FaultyBackend>();
    scope_ = std::make_unique<ScopedBackend>(faulty_);
    ASSERT_FALSE(FS()->CreateFolder(root_, 1).IsError());
  }
  void TearDown() override {
    scope_.reset();
    DataServerTest::TearDown();
  }

  std::shared_ptr<FaultyBackend> faulty_;
  std::unique_ptr<ScopedBackend> scope_;
};

TEST_F(Faulty, NthWriteFailsAndCallsAreRecorded) {
  faulty_->ClearCalls();
  faulty_->Fail("Write", "", ENOSPC, 3);
  auto f = File();
  ASSERT_FALSE(f->Open(At("w"), O_WRONLY | O_CREAT, 0640, 0).IsError());
  unsigned int n = 0;
  EXPECT_FALSE(f->Write("ab", 2, &n).IsError());
  EXPECT_FALSE(f->Write("cd", 2, &n).IsError());
  CZoError third = f->Write("ef", 2, &n);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(third, ENOSPC)) << third.AsString();
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(f->Write("gh", 2, &n).IsError());
  EXPECT_FALSE(f->Close().IsError());
  EXPECT_EQ(kxmp::test::ReadFile(At("w")), "abcdgh");  // the failed write reached nothing

  auto calls = faulty_->Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0].op, "GetFileInterfaceInstance");
  EXPECT_EQ(calls[0].path, root_);
  EXPECT_EQ(calls[1].op, "Open");
  EXPECT_EQ(calls[1].path, At("w"));
  EXPECT_EQ(calls[3].op, "Write");
  EXPECT_EQ(calls[3].path, At("w"));
  EXPECT_EQ(calls[3].host, "ma1");
  EXPECT_EQ(faulty_->CountCalls("Write"), 4);
  EXPECT_EQ(faulty_->CountCalls("Close", At("w")), 1);
}

TEST_F(Faulty, FailUnderMatchesWholeComponentsAndTouchesNothing) {
  faulty_->FailUnder("CreateFolder", root_ + "/a", EHOSTUNREACH);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FS()->CreateFolder(At("a"), 0), EHOSTUNREACH));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FS()->CreateFolder(At("a/b"), 1), EHOSTUNREACH));
  EXPECT_FALSE(kxmp::test::PathExists(At("a")));
  EXPECT_FALSE(FS()->CreateFolder(At("ab"), 0).IsError());
  bool exists = false;
  EXPECT_FALSE(FS()->Exists(At("a"), exists).IsError());  // other operations pass

  faulty_->ClearFaults();
  EXPECT_FALSE(FS()->CreateFolder(At("a"), 0).IsError());
}

TEST_F(Faulty, MoveRuleMatchesSourceOrTarget) {
  kxmp::test::WriteFile(At("src"), "x");
  faulty_->Fail("Move", At("dst"), EIO);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FS()->Move(At("src"), At("dst"), 0), EIO));
  EXPECT_TRUE(kxmp::test::PathExists(At("src")));
  EXPECT_FALSE(FS()->Move(At("src"), At("other"), 0).IsError());
}

TEST_F(Faulty, HostRuleAndFactories) {
  faulty_->FailHost("ma1", "", ETIMEDOUT);
  bool exists = false;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(FS()->Exists(root_, exists), ETIMEDOUT));
  faulty_->ClearFaults();

  faulty_->FailFactory();
  EXPECT_EQ(CFSInterface::GetFSInterfaceInstance(params_), nullptr);
  EXPECT_EQ(CFileInterface::GetFileInterfaceInstance(params_), nullptr);
  faulty_->FailFactory(false).FailFileFactory();
  EXPECT_TRUE(FS());
  EXPECT_EQ(CFileInterface::GetFileInterfaceInstance(params_), nullptr);
  faulty_->ClearFaults();
  faulty_->Fail("GetFSInterfaceInstance", "", 0 + EIO, 2);
  EXPECT_TRUE(FS());
  EXPECT_FALSE(FS());
  EXPECT_TRUE(FS());
}

TEST_F(Faulty, TransferLimitGivesShortWritesAndReads) {
  faulty_->LimitTransfer("Write", 3).LimitTransfer("Read", 2);
  auto f = File();
  ASSERT_FALSE(f->Open(At("s"), O_RDWR | O_CREAT, 0640, 0).IsError());
  unsigned int n = 0;
  ASSERT_FALSE(f->Write("abcdefgh", 8, &n).IsError());
  EXPECT_EQ(n, 3u);
  ASSERT_FALSE(f->Seek(0, 0, 0).IsError());
  char buf[8];
  ASSERT_FALSE(f->Read(buf, 8, &n).IsError());
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(std::string(buf, 2), "ab");
}

TEST_F(Faulty, ScopesRestoreThePreviousBackend) {
  auto outer = CurrentBackend();
  EXPECT_EQ(outer, faulty_);
  {
    auto inner = std::make_shared<FaultyBackend>();
    ScopedBackend nested(inner);
    EXPECT_EQ(CurrentBackend(), inner);
    inner->FailFactory();
    EXPECT_FALSE(FS());
  }
  EXPECT_EQ(CurrentBackend(), faulty_);
  EXPECT_TRUE(FS());
  scope_.reset();
  EXPECT_NE(CurrentBackend(), faulty_);  // the default one again
  EXPECT_TRUE(CurrentBackend());
}

TEST(FaultyDeath, MisspeltOperationAborts) {
  FaultyBackend f;
  EXPECT_DEATH(f.Fail("Wrtie", "", EIO), "unknown operation name");
}

}  // namespace
