// The main job on the embedded default: load the library as the on-demand service host does,
// get the service from its entry point and drive its lifecycle, saying what happened.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "kxmp/IOnDemandSvcInterface.h"
#include "outside/log/CLogWriterInterface.h"

namespace {
// The host's logger for this run: every line to standard output.
class ConsoleLogWriter : public CLogWriterInterface {
 public:
  int GetLevel() const override { return 7; }

 protected:
  void WriteLine(int level, const char* function, int, int, int, const std::string& message) override {
    std::printf("  [log %d] %s\n", level, message.c_str());
  }
};
}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "libKXMAMountingPointSvc.so";
  if (std::getenv("KX_HOME") == nullptr) setenv("KX_HOME", "/tmp/kxmp-demo-home", 1);
  std::printf("Working folder of the platform components: %s\n", std::getenv("KX_HOME"));
  SetLogWriter(std::make_shared<ConsoleLogWriter>());

  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "Could not load %s: %s\n", path, dlerror());
    return 1;
  }
  std::printf("Loaded %s.\n", path);

  using Entry = void* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(lib, "GetOnDemandSvcLibInstance"));
  if (!entry) {
    std::fprintf(stderr, "The library has no entry point GetOnDemandSvcLibInstance.\n");
    return 1;
  }
  auto* svc = static_cast<IOnDemandSvcInterface*>(entry());
  std::printf("The entry point handed out the service at %p.\n", static_cast<void*>(svc));
  std::printf("Asking again gives %s.\n", entry() == svc ? "the same service" : "ANOTHER service (wrong)");

  std::string text;
  int number = 0;
  CZoError err = svc->Initialize(0, nullptr, text, number, nullptr);
  if (err.IsError()) {
    std::printf("Initialize failed: %s\n", err.AsString().c_str());
    return 1;
  }
  std::printf("Initialize succeeded: the service created its mount-point driver.\n");
  err = svc->Initialize(0, nullptr, text, number, nullptr);
  std::printf("A second Initialize %s and keeps the same driver.\n", err.IsError() ? "failed" : "succeeded");

  std::string job = "demo job";
  CNSession::OnDemandServiceStatusType status = CNSession::ONDEMAND_SERVICE_STATUS_RUNNING;
  err = svc->SubmitJob(job, status, CNSession::ONDEMAND_SERVICE_MODE_SYNC);
  std::printf("SubmitJob %s; the job status it reported is %d.\n", err.IsError() ? "failed" : "succeeded",
              static_cast<int>(status));

  err = svc->KillAllJobs();
  svc->CleanUp();
  std::printf("KillAllJobs %s and CleanUp returned; the service stays until the process ends.\n",
              err.IsError() ? "failed" : "succeeded");
  SetLogWriter(nullptr);
  return 0;
}
