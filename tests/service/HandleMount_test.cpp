// Mount requests end to end inside the service: session handling of the callback, the flag
// rules, the single-form loop and the one response per request.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxmp/KXMAMountingPointSvc.h"
#include "support/CatalogSeams.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/xml/TesselMessages.h"
#include "support/MountCache.h"
#include "support/TempHome.h"

using kxmp::catalog::ScopedArchiveManager;
using namespace kxmp::test;
using namespace Tessel;

namespace {

constexpr unsigned long kSubclient = 42;

class FakeDriver : public AbstractMountingPointDriver {
 public:
  struct Single {
    std::string host, path;
    int mountPathId;
  };
  CZoError Initialize(const std::string& mp, unsigned long id, const std::string& host, const std::string& path,
                      int mountPathId, bool) override {
    EXPECT_EQ(mp, "/mnt/point");
    EXPECT_EQ(id, kSubclient);
    singles.push_back({host, path, mountPathId});
    return singles.size() <= failFirst ? FXErrorUtil::ErrorWin32(FX_LOC, 1000 + static_cast<int>(singles.size()), "no")
                                       : CZoError::Success();
  }
  CZoError Initialize(const std::string&, unsigned long, std::vector<MountPathInfo>& list, bool) override {
    lists.push_back(list);
    return CZoError::Success();
  }
  CZoError Deinit(const std::string&) override { return CZoError::Success(); }
  CZoError DeinitAll(const std::string& parent) override {
    deinitAll.push_back(parent);
    return CZoError::Success();
  }

  size_t failFirst = 0;
  std::vector<Single> singles;
  std::vector<std::vector<MountPathInfo>> lists;
  std::vector<std::string> deinitAll;
};

class FakeNetwork : public CKxNetwork {
 public:
  CZoError SendXMLMessage(CNMessageBase* msg, int flags, int timeout, bool* sent) override {
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(timeout, -1);
    EXPECT_NE(sent, nullptr);
    EXPECT_EQ(msg->getTagID(), kMAMountPointRespTag);
    CNMessageBase* generic = msg->getObjectAccessor(1, 1, kMAMountPointRespTag, kMAMountPointRespResponseId);
    EXPECT_NE(generic, nullptr);
    codes.push_back(generic ? generic->getint64(1, kGenericRespTag, kGenericRespErrorCodeId) : 1);
    return CZoError::Success();
  }
  std::vector<int64_t> codes;
};

class FakeServer : public CKxNetworkServer {
 public:
  CZoError AcquireSession(KxnHandle_t handle, CKxNetwork** out) override {
    ++acquired;
    EXPECT_EQ(handle, 7);
    if (failAcquire) return FXErrorUtil::ErrorWin32(FX_LOC, 1236, "session gone");
    *out = &network;
    return CZoError::Success();
  }
  CZoError ReleaseSession(KxnHandle_t) override {
    ++released;
    return failRelease ? FXErrorUtil::ErrorWin32(FX_LOC, 1237, "release failed") : CZoError::Success();
  }
  FakeNetwork network;
  int acquired = 0, released = 0;
  bool failAcquire = false, failRelease = false;
};

// A request that tells when it is freed.
class TrackedRequest : public MAMountPointReq {
 public:
  explicit TrackedRequest(bool* freed) : freed_(freed) {}
  ~TrackedRequest() override { *freed_ = true; }

 private:
  bool* freed_;
};

class TrackedOther : public GenericResp {
 public:
  explicit TrackedOther(bool* freed) : freed_(freed) {}
  ~TrackedOther() override { *freed_ = true; }

 private:
  bool* freed_;
};

struct Flags {
  bool noCacheUpdate = false, mountAll = false, deinitAll = false;
  int64_t refreshCache = 0;
};

void Fill(CNMessageBase& req, const Flags& f) {
  req.setint64(1, 1, static_cast<int64_t>(kSubclient), kMAMountPointReqTag, kMAMountPointReqSubclientIdId);
  req.setstring(2, 2, "/mnt/point", kMAMountPointReqTag, kMAMountPointReqMountingPointId);
  req.getboolByRef(3, 6, kMAMountPointReqTag, kMAMountPointReqNoCacheUpdateId) = f.noCacheUpdate;
  req.getboolByRef(4, 7, kMAMountPointReqTag, kMAMountPointReqMountAllId) = f.mountAll;
  req.getboolByRef(5, 8, kMAMountPointReqTag, kMAMountPointReqDeinitAllId) = f.deinitAll;
  req.setint64(13, 13, f.refreshCache, kMAMountPointReqTag, kMAMountPointReqRefreshCacheId);
}

class TestService : public KXMAMountingPointSvc {
 public:
  using KXMAMountingPointSvc::SetDriverPtr;
};

kxmp::catalog::ArchiveManagerFn Reply(std::vector<MountpathInfo_t> entries, int rc = 0) {
  return [entries, rc](const GetSubclientMountpathListArgs_t&, GetSubclientMountpathListRet_t& ret) {
    if (rc == 0) ret.mountPaths = entries;
    return rc;
  };
}

class HandleMountTest : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    driver_ = std::make_shared<FakeDriver>();
    svc_.SetDriverPtr(driver_);
  }
  // Sends one request through the callback; the request must be freed by it.
  CZoError Send(const Flags& f) {
    bool freed = false;
    auto* req = new TrackedRequest(&freed);
    Fill(*req, f);
    CZoError err = svc_.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, &server_, 7, req);
    EXPECT_TRUE(freed);
    return err;
  }
  // Three cached entries (0, 1, 2) with the control server offline; entry `current` in use.
  void CacheThree(int current) {
    SetControlServer(false);
    CacheEntry(kSubclient, 0, "ma0", "/p0", 10);
    CacheEntry(kSubclient, 1, "ma1", "/p1", 11);
    CacheEntry(kSubclient, 2, "ma2", "/p2", 12);
    CacheState(kSubclient, 2, current, 0);
  }
  int64_t OnlyResponse() {
    EXPECT_EQ(server_.network.codes.size(), 1u);
    return server_.network.codes.empty() ? 1 : server_.network.codes[0];
  }

  TestService svc_;
  FakeServer server_;
  std::shared_ptr<FakeDriver> driver_;
};

}  // namespace

// ---- single form ---------------------------------------------------------------------------

TEST_F(HandleMountTest, SingleFormStopsAtTheFirstEntryThatMountsAndRemembersIt) {
  CacheThree(2);  // order: 2, 0, 1
  driver_->failFirst = 2;
  EXPECT_FALSE(Send({}).IsError());
  EXPECT_EQ(OnlyResponse(), 0);
  ASSERT_EQ(driver_->singles.size(), 3u);
  EXPECT_EQ(driver_->singles[0].path, "/p2");
  EXPECT_EQ(driver_->singles[2].path, "/p1");
  EXPECT_EQ(driver_->singles[2].host, "ma1");
  EXPECT_EQ(driver_->singles[2].mountPathId, 11);
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "1");
  EXPECT_EQ(log_->CountContaining("Trying initialize mountingpoint [/mnt/point] subclientID [42]"), 3);
  EXPECT_TRUE(log_->Has(0, "Trying initialize mountingpoint [/mnt/point] subclientID [42] serverMangledName [ma2] "
                           "pathToMount[/p2]"));
  EXPECT_EQ(server_.acquired, 1);
  EXPECT_EQ(server_.released, 1);
}

TEST_F(HandleMountTest, SingleFormAnswersTheLastFailureWhenNothingMounts) {
  CacheThree(0);
  driver_->failFirst = 3;
  Send({});
  EXPECT_EQ(OnlyResponse(), FXErrorUtil::Win32Code(1003));
  EXPECT_EQ(CacheValues(kSubclient)["nFailoverCurrent"], "0");
}

TEST_F(HandleMountTest, MountPathIdAboveInt32ReachesTheDriverAsItsLow32Bits) {
  SetControlServer(true);
  const int64_t id = (int64_t{1} << 32) | 0x80000005;
  ScopedArchiveManager am(Reply({ReplyEntry(id, "/big", 0, "ma")}));
  Send({});
  ASSERT_EQ(driver_->singles.size(), 1u);
  EXPECT_EQ(driver_->singles[0].mountPathId, static_cast<int>(0x80000005u - 0x100000000ll));
  EXPECT_EQ(OnlyResponse(), 0);
}

TEST_F(HandleMountTest, FailedRegistryWriteKeepsTheSuccessfulOutcome) {
  CacheThree(0);
  // A folder where the value belongs: it cannot be written.
  ASSERT_EQ(std::remove(home_->sub("registry/Tessel/MAMountPoint/42/nFailoverCurrent").c_str()), 0);
  WriteFile(home_->sub("registry/Tessel/MAMountPoint/42/nFailoverCurrent/x"), "");
  Send({});
  EXPECT_EQ(OnlyResponse(), 0);
  EXPECT_EQ(log_->CountContaining("Failed to set registry key [~Tessel/MAMountPoint\\42] for nFailoverCurrent "
                                  "with value [0] err["),
            1)
      << log_->Dump();
}

// ---- the other forms and the flag rules ------------------------------------------------------

TEST_F(HandleMountTest, DeinitAllWinsOverMountAllAndAsksForNoMountPath) {
  ScopedArchiveManager am(Reply({}, 5));
  Flags f;
  f.deinitAll = true;
  f.mountAll = true;
  Send(f);
  EXPECT_EQ(OnlyResponse(), 0);
  EXPECT_EQ(driver_->deinitAll, std::vector<std::string>{"/mnt/point"});
  EXPECT_TRUE(driver_->lists.empty());
  EXPECT_EQ(am.calls(), 0);
  EXPECT_TRUE(log_->Has(0, "KXMAMountingPointSvc deinitall parentfolder [/mnt/point]"));
}

TEST_F(HandleMountTest, MountAllNeverUsesTheCache) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({ReplyEntry(1, "/a", 0, "ma0"), ReplyEntry(2, "/b", -1, "ma1")}));
  Flags f;
  f.mountAll = true;  // noCacheUpdate false: the cache is still left alone
  Send(f);
  EXPECT_EQ(OnlyResponse(), 0);
  ASSERT_EQ(driver_->lists.size(), 1u);
  EXPECT_EQ(driver_->lists[0].size(), 2u);
  EXPECT_TRUE(driver_->singles.empty());
  EXPECT_TRUE(CacheValues(kSubclient).empty());
  EXPECT_TRUE(log_->Has(0, "Initializing mountingpoint [/mnt/point] subclientID [42] mountAll[true]"));
}

TEST_F(HandleMountTest, RefreshDropsTheOtherFormsAndAlwaysAnswersSuccess) {
  SetControlServer(true);
  Flags f;
  f.refreshCache = 5;
  f.deinitAll = true;
  f.noCacheUpdate = true;
  {
    ScopedArchiveManager am(Reply({ReplyEntry(1, "/a", 0, "ma0"), ReplyEntry(2, "/b", -1, "ma1")}));
    Send(f);
    EXPECT_EQ(am.calls(), 1);
    EXPECT_EQ(am.lastArgs().forRead, 0);  // mountAll dropped
  }
  auto v = CacheValues(kSubclient);
  EXPECT_EQ(v["sMAMountPath"], "/a");  // useCache forced on
  EXPECT_EQ(v["sMAMountPath_1"], "/b");
  {
    ScopedArchiveManager am(Reply({}, 5));  // fails, and the cache is refreshed this second: stale
    Send(f);
  }
  ASSERT_EQ(server_.network.codes.size(), 2u);
  EXPECT_EQ(server_.network.codes[0], 0);
  EXPECT_EQ(server_.network.codes[1], 0);
  EXPECT_TRUE(driver_->deinitAll.empty());
  EXPECT_TRUE(driver_->singles.empty());
  EXPECT_TRUE(driver_->lists.empty());
  EXPECT_EQ(log_->Count(0, "refreshed cache"), 2);
}

TEST_F(HandleMountTest, RetrievalFailureIsAnsweredWithItsCode) {
  SetControlServer(true);
  ScopedArchiveManager am(Reply({}));
  Send({});
  EXPECT_EQ(OnlyResponse(), FXErrorUtil::Win32Code(4306));
  EXPECT_TRUE(driver_->singles.empty());
}

TEST_F(HandleMountTest, RequestBeforeTheDriverExistsMakesItFirst) {
  TestService fresh;
  CacheThree(0);
  bool freed = false;
  auto* req = new TrackedRequest(&freed);
  Fill(*req, {});
  EXPECT_FALSE(fresh.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, &server_, 7, req).IsError());
  EXPECT_TRUE(fresh.GetDriverPtr());
  EXPECT_EQ(OnlyResponse(), 0);
}

// ---- the callback ----------------------------------------------------------------------------

TEST_F(HandleMountTest, CallbackRefusesAMissingSessionServerAndKeepsTheMessage) {
  bool freed = false;
  TrackedRequest req(&freed);
  CZoError err = svc_.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, nullptr, 7, &req);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 6));
  EXPECT_EQ(err.Message(), "SessionServer argument is invalid");
  EXPECT_FALSE(freed);
  EXPECT_TRUE(log_->Has(0, "Received Msg [MAMountPointReq]"));
}

TEST_F(HandleMountTest, CallbackPassesSessionErrorsOn) {
  bool freed = false;
  TrackedRequest req(&freed);
  Fill(req, {});
  server_.failAcquire = true;
  CZoError err = svc_.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, &server_, 7, &req);
  EXPECT_TRUE(FXErrorUtil::IsWin32(err, 1236));
  EXPECT_FALSE(freed);
  EXPECT_EQ(server_.released, 0);
  EXPECT_TRUE(server_.network.codes.empty());

  // A failed release comes after the answer.
  server_.failAcquire = false;
  server_.failRelease = true;
  CacheThree(0);
  EXPECT_TRUE(FXErrorUtil::IsWin32(Send({}), 1237));
  EXPECT_EQ(OnlyResponse(), 0);
}

TEST_F(HandleMountTest, OtherMessagesAreFreedUnansweredAndOtherKindsUntouched) {
  bool freed = false;
  auto* other = new TrackedOther(&freed);
  EXPECT_FALSE(svc_.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, &server_, 7, other).IsError());
  EXPECT_TRUE(freed);
  EXPECT_TRUE(server_.network.codes.empty());

  freed = false;
  TrackedRequest req(&freed);
  Fill(req, {});
  EXPECT_FALSE(svc_.IncomingMsgXMLCallback(CKxNetworkServer::KXN_CALLBACK_CONNECTED, &server_, 7, &req).IsError());
  EXPECT_FALSE(freed);
  EXPECT_TRUE(server_.network.codes.empty());
  EXPECT_EQ(server_.acquired, 2);
  EXPECT_EQ(server_.released, 2);
}
