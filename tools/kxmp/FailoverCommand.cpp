// kxmp failover: opens a backup context for a subclient as a database agent would, and when
// its mount path does not answer (or when asked to) moves it to the next cached mount path
// whose root folder can be made, reporting where it went.
#include <cerrno>
#include <list>

#include "CacheView.h"
#include "CliSupport.h"
#include "Command.h"
#include "Validators.h"
#include "kxmp/DataServerContext.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/KxHome.h"

namespace kxmp::cli {

namespace {

Json Where(DataServerContext& context) {
  return {{"host", context.getServerName()}, {"mountPath", context.getMountPath()},
          {"rootFolder", context.getRootFolder()}};
}

// True when the error says the subclient has no mount path at all, rather than that a storage
// host or the catalog failed. The context list reports both an unreadable catalog and an
// empty answer as error 1359, so the catalog is asked which it was.
bool ListsNoMountPath(const CZoError& err, uint64_t subclientId) {
  if (FXErrorUtil::IsWin32(err, 50) || FXErrorUtil::IsWin32(err, 4306)) return true;
  if (!FXErrorUtil::IsWin32(err, 1359)) return false;
  std::vector<catalog::AttachedMountPath> attached;
  return !catalog::CatalogAdmin().ListAttachments(subclientId, attached).IsError() && attached.empty();
}

class FailoverCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand(
        "failover", "move a subclient's backup context to another mount path when its mount path does not answer");
    cmd->add_option("--subclient", subclient_, "the subclient's id")->required()->check(kId);
    cmd->add_flag("--force", force_, "fail over even when the mount path answers");
    cmd->add_flag("--json", json_, "print JSON lines");
    home_.AddTo(*cmd);
    SetExample(cmd, "kxmp failover --subclient 42 --force");
    return cmd;
  }

  int Run() override {
    home_.Apply();
    StartLibraryLog();
    const std::string id = std::to_string(subclient_);
    const std::string log = " (see " + kxmp::home::Path("log/kxmp.log") + ")";

    KXMAMountingPointSvc* service = KXMAMountingPointSvc::getInstance();
    CZoError err = service->AllocateDriverPtr(false);
    if (err.IsError()) return out_.Fail(kExitFailed, "cannot start the mount-point driver: " + err.Message() + log);

    out_.Status("opening a backup context for subclient " + id);
    std::list<DataServerContextPtr> contexts;
    // The root folder that backups use: KX_APP_DUMPS/<backup-set GUID>.
    err = service->GetDataServerContextList(subclient_, contexts, true, true, std::string(), true);
    if (err.IsError() && ListsNoMountPath(err, subclient_)) {
      return out_.Fail(kExitNotFound, "subclient " + id + " has no usable mount path: " + err.Message() + log);
    }
    if (err.IsError() || contexts.empty() || !contexts.front()) {
      return out_.Fail(kExitFailed, "no mount path of subclient " + id + " could be opened: " +
                                        (err.IsError() ? err.Message() : std::string("no context")) + log);
    }
    DataServerContext& context = *contexts.front();
    const std::string fromHost = context.getServerName();
    const std::string fromPath = context.getMountPath();
    out_.Status("opened mount path " + fromPath + " of storage host " + fromHost);

    bool exists = false;
    err = AbstractMountingPointDriver::AMExists(&context, context.getRootFolder(), exists);
    const bool answers = !err.IsError() && exists;
    if (answers && !force_) {
      out_.Summary({{"subclient", subclient_}, {"failedOver", false}, {"answers", true}, {"from", Where(context)}},
                   "mount path " + fromPath + " of storage host " + fromHost +
                       " answers: nothing to fail over (give --force to fail over anyway)");
      return kExitOk;
    }
    out_.Status(answers ? "failing over as asked" : "the root folder " + context.getRootFolder() +
                                                        " does not answer: failing over");
    const Json from = Where(context);
    AbstractMountingPointDriver::Failover(&context);

    if (context.getMountPath() == fromPath && context.getServerName() == fromHost && !context.getRootFolder().empty()) {
      return out_.Fail(kExitNotFound, "subclient " + id + " has no other mount path to fail over to; it stays on " +
                                          fromPath + " of storage host " + fromHost + log);
    }
    if (context.getRootFolder().empty()) {
      return out_.Fail(kExitFailed, "no other mount path of subclient " + id + " could be used; the last tried was " +
                                        context.getMountPath() + " of storage host " + context.getServerName() + log);
    }
    CacheView view;
    const int64_t current = CacheView::Read(subclient_, view) ? view.failoverCurrent : -1;
    out_.Summary({{"subclient", subclient_},
                  {"failedOver", true},
                  {"answers", answers},
                  {"from", from},
                  {"to", Where(context)},
                  {"failoverCurrent", current}},
                 "failed over subclient " + id + " from " + fromPath + " of storage host " + fromHost + " to " +
                     context.getMountPath() + " of storage host " + context.getServerName() +
                     "\nnFailoverCurrent " + std::to_string(current) + ", root folder " + context.getRootFolder());
    return kExitOk;
  }

 private:
  uint64_t subclient_ = 0;
  bool force_ = false;
  bool& json_ = Globals().json;
  HomeOption home_;
  Output out_{"failover", json_};
};

}  // namespace

std::unique_ptr<Command> MakeFailoverCommand() { return std::make_unique<FailoverCommand>(); }

}  // namespace kxmp::cli
