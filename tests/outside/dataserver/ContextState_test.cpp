// What a data-server context's state saves its operations: the mount-path authority and the
// router are asked once per context (never per operation), failures are not kept as answers,
// a storage host the router sends elsewhere is served there, and nothing stays open once the
// last context lets go.

#include <dirent.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/ContextState.h"
#include "support/FaultyBackend.h"
#include "outside/dataserver/DataServerTestFixture.h"
#include "outside/dataserver/local/LocalBackend.h"

using kxmp::dataserver::AttachContextState;
using kxmp::dataserver::Backend;
using kxmp::dataserver::BackendRouter;
using kxmp::dataserver::FindContextState;
using kxmp::dataserver::FixedMountPathAuthority;
using kxmp::dataserver::LocalBackend;
using kxmp::dataserver::ScopedBackend;
using kxmp::test::CountingAuthority;

namespace {

#define ASSERT_OK(expr)                          \
  do {                                           \
    CZoError e_ = (expr);                        \
    ASSERT_FALSE(e_.IsError()) << e_.AsString(); \
  } while (0)

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

class ContextState : public kxmp::test::DataServerTest {
 protected:
  void SetUp() override {
    DataServerTest::SetUp();
    authority_ = std::make_shared<CountingAuthority>();
    remote_ = std::make_shared<std::shared_ptr<Backend>>();
    auto lookups = lookups_;
    auto remote = remote_;
    auto router = std::make_shared<BackendRouter>(std::make_shared<LocalBackend>(authority_),
                                                  [lookups, remote](const CFSInitParams& p, CZoError& error) {
                                                    ++*lookups;
                                                    error = CZoError::Success();
                                                    return p.host.hostName == "ma2" ? *remote : nullptr;
                                                  });
    scope_ = std::make_unique<ScopedBackend>(router);
  }
  void TearDown() override {
    scope_.reset();
    DataServerTest::TearDown();
  }

  // One log file's round: create the temporary file, write, close, rename, check.
  void BackUpOne(const std::string& name) {
    auto f = File();
    ASSERT_TRUE(f);
    ASSERT_OK(f->Open(At(name + ".tmp"), O_WRONLY | O_CREAT | O_TRUNC, 0640, 0));
    unsigned int n = 0;
    ASSERT_OK(f->Write("log", 3, &n));
    ASSERT_OK(f->Close());
    ASSERT_OK(FS()->Move(At(name + ".tmp"), At(name), 0));
    bool exists = false;
    ASSERT_OK(FS()->Exists(At(name), exists));
    ASSERT_TRUE(exists);
  }

  std::shared_ptr<CountingAuthority> authority_;
  std::shared_ptr<std::atomic<int>> lookups_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::shared_ptr<Backend>> remote_;
  std::unique_ptr<ScopedBackend> scope_;
};

TEST_F(ContextState, AskedOncePerContextAndReleasedWithIt) {
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  const int fds = OpenDescriptors();
  // Without a context every object asks again: one file takes three objects.
  authority_->calls = 0;
  *lookups_ = 0;
  BackUpOne("alone");
  EXPECT_EQ(authority_->calls, 3);
  EXPECT_EQ(*lookups_, 3);

  authority_->calls = 0;
  *lookups_ = 0;
  {
    auto state = AttachContextState(params_);
    auto shared = AttachContextState(params_);  // a second context of the same tree shares it
    EXPECT_EQ(state, shared);
    for (int i = 0; i < 20; ++i) BackUpOne("log" + std::to_string(i));
    EXPECT_EQ(authority_->calls, 1);
    EXPECT_EQ(*lookups_, 1);
    CFSInitParams deeper = params_;
    deeper.host.mountPath = At("sub");
    EXPECT_NE(AttachContextState(deeper), state);
  }
  EXPECT_EQ(FindContextState(params_), nullptr);
  EXPECT_EQ(OpenDescriptors(), fds);  // the cached folders are closed with the last context
  BackUpOne("after");
  EXPECT_EQ(authority_->calls, 1 + 3);
}

TEST_F(ContextState, FailedAnswersAreAskedAgain) {
  auto state = AttachContextState(params_);
  authority_->failures = 1;
  bool exists = true;
  CZoError err = FS()->Exists(root_, exists);
  // The catalog's failure, told apart from the storage host's own.
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, kxmp::dataserver::kMountPathsUnknown)) << err.AsString();
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  BackUpOne("log");
  EXPECT_EQ(authority_->calls, 2);
}

TEST_F(ContextState, HostSentElsewhereIsServedThere) {
  // ma2's backend lists a mount path the catalog does not know.
  const std::string other = home_->sub("remote-mp");
  ASSERT_EQ(::mkdir(other.c_str(), 0750), 0);
  auto fixed = std::make_shared<FixedMountPathAuthority>();
  fixed->Add("ma2", other);
  *remote_ = std::make_shared<LocalBackend>(fixed);
  CFSInitParams p = params_;
  p.host.hostName = "ma2";
  p.host.mountPath = other + "/KX_APP_DUMPS/guid-1";
  auto state = AttachContextState(p);
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(p));
  ASSERT_OK(fs->CreateFolder(p.host.mountPath, 1));
  EXPECT_TRUE(kxmp::test::PathExists(p.host.mountPath));
  EXPECT_EQ(authority_->calls, 0);  // the catalog's local backend never saw ma2
  // ma1 still goes to the local backend.
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  EXPECT_EQ(authority_->calls, 1);
}

}  // namespace
