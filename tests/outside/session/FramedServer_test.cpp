// test-labels: unit concurrency
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "outside/error/FXErrorUtil.h"
#include "outside/session/FramedServer.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using kxmp::session::FramedServer;
using kxmp::session::ServerLimits;
using kxmp::session::SessionClient;
using kxmp::session::SessionHandle;

namespace {

class FramedServerTest : public kxmp::test::HomeTest {
 protected:
  void StartEcho(ServerLimits limits) {
    server_ = std::make_unique<FramedServer>(limits, [this](SessionHandle h, std::string&& doc) {
      ++frames_;
      server_->Send(h, "echo:" + doc);
    });
    socket_ = home_->sub("s.sock");
    ASSERT_FALSE(server_->ListenUnix(socket_).IsError());
    ASSERT_FALSE(server_->Start().IsError());
  }
  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
    HomeTest::TearDown();
  }

  std::unique_ptr<FramedServer> server_;
  std::string socket_;
  std::atomic<int> frames_{0};
};

std::string Header(uint32_t n) {
  std::string h(4, '\0');
  h[0] = char(n >> 24);
  h[1] = char(n >> 16);
  h[2] = char(n >> 8);
  h[3] = char(n);
  return h;
}

}  // namespace

TEST_F(FramedServerTest, AnswersOnTheSameSessionInOrder) {
  StartEcho(ServerLimits{});
  SessionClient c;
  ASSERT_FALSE(c.ConnectUnix(socket_).IsError());
  for (int i = 0; i < 20; ++i) {
    std::string resp;
    ASSERT_FALSE(c.Call("<m n=\"" + std::to_string(i) + "\"/>", resp, 5000).IsError());
    EXPECT_EQ(resp, "echo:<m n=\"" + std::to_string(i) + "\"/>");
  }
}

TEST_F(FramedServerTest, MisbehavingPeersAreClosedAndOthersStillServed) {
  ServerLimits limits;
  limits.idleTimeout = std::chrono::milliseconds(300);
  limits.maxFrameBytes = 1u << 20;
  StartEcho(limits);

  SessionClient good;
  ASSERT_FALSE(good.ConnectUnix(socket_).IsError());

  SessionClient oversized;  // frame over 1 MiB
  ASSERT_FALSE(oversized.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(oversized.SendRaw(Header((1u << 20) + 1)).IsError());
  EXPECT_TRUE(oversized.WaitClosed(3000));

  SessionClient noBody;  // a length prefix with no body
  ASSERT_FALSE(noBody.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(noBody.SendRaw(Header(100)).IsError());
  EXPECT_TRUE(noBody.WaitClosed(3000));

  SessionClient silent;  // connects and sends nothing
  ASSERT_FALSE(silent.ConnectUnix(socket_).IsError());
  EXPECT_TRUE(silent.WaitClosed(3000));

  SessionClient empty;  // a zero-length frame
  ASSERT_FALSE(empty.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(empty.SendRaw(Header(0)).IsError());
  EXPECT_TRUE(empty.WaitClosed(3000));

  std::string resp;
  ASSERT_FALSE(good.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(good.Call("<still/>", resp, 5000).IsError());
  EXPECT_EQ(resp, "echo:<still/>");
  EXPECT_GE(log_->CountContaining("exceeds the limit"), 1);
  EXPECT_GE(log_->CountContaining("idle time-out"), 2);
  EXPECT_GE(log_->CountContaining("empty frame"), 1);
}

TEST_F(FramedServerTest, HundredsOfConnectionsAtOnce) {
  ServerLimits limits;
  limits.maxConnections = 512;
  StartEcho(limits);
  constexpr int kClients = 300;
  std::vector<std::unique_ptr<SessionClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<SessionClient>());
    ASSERT_FALSE(clients.back()->ConnectUnix(socket_).IsError()) << i;
  }
  for (int i = 0; i < kClients; ++i) ASSERT_FALSE(clients[i]->SendFrame("<r" + std::to_string(i) + "/>").IsError());
  for (int i = 0; i < kClients; ++i) {
    std::string resp;
    ASSERT_FALSE(clients[i]->ReceiveFrame(resp, 10000).IsError()) << i;
    EXPECT_EQ(resp, "echo:<r" + std::to_string(i) + "/>");
  }
  EXPECT_EQ(frames_.load(), kClients);
}

TEST_F(FramedServerTest, ConnectionsOverTheLimitAreRefused) {
  ServerLimits limits;
  limits.maxConnections = 2;
  StartEcho(limits);
  SessionClient a, b, c;
  std::string resp;
  ASSERT_FALSE(a.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(a.Call("<a/>", resp, 5000).IsError());
  ASSERT_FALSE(b.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(b.Call("<b/>", resp, 5000).IsError());
  ASSERT_FALSE(c.ConnectUnix(socket_).IsError());
  EXPECT_TRUE(c.WaitClosed(3000));
  a.Disconnect();
  // once a session ends, a new one is served
  ASSERT_TRUE(kxmp::test::WaitUntil([&] { return server_->ActiveSessions() <= 1; }));
  SessionClient d;
  ASSERT_FALSE(d.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(d.Call("<d/>", resp, 5000).IsError());
}

TEST_F(FramedServerTest, TcpIsLoopbackOnly) {
  server_ = std::make_unique<FramedServer>(ServerLimits{}, [this](SessionHandle h, std::string&& doc) { server_->Send(h, doc); });
  uint16_t port = 0;
  EXPECT_TRUE(server_->ListenTcp("0.0.0.0", 0, &port).IsError());
  ASSERT_FALSE(server_->ListenTcp("127.0.0.1", 0, &port).IsError());
  ASSERT_FALSE(server_->Start().IsError());
  SessionClient c;
  ASSERT_FALSE(c.ConnectTcp("127.0.0.1", port).IsError());
  std::string resp;
  ASSERT_FALSE(c.Call("<x/>", resp, 5000).IsError());
  EXPECT_EQ(resp, "<x/>");
}

TEST_F(FramedServerTest, RefusesToReplaceAFileThatIsNotASocket) {
  server_ = std::make_unique<FramedServer>(ServerLimits{}, [](SessionHandle, std::string&&) {});
  kxmp::test::WriteFile(home_->sub("plain"), "data");
  EXPECT_TRUE(server_->ListenUnix(home_->sub("plain")).IsError());
  EXPECT_EQ(kxmp::test::ReadFile(home_->sub("plain")), "data");
}

TEST_F(FramedServerTest, ReplacesADeadSocketButNotALiveOne) {
  StartEcho(ServerLimits{});
  FramedServer second(ServerLimits{}, [](SessionHandle, std::string&&) {});
  CZoError err = second.ListenUnix(socket_);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EADDRINUSE)) << err.AsString();
  SessionClient c;  // the first server still serves its socket
  ASSERT_FALSE(c.ConnectUnix(socket_).IsError());
  std::string resp;
  ASSERT_FALSE(c.Call("<a/>", resp, 5000).IsError());

  // A socket file left by a server that is gone is taken over.
  const std::string dead = home_->sub("dead.sock");
  {
    FramedServer gone(ServerLimits{}, [](SessionHandle, std::string&&) {});
    ASSERT_FALSE(gone.ListenUnix(dead).IsError());
    struct stat st {};
    ASSERT_EQ(::lstat(dead.c_str(), &st), 0);
    // Simulate a crash: keep the file although the listener goes away.
    ASSERT_EQ(::link(dead.c_str(), (dead + ".keep").c_str()), 0);
  }
  ASSERT_EQ(::rename((dead + ".keep").c_str(), dead.c_str()), 0);
  FramedServer next(ServerLimits{}, [](SessionHandle, std::string&&) {});
  EXPECT_FALSE(next.ListenUnix(dead).IsError());
}
