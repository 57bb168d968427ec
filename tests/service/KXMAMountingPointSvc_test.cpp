// test-labels: unit
#include "kxmp/KXMAMountingPointSvc.h"

#include <vector>

#include <gtest/gtest.h>

#include "kxmp/UnixMountingPointDriver.h"
#include "outside/error/FXErrorUtil.h"
#include "support/TempHome.h"

namespace {
// A service of its own, so that a test can start from an empty driver pointer again.
class FreshService : public KXMAMountingPointSvc {};

const char kInitialized[] = "KXMAMountingPointSvc initialized";
}  // namespace

class ServiceTest : public kxmp::test::HomeTest {};

TEST_F(ServiceTest, EntryHandsOutTheSingletonWithATraceLine) {
  void* first = GetOnDemandSvcLibInstance();
  void* second = GetOnDemandSvcLibInstance();
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, static_cast<void*>(KXMAMountingPointSvc::getInstance()));
  EXPECT_EQ(static_cast<IOnDemandSvcInterface*>(first), KXMAMountingPointSvc::getInstance());
  EXPECT_EQ(log_->Count(7, "KXMAMountingPointSvc Library is loading"), 2);
  EXPECT_FALSE(KXMAMountingPointSvc::getInstance()->GetDriverPtr());  // construction makes no driver
}

TEST_F(ServiceTest, InitializeCreatesTheDriverOnceAndKeepsIt) {
  FreshService svc;
  std::string text = "in";
  int number = 5;
  CZoError err = svc.Initialize(0, nullptr, text, number, nullptr);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  auto driver = svc.GetDriverPtr();
  ASSERT_TRUE(driver);
  EXPECT_NE(dynamic_cast<UnixMountingPointDriver*>(driver.get()), nullptr);
  EXPECT_EQ(log_->Count(7, kInitialized), 1);

  EXPECT_FALSE(svc.Initialize(0, nullptr, text, number, nullptr).IsError());
  EXPECT_FALSE(svc.AllocateDriverPtr(false).IsError());
  EXPECT_EQ(svc.GetDriverPtr(), driver);
  EXPECT_EQ(log_->Count(7, kInitialized), 1);  // an existing driver is confirmed silently
  EXPECT_EQ(text, "in");
  EXPECT_EQ(number, 5);
  EXPECT_TRUE(kxmp::test::PathExists(home_->sub("locks/KXMAMountingPointSvc_DriverInitialize.lck")));
}

TEST_F(ServiceTest, HostCallsThatNeedNoWorkSucceed) {
  FreshService svc;
  std::string job = "job";
  CNSession::OnDemandServiceStatusType status = static_cast<CNSession::OnDemandServiceStatusType>(2);
  EXPECT_FALSE(svc.SubmitJob(job, status, CNSession::ONDEMAND_SERVICE_MODE_ASYNC).IsError());
  EXPECT_EQ(static_cast<int>(status), 0);
  EXPECT_EQ(job, "job");
  CZoError xdr = svc.IncomingMsgXDRCallback(CKxNetworkServer::KXN_CALLBACK_RECEIVED, nullptr, 0, 0, nullptr);
  EXPECT_EQ(xdr.GetErrorCode(), 0);
  EXPECT_EQ(svc.KillAllJobs().GetErrorCode(), 0);
  svc.CleanUp();
  EXPECT_FALSE(svc.GetDriverPtr());  // none of these allocate the driver
}

TEST_F(ServiceTest, CallsNotServedYetFailInsteadOfSucceeding) {
  FreshService svc;
  std::list<DataServerContextPtr> contexts;
  EXPECT_TRUE(svc.GetDataServerContextList(1, contexts, true, true, "", false).IsError());
  EXPECT_TRUE(contexts.empty());
}

TEST(UnixMountingPointDriver, EveryOperationSucceedsForAnyArguments) {
  UnixMountingPointDriver driver;
  AbstractMountingPointDriver& d = driver;
  std::vector<MountPathInfo> none;
  EXPECT_EQ(d.Initialize("", 0, "", "", 0, false).GetErrorCode(), 0);
  EXPECT_EQ(d.Initialize("", 0, none, true).GetErrorCode(), 0);
  EXPECT_EQ(d.Deinit("").GetErrorCode(), 0);
  EXPECT_EQ(d.DeinitAll("").GetErrorCode(), 0);
}
