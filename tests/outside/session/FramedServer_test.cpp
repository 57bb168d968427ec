// test-labels: unit concurrency
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "outside/error/FXErrorUtil.h"
#include "outside/session/FramedServer.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using kxmp::session::FramedServer;
using kxmp::session::PeerPolicy;
using kxmp::session::ServerLimits;
using kxmp::session::SessionClient;
using kxmp::session::SessionHandle;

namespace {

class FramedServerTest : public kxmp::test::HomeTest {
 protected:
  void StartEcho(ServerLimits limits, PeerPolicy policy = PeerPolicy(), const std::string& socket = "",
                 mode_t mode = 0660) {
    server_ = std::make_unique<FramedServer>(
        limits,
        [this](SessionHandle h, std::string&& doc) {
          ++frames_;
          server_->Send(h, "echo:" + doc);
        },
        nullptr, policy);
    socket_ = socket.empty() ? home_->sub("s.sock") : socket;
    ASSERT_FALSE(server_->ListenUnix(socket_, mode).IsError());
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

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

constexpr int kAnswered = 0;
constexpr int kClosedUnanswered = 1;

// In a child process as another user: connects, sends one frame and tells what became of it.
// Only system calls on memory prepared before the fork.
int ExchangeAs(const std::string& socket, uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  const std::string frame = Header(5) + "<as/>";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  kxmp::test::ForkChild child([&](kxmp::test::ForkChild::Channel&) -> int {
    if (uid != ::geteuid() &&
        (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      return 10;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 11;
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
      return errno == EPIPE || errno == ECONNRESET ? kClosedUnanswered : 12;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return 13;
    char buf[64];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 4) return kAnswered;
    return n == 0 || (n < 0 && errno == ECONNRESET) ? kClosedUnanswered : 14;
  });
  return child.Join();
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
  limits.maxSessionsPerUser = 512;
  limits.maxSessionsPerProcess = 512;
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

TEST_F(FramedServerTest, FrameBuffersGrowAsBytesArriveUnderOneCapForAllSessions) {
  ServerLimits limits;
  limits.maxBufferedBytes = 512 * 1024;
  limits.maxSessionsPerUser = 512;
  limits.maxSessionsPerProcess = 512;
  StartEcho(limits);
  // Sessions that announce a frame and send part of it hold what came, not what was announced.
  constexpr size_t kSlow = 100;
  std::vector<std::unique_ptr<SessionClient>> slow, announcers;
  for (size_t i = 0; i < kSlow; ++i) {
    slow.push_back(std::make_unique<SessionClient>());
    ASSERT_FALSE(slow.back()->ConnectUnix(socket_).IsError());
    ASSERT_FALSE(slow.back()->SendRaw(Header(2000) + std::string(1000, char('a' + i % 26))).IsError());
    announcers.push_back(std::make_unique<SessionClient>());
    ASSERT_FALSE(announcers.back()->ConnectUnix(socket_).IsError());
    ASSERT_FALSE(announcers.back()->SendRaw(Header(1u << 20)).IsError());
  }
  ASSERT_TRUE(WaitFor([&] { return server_->BufferedBytes() >= kSlow * 1004; })) << server_->BufferedBytes();
  EXPECT_LE(server_->BufferedBytes(), kSlow * 4096);

  // The session whose bytes would pass the cap is closed; the others stay.
  SessionClient greedy;
  ASSERT_FALSE(greedy.ConnectUnix(socket_).IsError());
  std::thread sender([&] { greedy.SendRaw(Header(1u << 20) + std::string(600 * 1024, 'g')); });
  EXPECT_TRUE(greedy.WaitClosed(10000));
  sender.join();
  EXPECT_LE(server_->BufferedBytes(), limits.maxBufferedBytes);
  EXPECT_EQ(log_->CountContaining("would pass the limit of 524288"), 1);
  EXPECT_EQ(server_->ActiveSessions(), 2 * kSlow);

  for (size_t i = 0; i < kSlow; ++i) {
    const std::string body(1000, char('a' + i % 26));
    ASSERT_FALSE(slow[i]->SendRaw(body).IsError());
    std::string resp;
    ASSERT_FALSE(slow[i]->ReceiveFrame(resp, 10000).IsError()) << i;
    EXPECT_EQ(resp, "echo:" + body + body);
  }
  // Answered and idle, the sessions hold nothing.
  EXPECT_TRUE(WaitFor([&] { return server_->BufferedBytes() == 0; })) << server_->BufferedBytes();
}

TEST_F(FramedServerTest, OneProcessCannotTakeEverySession) {
  ServerLimits limits;
  limits.maxSessionsPerProcess = 2;
  StartEcho(limits);
  SessionClient a, b, c, d;
  std::string resp;
  for (SessionClient* s : {&a, &b}) {
    ASSERT_FALSE(s->ConnectUnix(socket_).IsError());
    ASSERT_FALSE(s->Call("<x/>", resp, 5000).IsError());
  }
  ASSERT_FALSE(c.ConnectUnix(socket_).IsError());
  EXPECT_TRUE(c.WaitClosed(5000));
  EXPECT_EQ(log_->CountContaining("(the limit per user is 128, per process 2)"), 1);
  // Another program of the same user still gets in.
  EXPECT_EQ(ExchangeAs(socket_, ::geteuid(), ::getegid(), {}), kAnswered);
  a.Disconnect();
  ASSERT_TRUE(WaitFor([&] { return server_->ActiveSessions() == 1; }));
  ASSERT_FALSE(d.ConnectUnix(socket_).IsError());
  ASSERT_FALSE(d.Call("<d/>", resp, 5000).IsError());
}

TEST_F(FramedServerTest, OnlyTheOwnerRootAndTheAllowedGroupMaySendRequests) {
  if (::geteuid() != 0) GTEST_SKIP() << "connecting as other users needs root";
  // A folder and socket every user can reach, so that the server alone judges the peer.
  char folder[] = "/tmp/kxmp-peer-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  ASSERT_EQ(::chmod(folder, 0755), 0);
  ServerLimits limits;
  limits.maxSessionsPerUser = 2;
  limits.maxSessionsPerProcess = 10;
  // The socket's owner is taken to be user 4242; members of group 4343 may send requests.
  StartEcho(limits, PeerPolicy(4242, 4343, "kxtest"), std::string(folder) + "/s.sock", 0666);

  EXPECT_EQ(ExchangeAs(socket_, 4242, 4444, {}), kAnswered);          // the owner
  EXPECT_EQ(ExchangeAs(socket_, 4545, 4444, {}), kClosedUnanswered);  // a stranger
  EXPECT_EQ(ExchangeAs(socket_, 4545, 4343, {}), kAnswered);          // the group, primary
  EXPECT_EQ(ExchangeAs(socket_, 4545, 4444, {4343}), kAnswered);      // the group, supplementary
  EXPECT_EQ(log_->CountContaining("Refusing a Unix session of user [4545] group [4444]"), 1);
  EXPECT_EQ(frames_.load(), 3);

  // Root is always let in, within its share; at its limit, other users still get in.
  SessionClient r1, r2, r3;
  std::string resp;
  for (SessionClient* s : {&r1, &r2}) {
    ASSERT_FALSE(s->ConnectUnix(socket_).IsError());
    ASSERT_FALSE(s->Call("<root/>", resp, 5000).IsError());
  }
  ASSERT_FALSE(r3.ConnectUnix(socket_).IsError());
  EXPECT_TRUE(r3.WaitClosed(5000));
  EXPECT_EQ(log_->CountContaining("(the limit per user is 2, per process 10)"), 1);
  EXPECT_EQ(ExchangeAs(socket_, 4242, 4444, {}), kAnswered);
  server_->Stop();
  ::rmdir(folder);
}
