// kxmp mount: sends one mount-point request to the host and prints the error code of the
// response.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "HostClient.h"
#include "Validators.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::cli {

namespace {

// The service's answer when the catalog names no mount path for the subclient.
constexpr int kNoLibraryPath = 4306;

// A readable name for a folded error code: its kind and number.
std::string Describe(int64_t code) {
  if (code == 0) return "success";
  if (code < INT32_MIN || code > INT32_MAX) return "unknown code";
  const auto c = static_cast<int32_t>(code);
  switch (FXErrorUtil::KindOf(c)) {
    case FXErrorUtil::Kind::Win32:
      return "error " + std::to_string(FXErrorUtil::NumberOf(c));
    case FXErrorUtil::Kind::ErrNo:
      return "errno " + std::to_string(FXErrorUtil::NumberOf(c));
    default:
      return "error";
  }
}

class MountCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("mount", "send a mount-point request to the host");
    cmd->add_option("--subclient", subclient_, "the subclient whose mount paths are used")
        ->check(kId);
    cmd->add_option("--mount-point", mountPoint_, "the mount point (for --deinit-all: the parent folder)")
        ->required()
        ->type_name("DIR");
    auto* all = cmd->add_flag("--all", mountAll_, "mount over all mount paths at once");
    auto* deinit = cmd->add_flag("--deinit-all", deinitAll_, "take down every mount point under the folder");
    auto* refresh = cmd->add_flag("--refresh", refresh_, "refresh the cached list of mount paths");
    all->excludes(deinit)->excludes(refresh);
    deinit->excludes(refresh);
    cmd->add_flag("--no-cache-update", noCacheUpdate_, "neither rewrite the cache nor fall back to it");
    cmd->add_flag("--json", json_, "print {\"type\":\"summary\",\"errorCode\":N,...}");
    SetExample(cmd, "kxmp mount --subclient 42 --mount-point /mnt/kx42   # prints errorCode 0 (success)");
    host_.AddTo(*cmd);
    cmd_ = cmd;
    return cmd;
  }

  bool UsesHome() const override { return host_.socket.empty(); }

  int Run() override {
    if (cmd_->count("--subclient") == 0 && !deinitAll_) {
      return out_.Fail(kExitUsage, "--subclient is required (except with --deinit-all)");
    }
    Tessel::MAMountPointReq req;
    const uint32_t tag = Tessel::kMAMountPointReqTag;
    req.setint64(1, 1, static_cast<int64_t>(subclient_), tag, Tessel::kMAMountPointReqSubclientIdId);
    req.setstring(2, 2, mountPoint_, tag, Tessel::kMAMountPointReqMountingPointId);
    req.setint64(3, 6, noCacheUpdate_ ? 1 : 0, tag, Tessel::kMAMountPointReqNoCacheUpdateId);
    req.setint64(4, 7, mountAll_ ? 1 : 0, tag, Tessel::kMAMountPointReqMountAllId);
    req.setint64(5, 8, deinitAll_ ? 1 : 0, tag, Tessel::kMAMountPointReqDeinitAllId);
    req.setint64(13, 13, refresh_ ? 1 : 0, tag, Tessel::kMAMountPointReqRefreshCacheId);

    std::unique_ptr<CNMessageBase> resp;
    if (!Exchange(host_, req, resp, out_)) return kExitFailed;  // Exchange said why
    CNMessageBase* generic = resp->getTagID() == Tessel::kMAMountPointRespTag
                                 ? resp->getObjectAccessor(1, 1, Tessel::kMAMountPointRespTag,
                                                           Tessel::kMAMountPointRespResponseId)
                                 : nullptr;
    if (generic == nullptr) {
      return out_.Fail(kExitFailed, std::string("the host answered with [") + resp->getTagName() +
                                        "], not a mount-point response");
    }
    const int64_t code = generic->getint64(1, Tessel::kGenericRespTag, Tessel::kGenericRespErrorCodeId);
    if (code == FXErrorUtil::Win32Code(kNoLibraryPath) && !deinitAll_) {
      // The service answers so for a subclient the catalog does not list, and for one it lists
      // without a mount path: the catalog tells them apart, as for the other subcommands.
      catalog::CatalogAdmin admin;
      std::vector<catalog::SubclientRecord> subclients;
      const bool read = admin.ListSubclients(subclients).IsSuccess();
      if (read && std::none_of(subclients.begin(), subclients.end(),
                               [&](const catalog::SubclientRecord& s) { return s.id == subclient_; })) {
        return out_.Fail(kExitNotFound, "subclient " + std::to_string(subclient_) + " is not in the catalog " +
                                            admin.name() + " (errorCode " + std::to_string(code) + ")");
      }
    }
    if (json_) {
      Output::PrintJson({{"type", "summary"}, {"errorCode", code}, {"meaning", Describe(code)}});
    } else {
      std::printf("errorCode %" PRId64 " (%s)\n", code, Describe(code).c_str());
    }
    return code == 0 ? kExitOk : kExitFailed;
  }

 private:
  CLI::App* cmd_ = nullptr;
  uint64_t subclient_ = 0;
  std::string mountPoint_;
  bool mountAll_ = false;
  bool deinitAll_ = false;
  bool refresh_ = false;
  bool noCacheUpdate_ = false;
  bool& json_ = Globals().json;
  HostOptions host_;
  Output out_{"mount", json_};
};

}  // namespace

std::unique_ptr<Command> MakeMountCommand() { return std::make_unique<MountCommand>(); }

}  // namespace kxmp::cli
