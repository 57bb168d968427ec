// kxmp control-server [online|offline]: whether the service asks the control server's
// catalog (the archive manager) or keeps to the cached mount paths. Without an argument it
// shows the state. The state is the registry value Runtime/nCSONLINE; bit 0 of
// Runtime/nPlatformType says online too, so going offline clears that bit.
#include <cstdlib>
#include <cstring>

#include "CliSupport.h"
#include "Command.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/KxHome.h"

namespace kxmp::cli {

namespace {

constexpr char kRuntime[] = "Runtime";
constexpr char kOnline[] = "nCSONLINE";
constexpr char kPlatformType[] = "nPlatformType";

// The value as the service reads it (like atoi).
long Read(const KXPlatformInfo& platform, const char* name) {
  std::string text;
  if (platform.getString(kRuntime, name, &text) == 0) return 0;
  return std::strtol(text.c_str(), nullptr, 10);
}

class ControlServerCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("control-server", "show or set whether the control server is online");
    cmd->add_option("STATE", state_, "online: ask the catalog when the cache is stale; offline: use the cache only")
        ->check(CLI::IsMember({"online", "offline"}));
    home_.AddTo(*cmd);
    cmd->add_flag("--json", json_, "print the state as one JSON line");
    SetExample(cmd, "kxmp control-server offline   # mount requests use the cached mount paths only");
    return cmd;
  }

  int Run() override {
    home_.Apply();
    KXPlatformInfo platform;
    if (state_ == "online") {
      if (!platform.setRegString(kRuntime, kOnline, "1")) return Failed(platform);
    } else if (state_ == "offline") {
      if (!platform.setRegString(kRuntime, kOnline, "0")) return Failed(platform);
      const long type = Read(platform, kPlatformType);
      if ((type & 1) != 0 && !platform.setRegString(kRuntime, kPlatformType, std::to_string(type & ~1L))) {
        return Failed(platform);
      }
    }
    const bool online = Read(platform, kOnline) != 0 || (Read(platform, kPlatformType) & 1) != 0;
    out_.Summary({{"controlServer", online ? "online" : "offline"}},
                 std::string("the control server is ") + (online ? "online: stale caches are refreshed from the catalog"
                                                                  : "offline: mount requests use the cached mount paths"));
    return kExitOk;
  }

 private:
  int Failed(const KXPlatformInfo& platform) {
    return out_.Fail(kExitFailed, "cannot write " + kxmp::home::Path("registry/Runtime") + ": " +
                                      std::strerror(platform.getRegError()));
  }

  std::string state_;
  HomeOption home_;
  bool& json_ = Globals().json;
  Output out_{"control-server", json_};
};

}  // namespace

std::unique_ptr<Command> MakeControlServerCommand() { return std::make_unique<ControlServerCommand>(); }

}  // namespace kxmp::cli
