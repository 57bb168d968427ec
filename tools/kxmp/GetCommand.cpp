// kxmp get: fetches exactly one stored log file of a subclient to exactly one path, as a
// database's restore command must: the name is matched whole (never as a pattern), the
// subclient's reachable mount paths are asked in turn, and the file is written beside its
// target under a temporary name, synced and renamed over whatever the target was.
//
// Exit status, in a database's restore-command convention: 0 fetched; 1 not stored (no
// mount path holds the name, and every one could be asked); 128 any other failure (bad
// arguments, no storage, permission denied, a read or write that failed), so that a
// recovery stops instead of taking the failure for the end of the archive; 130/143 stopped
// by SIGINT/SIGTERM. "Not stored" is the common answer (a database asks for files that do
// not exist on every recovery) and prints nothing unless -v or --json.
//
// What is fetched is checked against the name's checksum record as it is copied: a copy that
// does not match is never written to the target (the next mount path holding the name is
// tried), and when no copy matches the run fails above 125 naming the file, so a recovery
// stops rather than replaying damaged data.

#include <sys/stat.h>

#include <cstdio>
#include <list>
#include <string>

#include "Command.h"
#include "FailureEvent.h"
#include "LogBackupCli.h"
#include "LogBackupFile.h"
#include "StopSignals.h"
#include "Validators.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "outside/util/AtomicFile.h"

namespace kxmp::cli {
namespace {

// The mode of a new target: a database's files are its user's alone.
constexpr unsigned int kTargetMode = 0600;

// A stored name as the writer stores it: one path component, never a file being written.
std::string CheckName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return "NAME must be a stored file's name";
  if (name.find('/') != std::string::npos) return "NAME must be a stored file's name, without a folder: [" + name + "]";
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
    return "[" + name + "] names a file being written, which is never fetched";
  }
  return std::string();
}

class GetCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand(
        "get", "fetch one stored log file, by its exact name, to one path: a database's restore command");
    cmd->add_option("--subclient", subclient_, "the subclient whose backups are read")->required()->check(kId);
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_flag("--json", json_, "print one JSON object (type restored or error)");
    cmd->add_option("NAME", name_, "the stored file's name, matched exactly")->required();
    cmd->add_option("PATH", path_, "where to write it (replaced when it exists)")->required();
    common_.AddTo(*cmd);
    cmd->footer(
        "Exit status: 0 fetched; 1 not stored (nothing printed unless -v); 128 any other failure (storage\n"
        "unreachable, permission denied, a failed read or write, bad arguments, a stored copy that does not\n"
        "match its checksum record), which a database takes as \"stop the recovery\", not as the end of the\n"
        "archive; 130/143 interrupted.\n\n"
        "Every copy is checked against its checksum record as it is fetched. A copy that does not match is\n"
        "never written to PATH: another mount path's copy of the name is taken when one matches; otherwise\n"
        "the run fails naming the file and raises an operator event. Then run kxmp verify --subclient N to\n"
        "see every damaged file, and bring a good copy back from another mount path or the source.\n\n"
        "Example:\n"
        "  kxmp --home /var/lib/kxmp get --subclient 7 000000010000000000000003 pg_wal/RECOVERYXLOG\n"
        "  restore_command = '/usr/bin/kxmp --home /var/lib/kxmp get --subclient 7 %f %p'   # postgresql.conf");
    return cmd;
  }

  int StatusFor(int) const override { return kExitGetFailed; }

  int Run() override {
    const int status = Get();
    if (status == kExitGetFailed) RaiseCommandFailed(subclient_, "get", name_, out_.LastError());
    return status;
  }

 private:
  int Get() {
    const std::string home = common_.Apply();
    std::string bad = CheckName(name_);
    if (bad.empty() && (path_.empty() || path_.back() == '/')) bad = "PATH must name a file: [" + path_ + "]";
    if (!bad.empty()) return out_.Fail(kExitGetFailed, bad);
    StartLibraryLog();
    const std::string closed = HomeAccessProblem(home, false);
    if (!closed.empty()) return out_.Fail(kExitGetFailed, closed);
    StopSignals signals;

    DBLogBackupDataReader reader(subclient_, false, rootFolder_, &errors_);
    const std::list<DataServerContextPtr> contexts = reader.getContextList();
    if (contexts.empty()) {
      int status = kExitFailed;
      return out_.Fail(kExitGetFailed, NoStorageReason(subclient_, errors_.First(), status));
    }
    // A mount path that could not be opened or asked may hold the file: without it, "not
    // stored" would be a guess.
    std::string unasked;
    if (errors_.Count() > 0) {
      unasked = "not every mount path of subclient " + std::to_string(subclient_) + " could be opened: " +
                ErrorText(errors_.First()) + PermissionNote(errors_.First());
    }
    std::string corrupt;  // the copies refused, and why
    for (const DataServerContextPtr& context : contexts) {
      SZoFileStat st {};
      CZoError err = AbstractMountingPointDriver::AMStat(context.get(), "/" + name_, st);
      if (FXErrorUtil::IsErrNo(err, ENOENT)) continue;
      if (err.IsSuccess() && S_ISREG(st.st_mode)) {
        bool damaged = false;
        const int status = Fetch(reader, context, contexts, damaged, corrupt);
        if (!damaged) return status;
        continue;
      }
      if (unasked.empty() && err.IsError()) unasked = Where(context) + ": " + ErrorText(err) + PermissionNote(err);
      if (unasked.empty()) unasked = Where(context) + " holds something under that name that is not a regular file";
    }
    if (!corrupt.empty()) {
      return out_.Fail(kExitGetFailed,
                       "[" + name_ + "] is stored, but no copy matches its checksum record (" + corrupt +
                           "); nothing was written to [" + path_ + "]" +
                           (unasked.empty() ? "" : "; a mount path that could not be asked may hold a good copy: " + unasked) +
                           ". Check with 'kxmp verify --subclient " + std::to_string(subclient_) +
                           "'; a good copy on another mount path is taken when that mount path is reachable");
    }
    if (!unasked.empty()) return out_.Fail(kExitGetFailed, "cannot tell whether [" + name_ + "] is stored: " + unasked);
    if (json_ || Globals().verbose > 0) {
      out_.Fail(kExitNotStored, "[" + name_ + "] is not stored on any mount path of subclient " + std::to_string(subclient_));
    }
    return kExitNotStored;
  }

  static std::string Where(const DataServerContextPtr& context) {
    return context->getFSParams().host.hostName + ":" + context->getMountPath();
  }

  // One read of the stored copy, written to a temporary file beside the target and checked
  // against the name's record on the way; the target is replaced only by a whole copy that
  // matches (or, when no mount path holds a record of the name, an unverified one). damaged:
  // the copy does not match, nothing was written, corrupt says why and the caller tries
  // another mount path.
  int Fetch(DBLogBackupDataReader& reader, const DataServerContextPtr& context,
            const std::list<DataServerContextPtr>& contexts, bool& damaged, std::string& corrupt) {
    damaged = false;
    AtomicFile out;
    CZoError err = out.Create(path_, kTargetMode);
    unsigned long long bytes = 0;
    DataServerSearchFile file("", name_.c_str());
    if (err.IsSuccess()) {
      err = reader.open(file, context);
      if (err.IsSuccess()) {
        err = Copy(reader, out, bytes);
        CZoError closed = reader.close(context);
        if (err.IsSuccess()) err = closed;
      }
    }
    DataServerReadCheck check;
    if (err.IsSuccess()) err = Check(reader, file, context, contexts, check);
    if (err.IsSuccess() && check.result == DataServerReadCheck::kDiffers) {
      damaged = true;
      corrupt += (corrupt.empty() ? "" : "; ") + Where(context) + ": " + check.why;
      RaiseStoredFileDamaged(subclient_, Where(context), "/" + name_, "corrupt", check.why);
      return kExitGetFailed;
    }
    if (err.IsSuccess()) err = out.Commit(AtomicFile::kReplace);
    if (err.IsError()) {
      if (StopSignals::Stopping()) return StopSignals::ExitStatus();
      return out_.Fail(kExitGetFailed, "[" + name_ + "] from " + Where(context) + " to [" + path_ + "]: " +
                                           ErrorText(err) + PermissionNote(err));
    }
    const bool verified = check.result == DataServerReadCheck::kMatches;
    if (json_) {
      Output::PrintJson({{"type", "restored"},
                         {"host", context->getFSParams().host.hostName},
                         {"mountPath", context->getMountPath()},
                         {"name", name_},
                         {"file", path_},
                         {"bytes", bytes},
                         {"verified", verified}});
    } else if (Globals().verbose > 0) {
      std::printf("restored %s from %s to %s (%llu bytes%s)\n", Printable(name_).c_str(),
                  Printable(Where(context)).c_str(), Printable(path_).c_str(), bytes,
                  verified ? "" : ", unverified: stored without a checksum record");
    }
    return kExitOk;
  }

  // What was read against the copy's record or, without one, another mount path's record of
  // the name; kUnrecorded only when none of them has one. An error when the check cannot be
  // made (the copy is then not taken).
  static CZoError Check(DBLogBackupDataReader& reader, const DataServerSearchFile& file,
                        const DataServerContextPtr& context, const std::list<DataServerContextPtr>& contexts,
                        DataServerReadCheck& check) {
    CZoError err = reader.checkRead(check);
    if (err.IsError()) return err;
    if (check.result == DataServerReadCheck::kUnrecorded) {
      for (const DataServerContextPtr& other : contexts) {
        DataServerReadCheck record;
        if (other == context || reader.findRecord(file, other, record).IsError() || !record.recorded) continue;
        const bool same = check.bytes == record.recordSize && check.sha256 == record.recordSha256;
        check.result = same ? DataServerReadCheck::kMatches : DataServerReadCheck::kDiffers;
        if (!same) check.why = "it differs from the record of the name on " + Where(other);
        break;
      }
    }
    if (check.result == DataServerReadCheck::kNotRead || check.result == DataServerReadCheck::kUnknown) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "it cannot be verified: %s",
                                     check.why.empty() ? "it was not read to its end" : check.why.c_str());
    }
    return CZoError::Success();
  }

  CZoError Copy(DBLogBackupDataReader& reader, AtomicFile& out, unsigned long long& bytes) {
    char* piece = buffer_.Reserve(kCopyPiece);
    unsigned int n = 0;
    do {
      if (StopSignals::Stopping()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINTR, "Stopped by signal %d", StopSignals::Caught());
      CZoError err = reader.read(piece, kCopyPiece, n);
      if (err.IsError()) return err;
      err = out.Write(piece, n);
      if (err.IsError()) return err;
      bytes += n;
    } while (n == kCopyPiece);
    return CZoError::Success();
  }

  uint64_t subclient_ = 0;
  std::string rootFolder_;
  std::string name_;
  std::string path_;
  bool& json_ = Globals().json;
  HomeOption common_;
  Output out_{"get", json_};
  ErrorPrinter errors_{"kxmp get"};
  PieceBuffer buffer_;
};

}  // namespace

std::unique_ptr<Command> MakeGetCommand() { return std::make_unique<GetCommand>(); }

}  // namespace kxmp::cli
