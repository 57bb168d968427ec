// Mount requests through the session socket, end to end in one process: a SessionServer in
// front of the service, clients on the Unix socket, each sending mount-one requests for a
// subclient whose cached list is fresh (so no catalog query). Reports requests per second
// and latency percentiles for 1 and 8 concurrent clients. The host's file logger runs at
// level 0, as kxmp-host's default.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/log/FileLogWriter.h"
#include "outside/session/SessionServer.h"
#include "outside/util/CZoFile.h"
#include "outside/xml/CNMessageFactory.h"
#include "outside/xml/TesselMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kSubclient = 42;
constexpr int kRequestsPerRun = 4000;

std::string MountRequest() {
  Tessel::MAMountPointReq req;
  req.setint64(1, 1, kSubclient, Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqSubclientIdId);
  req.setstring(2, 2, "/mnt/bench", Tessel::kMAMountPointReqTag, Tessel::kMAMountPointReqMountingPointId);
  std::string xml;
  req.serialize(xml, false);
  return xml;
}

// A home with a catalog (one subclient, three mount paths), the control server online, the
// service initialised and a session server on a socket. The first request fills the cache.
class Host {
 public:
  Host() {
    char tmpl[] = "/tmp/kxmp-bench-XXXXXX";
    home_ = ::mkdtemp(tmpl);
    ::setenv("KX_HOME", home_.c_str(), 1);
    kxmp::catalog::CatalogAdmin admin;
    admin.CreateSchema();
    admin.PutSubclient({kSubclient, "guid-42", ""});
    for (int i = 1; i <= 3; ++i) {
      kxmp::catalog::MountPathRecord m{100 + i, "ma" + std::to_string(i) + "*ma*1*2", home_ + "/disk" + std::to_string(i),
                                       "lib"};
      admin.PutMountPath(m);
      admin.Attach(kSubclient, m.id, i == 1 ? kxmp::catalog::kKindPrimary : kxmp::catalog::kKindAlternate, i);
    }
    CZoDirectory::Create(home_ + "/registry/Runtime", true);
    CZoFile::WriteWholeFileAtomic(home_ + "/registry/Runtime/nCSONLINE", "1");
    SetLogWriter(std::make_shared<FileLogWriter>(home_ + "/host.log", 0));
    std::string text;
    int number = 0;
    KXMAMountingPointSvc::getInstance()->Initialize(0, nullptr, text, number, nullptr);
    kxmp::session::ServerLimits limits;
    limits.workerThreads = 8;
    server_ = std::make_unique<kxmp::session::SessionServer>(KXMAMountingPointSvc::getInstance(), limits);
    socket_ = home_ + "/s.sock";
    server_->ListenUnix(socket_);
    server_->Start();
    kxmp::session::SessionClient c;
    std::string resp;
    c.ConnectUnix(socket_);
    c.Call(MountRequest(), resp, 60000);
  }
  ~Host() {
    server_->Stop();
    SetLogWriter(nullptr);
    CZoDirectory::Remove(home_, true, false);
  }
  const std::string& socket() const { return socket_; }

 private:
  std::string home_;
  std::string socket_;
  std::unique_ptr<kxmp::session::SessionServer> server_;
};

Host& TheHost() {
  static Host host;
  return host;
}

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

void BM_MountRequests(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  const std::string request = MountRequest();
  Host& host = TheHost();
  for (auto _ : state) {
    std::vector<double> latencies;
    std::mutex mutex;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    const auto start = Clock::now();
    for (int t = 0; t < clients; ++t) {
      threads.emplace_back([&] {
        kxmp::session::SessionClient c;
        if (c.ConnectUnix(host.socket()).IsError()) {
          ++failures;
          return;
        }
        std::vector<double> mine;
        mine.reserve(kRequestsPerRun / clients);
        std::string resp;
        for (int i = 0; i < kRequestsPerRun / clients; ++i) {
          const auto t0 = Clock::now();
          if (c.Call(request, resp, 60000).IsError()) ++failures;
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        std::lock_guard<std::mutex> lock(mutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
      });
    }
    for (auto& th : threads) th.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["req_per_s"] = static_cast<double>(latencies.size()) / seconds;
    state.counters["p50_us"] = Percentile(latencies, 0.50);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["failures"] = failures.load();
  }
}

BENCHMARK(BM_MountRequests)->Arg(1)->Arg(8)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
