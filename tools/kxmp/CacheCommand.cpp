// kxmp cache: the mount-point cache of a subclient in the registry: show it, refresh it from
// the control server's catalog (through the host when one runs, else in this process), or
// drop it so that the next request asks the catalog again.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "CacheView.h"
#include "CliSupport.h"
#include "Command.h"
#include "HostClient.h"
#include "Validators.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/RegistryNames.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/session/FramedServer.h"
#include "outside/util/KxHome.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::cli {

namespace {

// Errors of the mount path list that mean "the subclient has no mount path", not a failure:
// nothing usable (50) and no library path for the subclient (4306).
bool MeansNoMountPath(const CZoError& err) {
  return FXErrorUtil::IsWin32(err, 50) || FXErrorUtil::IsWin32(err, 4306);
}

class CacheCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("cache", "show, refresh or drop a subclient's cached mount paths; set how long a cache is used");
    cmd->require_subcommand(1);
    SetExample(cmd, "kxmp cache show --subclient 42");

    show_ = cmd->add_subcommand("show", "show the cached mount paths, refresh time, failover entries and GUIDs");
    SetExample(show_, "kxmp cache show --subclient 42 --json");
    refresh_ = cmd->add_subcommand("refresh", "read the subclient's mount paths from the catalog into the cache");
    SetExample(refresh_, "kxmp cache refresh --subclient 42");
    drop_ = cmd->add_subcommand("drop", "remove everything cached for the subclient");
    SetExample(drop_, "kxmp cache drop --subclient 42");

    for (CLI::App* sub : {show_, refresh_, drop_}) {
      sub->add_option("--subclient", subclient_, "the subclient's id")->required()->check(kId);
      sub->add_flag("--json", json_, "print JSON lines");
    }
    setHours_ = cmd->add_subcommand("set-refresh-hours", "how many hours a refreshed cache is used before the catalog is asked again");
    setHours_->add_option("HOURS", hours_, "whole hours from 1 to 8760")->required()->check(CLI::Range(1, 8760));
    setHours_->add_flag("--json", json_, "print the result as JSON");
    HomeOption().AddTo(*setHours_);
    SetExample(setHours_, "kxmp cache set-refresh-hours 2");
    HomeOption().AddTo(*show_);
    HomeOption().AddTo(*drop_);
    host_.AddTo(*refresh_);
    refresh_->add_flag("--local", local_, "refresh in this process even when a host runs");
    return cmd;
  }

  int Run() override {
    host_.home = HomeOption().Apply();
    if (show_->parsed()) return Show();
    if (setHours_->parsed()) return SetRefreshHours();
    if (refresh_->parsed()) return Refresh();
    return Drop();
  }

 private:
  std::string Id() const { return std::to_string(subclient_); }

  int Show() {
    CacheView view;
    if (!CacheView::Read(subclient_, view)) return NothingCached();
    const time_t now = time(nullptr);
    out_.Summary(view.ToJson(now), view.ToText(now));
    return kExitOk;
  }

  int NothingCached() const {
    // Unreadable is not the same as empty.
    if (const int e = KXPlatformInfo().getRegError(); e != 0 && e != ENOENT) {
      return out_.Fail(kExitFailed, "cannot read the cache of subclient " + Id() + " in " +
                                        kxmp::home::Path("registry") + ": " + std::strerror(e));
    }
    return out_.Fail(kExitNotFound, "nothing is cached for subclient " + Id() + " in " + kxmp::home::Path("registry"));
  }

  int Refresh() {
    // The refresh time is the only trace a refresh leaves (see below). A refresh writes the
    // current second, so start in a second that the cache does not hold already.
    CacheView before;
    const int64_t previous = CacheView::Read(subclient_, before) ? before.lastRefreshTime : -1;
    while (static_cast<int64_t>(time(nullptr)) == previous) ::usleep(20 * 1000);
    const time_t start = time(nullptr);
    bool viaHost = false;
    if (!local_) {
      kxmp::session::SessionClient probe;
      CZoError err = probe.ConnectUnix(host_.SocketPath());
      const int n = FXErrorUtil::Number(err);
      if (!err.IsError()) {
        viaHost = true;
      } else if (n != ENOENT && n != ECONNREFUSED && n != ENOTSOCK) {
        return out_.Fail(kExitFailed, "cannot reach the host at " + host_.SocketPath() + ": " + err.Message() +
                                          " (give --local to refresh in this process)");
      }
    }
    std::string log;
    if (viaHost) {
      out_.Status("asking the host at " + host_.SocketPath() + " to refresh the cache of subclient " + Id());
      if (int status = RefreshThroughHost(); status != kExitOk) return status;
      log = kxmp::home::Path("log/kxmp-host.log");
    } else {
      out_.Status("refreshing the cache of subclient " + Id() + " in this process");
      StartLibraryLog();
      std::vector<MountPathInfo> list;
      CZoError err = AbstractMountingPointDriver::GetSubclientMountpathList(subclient_, list, false, false, true, true);
      if (err.IsError() && MeansNoMountPath(err)) {
        return out_.Fail(kExitNotFound, "no usable mount path for subclient " + Id() +
                                            ": the catalog lists none (attach one with kxmp catalog attach), or the "
                                            "control server is offline and nothing usable is cached");
      }
      if (err.IsError()) return out_.Fail(kExitFailed, "cannot list the mount paths: " + err.Message());
      log = kxmp::home::Path("log/kxmp.log");
    }

    // The refresh itself reports no outcome (the host answers a refresh with success, and an
    // offline control server leaves the cached list in use): the refresh time tells.
    CacheView view;
    if (!CacheView::Read(subclient_, view)) {
      return out_.Fail(kExitNotFound, "the catalog lists no mount path for subclient " + Id() +
                                          ": nothing is cached now; attach one with kxmp catalog attach");
    }
    if (view.lastRefreshTime < static_cast<int64_t>(start) || view.lastRefreshTime == previous) {
      return out_.Fail(kExitFailed, "the cache of subclient " + Id() +
                                        " was not refreshed: the control server is offline or its catalog cannot be "
                                        "read; the cached list stays in use (see " + log + ")");
    }
    const time_t now = time(nullptr);
    Json summary = view.ToJson(now);
    summary["refreshedBy"] = viaHost ? "host" : "tool";
    out_.Summary(summary, "refreshed the cache of subclient " + Id() +
                              (viaHost ? " through the host\n" : " in this process\n") + view.ToText(now));
    return kExitOk;
  }

  int RefreshThroughHost() {
    Tessel::MAMountPointReq req;
    const uint32_t tag = Tessel::kMAMountPointReqTag;
    req.setint64(1, 1, static_cast<int64_t>(subclient_), tag, Tessel::kMAMountPointReqSubclientIdId);
    req.setstring(2, 2, std::string(), tag, Tessel::kMAMountPointReqMountingPointId);
    req.setint64(13, 13, 1, tag, Tessel::kMAMountPointReqRefreshCacheId);
    std::unique_ptr<CNMessageBase> resp;
    if (!Exchange(host_, req, resp, out_)) return kExitFailed;  // Exchange said why
    if (resp->getTagID() != Tessel::kMAMountPointRespTag) {
      return out_.Fail(kExitFailed, std::string("the host answered with [") + resp->getTagName() +
                                        "], not a mount-point response");
    }
    return kExitOk;
  }

  int SetRefreshHours() {
    KXPlatformInfo platform;
    const std::string key = std::string("~") + MAMountPointKey;
    if (!platform.setRegString(key, MACacheRefreshHours, std::to_string(hours_))) {
      return out_.Fail(kExitFailed, "cannot write " + kxmp::home::Path(std::string("registry/") + MAMountPointKey) +
                                        ": " + std::strerror(platform.getRegError()));
    }
    out_.Summary({{"refreshHours", hours_}},
                 "a refreshed cache is used for " + std::to_string(hours_) + " h before the catalog is asked again");
    return kExitOk;
  }

  int Drop() {
    CacheView view;
    if (!CacheView::Read(subclient_, view)) return NothingCached();
    StartLibraryLog();
    DataServerContext::deleteRegistryKeys(subclient_);
    if (CacheView::Read(subclient_, view)) {
      return out_.Fail(kExitFailed, "the cache of subclient " + Id() + " could not be removed (see " +
                                        kxmp::home::Path("log/kxmp.log") + ")");
    }
    out_.Summary({{"action", "dropped"}, {"subclient", subclient_}},
                 "dropped the cache of subclient " + Id() + ": the next request asks the catalog");
    return kExitOk;
  }

  CLI::App* show_ = nullptr;
  CLI::App* refresh_ = nullptr;
  CLI::App* drop_ = nullptr;
  CLI::App* setHours_ = nullptr;
  int hours_ = 0;
  uint64_t subclient_ = 0;
  bool local_ = false;
  bool& json_ = Globals().json;
  HostOptions host_;
  Output out_{"cache", json_};
};

}  // namespace

std::unique_ptr<Command> MakeCacheCommand() { return std::make_unique<CacheCommand>(); }

}  // namespace kxmp::cli
