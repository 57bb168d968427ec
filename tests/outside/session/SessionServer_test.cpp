// test-labels: unit concurrency
#include "outside/session/SessionServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "kxmp/IOnDemandSvcInterface.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/session/InFlightMessages.h"
#include "outside/xml/CNMessageFactory.h"
#include "outside/xml/TesselMessages.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using kxmp::session::InFlightMessages;
using kxmp::session::ServerLimits;
using kxmp::session::SessionClient;
using kxmp::session::SessionServer;
using kxmp::test::WaitUntil;

namespace {

// A service that records every callback and answers mount requests with a response whose
// error code is the request's subclient id, so each answer can be matched to its request.
class FakeService : public IOnDemandSvcInterface {
 public:
  enum class Mode {
    Answer,           // acquire, answer, free the message, release
    AnswerKeep,       // the same but leave the message to the server
    FailBeforeAcquire // return an error at once (message not freed)
  };

  struct Call {
    int kind;
    CKxNetworkServer* server;
    KxnHandle_t handle;
    uint32_t tag;
  };

  Mode mode = Mode::Answer;
  // When above 1, a callback waits until this many callbacks run at once (or 10 s).
  int rendezvous = 0;
  std::atomic<int> peakConcurrent{0};

  CZoError Initialize(int, char**, std::string&, int&, IOnDemandSvcApp*) override { return CZoError::Success(); }
  CZoError SubmitJob(std::string&, CNSession::OnDemandServiceStatusType&, CNSession::OnDemandServiceMode) override {
    return CZoError::Success();
  }
  CZoError IncomingMsgXDRCallback(CKxNetworkServer::KxnCallback_e, CKxNetworkServer*, KxnHandle_t, unsigned long,
                                  kxsDatabuf_v2*) override {
    return CZoError::Success();
  }
  CZoError KillAllJobs() override { return CZoError::Success(); }
  void CleanUp() override {}

  CZoError IncomingMsgXMLCallback(CKxNetworkServer::KxnCallback_e kind, CKxNetworkServer* server,
                                  KxnHandle_t handle, CNMessageBase* message) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({kind, server, handle, message->getTagID()});
    }
    Meet();
    if (mode == Mode::FailBeforeAcquire) return FXErrorUtil::ErrorWin32(FX_LOC, 6, "refused by the fake");
    CKxNetwork* net = nullptr;
    CZoError err = server->AcquireSession(handle, &net);
    if (err.IsError()) return err;
    Tessel::GenericResp generic;
    generic.setint64(1, 1, message->getint64(1, Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqSubclientIdId),
                     Tessel::kGenericRespTag, Tessel::kGenericRespErrorCodeId);
    Tessel::MAMountPointResp resp;
    resp.setObjectAccessor(&generic, 1, 1, Tessel::kMAMountPointRespTag, Tessel::kMAMountPointRespResponseId);
    bool sent = false;
    net->SendXMLMessage(&resp, 0, -1, &sent);
    if (mode == Mode::Answer) {
      CKxNetworkServer::CleanXmlBuffer(message);
      EXPECT_EQ(message, nullptr);
      CKxNetworkServer::CleanXmlBuffer(message);  // a second call on the nulled pointer is harmless
    }
    return server->ReleaseSession(handle);
  }

  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void Meet() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++running_;
    peakConcurrent = std::max(peakConcurrent.load(), running_);
    if (rendezvous > 1) {
      cv_.notify_all();
      cv_.wait_for(lock, std::chrono::seconds(10), [this] { return running_ >= rendezvous || released_; });
      released_ = true;  // once met, later callbacks do not wait
      cv_.notify_all();
    }
    --running_;
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
  int running_ = 0;
  bool released_ = false;
};

std::string MountRequest(uint64_t subclientId) {
  Tessel::MAMountPointReq req;
  req.setint64(1, 1, static_cast<int64_t>(subclientId), Tessel::kMAMountPointReqTag,
               Tessel::kMAMountPointReqSubclientIdId);
  req.setstring(2, 2, "/mnt/point", Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqMountingPointId);
  std::string xml;
  EXPECT_EQ(req.serialize(xml, false), 0);
  return xml;
}

// The error code carried by a MAMountPointResp document, or a sentinel when it is not one.
int64_t ErrorCodeOf(const std::string& xml) {
  std::unique_ptr<CNMessageBase> msg;
  if (CNMessageFactory::FromXml(xml, msg).IsError() || msg->getTagID() != Tessel::kMAMountPointRespTag) return -999;
  CNMessageBase* generic =
      msg->getObjectAccessor(1, 1, Tessel::kMAMountPointRespTag, Tessel::kMAMountPointRespResponseId);
  if (generic == nullptr) return -998;
  return generic->getint64(1, Tessel::kGenericRespTag, Tessel::kGenericRespErrorCodeId);
}

class SessionServerTest : public kxmp::test::HomeTest {
 protected:
  void Start(ServerLimits limits = ServerLimits{}) {
    server_ = std::make_unique<SessionServer>(&service_, limits);
    socket_ = home_->sub("s.sock");
    ASSERT_FALSE(server_->ListenUnix(socket_).IsError());
    ASSERT_FALSE(server_->Start().IsError());
  }
  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
    EXPECT_EQ(InFlightMessages::Instance().Count(), 0u);
    HomeTest::TearDown();
  }
  void Connect(SessionClient& c) { ASSERT_FALSE(c.ConnectUnix(socket_).IsError()); }

  FakeService service_;
  std::unique_ptr<SessionServer> server_;
  std::string socket_;
};

}  // namespace

TEST_F(SessionServerTest, HandsRequestsToTheServiceAndSendsItsAnswersBack) {
  Start();
  SessionClient c;
  Connect(c);
  for (uint64_t id : {1u, 2u, 3u}) {
    std::string resp;
    ASSERT_FALSE(c.Call(MountRequest(id), resp, 5000).IsError());
    EXPECT_EQ(ErrorCodeOf(resp), static_cast<int64_t>(id));
  }
  auto calls = service_.Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.kind, CKxNetworkServer::KXN_CALLBACK_RECEIVED);
    EXPECT_EQ(call.server, server_.get());
    EXPECT_EQ(call.handle, calls[0].handle);  // one connection, one session
    EXPECT_EQ(call.tag, Tessel::kMAMountPointReqTag);
  }
  // The answer can reach the client before the server thread has released the session.
  EXPECT_TRUE(WaitUntil([&] { return server_->AcquiredSessions() == 0; })) << server_->AcquiredSessions();
}

TEST_F(SessionServerTest, MalformedOrUnknownDocumentsCloseOnlyTheirSession) {
  Start();
  SessionClient good;
  Connect(good);
  for (const char* doc : {"<MAMountPointReq subclientId=", "<NoSuchMessage/>", "<MAMountPointReq bogus=\"1\"/>"}) {
    SessionClient bad;
    Connect(bad);
    ASSERT_FALSE(bad.SendFrame(doc).IsError());
    EXPECT_TRUE(bad.WaitClosed(5000)) << doc;
  }
  EXPECT_EQ(log_->CountContaining("refusing the message received"), 3) << log_->Dump();
  EXPECT_TRUE(service_.Calls().empty());
  std::string resp;
  ASSERT_FALSE(good.Call(MountRequest(7), resp, 5000).IsError());
  EXPECT_EQ(ErrorCodeOf(resp), 7);
}

TEST_F(SessionServerTest, FreesAMessageTheServiceLeftBehind) {
  // LeakSanitizer fails the run if either kind of leftover message is not freed.
  service_.mode = FakeService::Mode::AnswerKeep;
  Start();
  SessionClient c;
  Connect(c);
  std::string resp;
  ASSERT_FALSE(c.Call(MountRequest(4), resp, 5000).IsError());
  EXPECT_EQ(ErrorCodeOf(resp), 4);

  service_.mode = FakeService::Mode::FailBeforeAcquire;
  ASSERT_FALSE(c.SendFrame(MountRequest(5)).IsError());
  ASSERT_TRUE(WaitUntil([&] { return service_.Calls().size() >= 2; }));
  server_->Stop();  // waits for the running callback and its clean-up
  EXPECT_EQ(service_.Calls().size(), 2u);
  EXPECT_EQ(log_->CountContaining("the service could not handle the message"), 1) << log_->Dump();
  EXPECT_EQ(InFlightMessages::Instance().Count(), 0u);
}

TEST_F(SessionServerTest, ServesSeveralSessionsAtOnce) {
  constexpr int kSessions = 4;
  ServerLimits limits;
  limits.workerThreads = kSessions;
  service_.rendezvous = kSessions;
  Start(limits);
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < kSessions; ++i) {
    clients.emplace_back([&, i] {
      SessionClient c;
      if (c.ConnectUnix(socket_).IsError()) return;
      std::string resp;
      if (!c.Call(MountRequest(100 + i), resp, 15000).IsError() && ErrorCodeOf(resp) == 100 + i) ++answered;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered.load(), kSessions);
  EXPECT_EQ(service_.peakConcurrent.load(), kSessions);
}

TEST_F(SessionServerTest, AcquireAndReleaseRefuseWhatIsNotThere) {
  Start();
  CKxNetwork* net = reinterpret_cast<CKxNetwork*>(0x1);
  CZoError err = server_->AcquireSession(12345, &net);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOTCONN)) << err.AsString();
  EXPECT_EQ(net, nullptr);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(server_->AcquireSession(1, nullptr), EINVAL));
  EXPECT_TRUE(FXErrorUtil::IsErrNo(server_->ReleaseSession(12345), ENOENT));
}

TEST_F(SessionServerTest, ANetworkObjectOfAClosedSessionFailsToSend) {
  Start();
  SessionClient c;
  Connect(c);
  std::string resp;
  ASSERT_FALSE(c.Call(MountRequest(1), resp, 5000).IsError());
  const KxnHandle_t handle = service_.Calls().at(0).handle;

  CKxNetwork* net = nullptr;
  ASSERT_FALSE(server_->AcquireSession(handle, &net).IsError());
  CKxNetwork* again = nullptr;
  ASSERT_FALSE(server_->AcquireSession(handle, &again).IsError());
  EXPECT_EQ(net, again);
  c.Disconnect();
  ASSERT_TRUE(WaitUntil([&] { return server_->ActiveSessions() == 0; }));
  Tessel::MAMountPointResp resp2;
  bool sent = true;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(net->SendXMLMessage(&resp2, 0, -1, &sent), ENOTCONN));
  EXPECT_FALSE(sent);
  EXPECT_FALSE(server_->ReleaseSession(handle).IsError());
  EXPECT_EQ(server_->AcquiredSessions(), 1u);  // still acquired once
  EXPECT_FALSE(server_->ReleaseSession(handle).IsError());
  EXPECT_EQ(server_->AcquiredSessions(), 0u);
}

TEST(InFlightMessagesTest, AServerTakesBackOnlyTheHandOverItMade) {
  auto& record = InFlightMessages::Instance();
  auto* a = new Tessel::GenericResp();
  const uint64_t first = record.Track(a);
  // The service frees it; a later message may reuse the address and be handed over anew.
  CNMessageBase* freed = a;
  record.Untrack(freed);
  const uint64_t second = record.Track(a);
  EXPECT_FALSE(record.Reclaim(a, first));  // the first server must not free the new message
  EXPECT_TRUE(record.Reclaim(a, second));
  EXPECT_FALSE(record.Reclaim(a, second));
  delete a;
}

TEST(CleanXmlBufferTest, FreesAnyMessageAndNullsThePointer) {
  CNMessageBase* msg = new Tessel::MAMountPointReq();  // not made by a server
  EXPECT_FALSE(CKxNetworkServer::CleanXmlBuffer(msg).IsError());
  EXPECT_EQ(msg, nullptr);
  EXPECT_FALSE(CKxNetworkServer::CleanXmlBuffer(msg).IsError());
}
