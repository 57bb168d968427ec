// kxmp backup: backs up local files as log files of a subclient through the log backup writer
// (in-process, no host needed): per file open, 1 MiB writes, close (fsync, a rename that
// refuses a name stored meanwhile unless --force, folder fsync, a check of what is stored).
//
// --jobs N runs N workers, each with its own writer (and its own session to a storage host
// reached over SFTP), taking the files in command-line order. One stream is one metadata
// document: the first worker's writer takes the records of the others at the end, so the
// metadata document and the root folder's checksum records are each merged once for the run
// and name every file of the run, whatever the number of workers, beside those that other
// runs of the stream listed.
//
// --dry-run makes every decision of the run (sources, name clashes, the subclient's storage,
// same content or --force) and creates nothing on the storage, not even the root folder.
//
// A run whose writer had to fail over (the mount path meant for it could not be used) says
// which storage host and mount path it used.
//
// kxmp push is the same run for one file with the defaults of a database's archive command:
// the file listed in its stream's metadata, and nothing printed unless it fails (or -v).
// Once its file is stored (or found stored), push succeeds: a stream's end that fails after
// that (metadata, cache file) is a warning and the operator event, not exit 1. A database
// holds every later log back while its archive command fails, so a failure there for a
// record the data does not need would fill its disk; pushing the file again lists it.
//
// Exit status: 0 every file backed up (or already stored with the same content), 1 any file
// or the end of the stream (metadata, cache file; not for push) failed, 2 usage (also two sources with one
// base name, an unreadable --files-from list), 3 the subclient is not in the catalog,
// 130/143 stopped by SIGINT/SIGTERM. A run that ends with 1 or 3 raises the operator event
// of a failed log backup command (throttled).

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CacheView.h"
#include "Command.h"
#include "FailureEvent.h"
#include "LogBackupCli.h"
#include "LogBackupFile.h"
#include "Progress.h"
#include "StopSignals.h"
#include "Validators.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/util/FXPath.h"

namespace kxmp::cli {
namespace {

constexpr int kMaxJobs = 64;

using Outcome = BackupItem::Outcome;

class BackupCommand : public Command {
 public:
  explicit BackupCommand(bool push) : push_(push) {}

  CLI::App* Register(CLI::App& app) override {
    if (push_) return RegisterPush(app);
    CLI::App* cmd = app.add_subcommand("backup", "back up files as log files of a subclient (in-process)");
    cmd->add_option("--subclient", subclient_, "the subclient whose storage is used")->required()->check(kId);
    cmd->add_option("--stream", stream_, "the stream number (names StreamMetadata_<stream>.xml)")->check(kStreamNumber);
    cmd->add_option("--time", time_, "backup time value: adds its decimal text as a folder below the root folder")
        ->check(kNonNegative);
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_flag("--file-mode", fileMode_, "write to the local job results directory instead");
    cmd->add_flag("--metadata", metadata_, "write the stream metadata document at the end");
    cmd->add_option("--jobs", jobs_, "files backed up at once, each by its own writer (default 1)")
        ->check(CLI::Range(1, kMaxJobs));
    cmd->add_flag("--force", force_, "replace a stored file of the same name whose content differs");
    cmd->add_flag("--dry-run", dryRun_, "check everything and say what would be written; write nothing");
    cmd->add_flag("--json", json_, "print one JSON object per line (type status, plan, error or summary)");
    list_.AddTo(*cmd, "files to back up");
    cmd->add_option("FILE", files_, "files to back up (stored under their base name)")->type_name("FILE");
    common_.AddTo(*cmd);
    SetExample(cmd,
               "kxmp backup --subclient 42 --stream 1 --metadata --jobs 4 /var/log/db/*.trn\n"
               "  find /var/log/db -name '*.trn' -print0 | kxmp backup --subclient 42 --files-from - --dry-run");
    return cmd;
  }

  int Run() override {
    const int status = RunBackup();
    if (status == kExitFailed || status == kExitNotFound) {
      std::string file;
      for (const BackupItem& item : items_) {
        if (item.outcome == Outcome::kFailed && file.empty()) file = item.name;
      }
      if (file.empty() && !files_.empty()) file = BaseName(files_.front());
      RaiseCommandFailed(subclient_, push_ ? "push" : "backup", file, out_.LastError());
    } else if (status == kExitOk && endFailed_) {
      RaiseCommandFailed(subclient_, push_ ? "push" : "backup", items_.front().name, out_.LastError());
    }
    return status;
  }

 private:
  // A database's archive command: one file, its stream's metadata, quiet on success.
  CLI::App* RegisterPush(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand(
        "push", "store one log file, listed in its stream's metadata: a database's archive command (quiet unless it fails)");
    cmd->add_option("--subclient", subclient_, "the subclient whose storage is used")->required()->check(kId);
    cmd->add_option("--stream", stream_, "the stream number (names StreamMetadata_<stream>.xml; default 0)")->check(kStreamNumber);
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_flag("--json", json_, "print one JSON object per line (type status, warning, error or summary)");
    cmd->add_option("FILE", files_, "the file to store (under its base name); the same content stored already is success")
        ->required()
        ->expected(1);
    common_.AddTo(*cmd);
    metadata_ = true;
    SetExample(cmd, "kxmp --home /var/lib/kxmp push --subclient 7 pg_wal/000000010000000000000003\n"
                    "  archive_command = '/usr/bin/kxmp --home /var/lib/kxmp push --subclient 7 %p'   # postgresql.conf");
    return cmd;
  }

  int RunBackup() {
    const std::string home = common_.Apply();
    if (int status = list_.ReadInto(files_, out_)) return status;
    if (files_.empty()) return out_.Fail(kExitUsage, "nothing to back up: give FILE or a --files-from list that names files");
    StartLibraryLog();
    if (!NamesAreDistinct()) return kExitUsage;
    const std::string closed = HomeAccessProblem(home, !dryRun_);
    if (!closed.empty()) return out_.Fail(kExitFailed, closed);
    StopSignals signals;
    const auto start = std::chrono::steady_clock::now();
    items_.assign(files_.size(), BackupItem());
    std::vector<BackupItem*> todo;
    for (size_t i = 0; i < files_.size(); ++i) {
      items_[i].source = files_[i];
      items_[i].name = BaseName(files_[i]);
      if (CheckSource(items_[i])) todo.push_back(&items_[i]);
    }

    int endStatus = kExitOk;
    if (!todo.empty()) endStatus = dryRun_ ? DryRun(todo) : BackUpWithFailover(todo);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Summary(seconds);
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    if (endStatus != kExitOk) return endStatus;
    for (const BackupItem& item : items_) {
      if (item.outcome == Outcome::kFailed || item.outcome == Outcome::kPending) return kExitFailed;
    }
    return kExitOk;
  }

  // Two sources stored under one name would replace each other: refused before anything
  // is written.
  bool NamesAreDistinct() {
    std::map<std::string, const std::string*> seen;
    for (const std::string& file : files_) {
      auto [at, inserted] = seen.emplace(BaseName(file), &file);
      if (!inserted && !at->first.empty()) {
        out_.Fail(kExitUsage, "[" + *at->second + "] and [" + file + "] would both be stored as [" + at->first +
                                  "]; nothing was backed up");
        return false;
      }
    }
    return true;
  }

  // Refuses a source without a name or that is not a regular file before any writer exists
  // (stat never blocks, unlike opening a FIFO); the worker checks the opened file again.
  bool CheckSource(BackupItem& item) {
    struct stat st {};
    if (item.name.empty()) {
      item.error = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No file name in [%s]", item.source.c_str());
    } else if (::stat(item.source.c_str(), &st) != 0) {
      const int e = errno;
      item.error = FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot open [%s]: %s", item.source.c_str(), std::strerror(e));
    } else if (!S_ISREG(st.st_mode)) {
      UniqueFd none;
      item.error = OpenSource(item.source, none, st);  // the same refusal the worker gives
      if (item.error.IsSuccess()) {                    // it became a regular file meanwhile
        item.size = static_cast<unsigned long long>(st.st_size);
        return true;
      }
    } else {
      item.size = static_cast<unsigned long long>(st.st_size);
      return true;
    }
    item.outcome = Outcome::kFailed;
    Status(item);
    return false;
  }

  // The subclient's reachable mount paths other than the writer's, with the writer's root
  // folder (a reader lists every reachable one), for the check of other copies of a name.
  std::vector<DataServerContextPtr> OtherMountPaths(DBLogBackupDataWriter& writer) {
    std::vector<DataServerContextPtr> others;
    DataServerContextPtr mine = writer.getDataServerContextPtrForBackup();
    if (!mine || OnlyMountPath(*mine)) return others;
    std::string root = rootFolder_;
    if (time_ != 0) FXPath::Append(root, std::to_string(static_cast<unsigned long long>(time_)));
    otherPaths_ = std::make_unique<DBLogBackupDataReader>(subclient_, false, root, nullptr);
    for (const DataServerContextPtr& c : otherPaths_->getContextList()) {
      if (c->getFSParams().host.hostName != mine->getFSParams().host.hostName || c->getMountPath() != mine->getMountPath()) {
        others.push_back(c);
      }
    }
    return others;
  }

  // Whether the catalog lists no mount path of the subclient, attached or detached, but the
  // writer's: then there is no other copy to look for, and no reader need open the writer's
  // mount path again (each context it opens costs round trips to a storage host). False when
  // the catalog cannot tell; the reader then asks it, or the cache, itself.
  bool OnlyMountPath(DataServerContext& mine) const {
    std::vector<catalog::AttachedMountPath> listed, detached;
    const catalog::CatalogAdmin catalog;
    if (catalog.ListAttachments(subclient_, listed).IsError() || catalog.ListDetached(subclient_, detached).IsError()) {
      return false;
    }
    listed.insert(listed.end(), detached.begin(), detached.end());
    for (const catalog::AttachedMountPath& a : listed) {
      if (a.mountPath.host != mine.getServerName() || a.mountPath.path != mine.getMountPath()) return false;
    }
    return true;
  }

  // A writer of the run; without create (a dry run) it opens the storage without making the
  // subclient's root folder or anything else there.
  std::unique_ptr<DBLogBackupDataWriter> NewWriter(bool create = true) {
    return std::make_unique<DBLogBackupDataWriter>(subclient_, fileMode_, time_, stream_, rootFolder_, &errors_, true,
                                                   create);
  }

  // The status of a run whose writer has no storage, said once; every file failed for it.
  int NoStorageFor(const std::vector<BackupItem*>& todo) {
    const int status = NoStorage(out_, subclient_, errors_.First());
    for (BackupItem* item : todo) Status(Fail(*item, "no storage"), false);
    return status;
  }

  // Where the run was meant to go: the mount path the cache names for backups, else the
  // subclient's first in the catalog (asked only then: without a cache the writer asks too).
  void NoteExpectedPlace() {
    if (fileMode_) return;
    CacheView cached;
    if (CacheView::Read(subclient_, cached) && !cached.entries.empty()) {
      // Backups start on the entry in use, which a failover moves off the primary.
      const int64_t inUse = cached.failoverCurrent;
      const MountPathInfo& entry =
          inUse > 0 && inUse < static_cast<int64_t>(cached.entries.size()) && !cached.entries[inUse].hostName.empty()
              ? cached.entries[inUse]
              : cached.entries[0];
      if (!entry.hostName.empty()) {
        expected_ = {entry.hostName, entry.mountPath};
        return;
      }
    }
    std::vector<catalog::AttachedMountPath> attached;
    if (catalog::CatalogAdmin().ListAttachments(subclient_, attached).IsError() || attached.empty()) return;
    const catalog::AttachedMountPath* first = &attached.front();
    for (const auto& a : attached) {
      if (a.kind == catalog::kKindPrimary) first = &a;
    }
    expected_ = {first->mountPath.host, first->mountPath.path};
  }

  // A run that had to fail over says where its files went, once, before them.
  void SayPlace(DBLogBackupDataWriter& writer) {
    DataServerContextPtr context = writer.getDataServerContextPtrForBackup();
    if (!context) return;
    place_ = {context->getServerName(), context->getMountPath()};
    if (expected_.first.empty() || expected_ == place_) return;
    failedOver_ = true;
    const std::string text = std::string(dryRun_ ? "would fail over" : "failed over") + " to storage host " +
                             place_.first + ", mount path " + place_.second + ": storage host " + expected_.first +
                             ", mount path " + expected_.second + " cannot be used";
    if (json_) {
      Output::PrintJson({{"type", "status"},
                         {"message", text},
                         {"failedOver", true},
                         {"host", place_.first},
                         {"mountPath", place_.second},
                         {"from", {{"host", expected_.first}, {"mountPath", expected_.second}}}});
    } else {
      std::printf("%s\n", Printable(text).c_str());
      std::fflush(stdout);
    }
  }

  // Opens the subclient's storage as the run would, without creating anything there, and
  // decides every file; the writer ends with nothing opened, so it writes no file (no
  // metadata, no cache file).
  int DryRun(const std::vector<BackupItem*>& todo) {
    NoteExpectedPlace();
    std::unique_ptr<DBLogBackupDataWriter> writer = NewWriter(false);
    if (!writer->isFileMode() && !writer->getDataServerContextPtrForBackup()) return NoStorageFor(todo);
    SayPlace(*writer);
    FileBackup backup(*writer, force_);
    backup.CheckAlso(OtherMountPaths(*writer));
    for (BackupItem* item : todo) {
      if (StopSignals::Stopping()) break;
      backup.Plan(*item);
      Status(*item);
    }
    return kExitOk;
  }

  // A storage host that fails during the run (it stops answering, its connection drops and
  // cannot be made again, its mount path goes away) fails the file being written and makes
  // every worker stop taking files; the writers of that round end their streams (what they
  // stored stays where it is), and the files not stored, the interrupted ones too, go through
  // new writers, whose contexts open where a failover would place them (the failed host is
  // not tried again in this run). Each round says where its files went.
  int BackUpWithFailover(const std::vector<BackupItem*>& todo) {
    dataserver::SetSftpDownPeriod(kRunLength);
    std::vector<BackupItem*> left = todo;
    int status = kExitOk;
    for (int round = 0;; ++round) {
      failedStorage_.clear();
      const int end = BackUp(left, round > 0);
      if (end != kExitOk) status = end;
      std::vector<BackupItem*> again;
      for (BackupItem* item : left) {
        if (item->outcome == Outcome::kPending && item->retry) again.push_back(item);
      }
      if (again.empty() || failedStorage_.empty() || round + 1 >= kMaxFailovers || StopSignals::Stopping()) {
        for (BackupItem* item : again) {
          item->outcome = Outcome::kFailed;  // no mount path was left for it
          Status(*item);
        }
        return status;
      }
      Say([&] {
        out_.Warning("storage host " + failedStorage_ + " failed during the run (" + failedReason_ + "); " +
                         std::to_string(again.size()) + " file(s) go to the next mount path",
                     {{"host", failedStorage_}, {"reason", failedReason_}, {"files", again.size()}});
      });
      for (BackupItem* item : again) item->retry = false;
      ++placesUsed_;
      left = again;
    }
  }

  // Whether a file's failure is its storage host's (the run fails over), not the file's.
  static bool StorageFailed(const CZoError& err) {
    for (int e : {ETIMEDOUT, ECONNRESET, ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EPROTO, ENODEV}) {
      if (FXErrorUtil::IsErrNo(err, e)) return true;
    }
    return false;
  }

  // Runs the workers over todo, then ends every writer's stream; the status of the end.
  // After a failover (again) a run without any storage left fails its files.
  int BackUp(const std::vector<BackupItem*>& todo, bool again = false) {
    const size_t jobs = std::min(static_cast<size_t>(jobs_), todo.size());
    // Each job may have a session of its own with a storage host reached over SFTP.
    dataserver::SetSftpSessionsPerHost(static_cast<int>(jobs));
    NoteExpectedPlace();
    // The first writer is made here; each other worker makes its own as it starts, so that
    // its session to the storage host opens while the first worker already stores files.
    // Before that, the others' sessions open while the first writer looks at the storage and
    // makes the root folder: a look as a dry run's writer takes (nothing made, nothing
    // reported), from threads of their own, so the session is open when its worker starts.
    Joined warmUp;
    for (size_t j = 1; j < jobs && !fileMode_; ++j) {
      warmUp.threads.emplace_back([this] {
        DBLogBackupDataWriter look(subclient_, false, time_, stream_, rootFolder_, nullptr, true, false);
      });
    }
    std::vector<std::unique_ptr<DBLogBackupDataWriter>> writers(jobs);
    writers[0] = NewWriter();
    DBLogBackupDataWriter& first = *writers[0];
    if (!first.isFileMode() && !first.getDataServerContextPtrForBackup()) {
      if (!again) return NoStorageFor(todo);
      for (BackupItem* item : todo) Status(Fail(*item, "no mount path is left after the failover"));
      return kExitFailed;
    }
    SayPlace(first);
    if (metadata_) first.enableWriteMetadata();
    const std::string place = PlaceOf(first);
    const std::vector<DataServerContextPtr> others = OtherMountPaths(first);

    unsigned long long total = 0;
    for (const BackupItem* item : todo) total += item->size;
    ProgressMeter meter("backed up", todo.size(), total);
    meter_ = &meter;
    std::atomic<size_t> next{0};
    storageFailed_ = false;
    auto work = [&](size_t index) {
      if (index > 0) {
        // Files are taken as the workers get to them: one that starts late may find none left.
        if (next.load() >= todo.size() || storageFailed_ || StopSignals::Stopping()) return;
        std::unique_ptr<DBLogBackupDataWriter> own = NewWriter();
        // A writer that got no storage, or other storage than the one the stream's documents
        // describe, stores nothing: the other workers take its share.
        const std::string why = StorageDiffers(*own, place);
        std::lock_guard<std::mutex> hold(output_);
        writers[index] = std::move(own);
        if (!why.empty()) {
          // After a storage failure of this round its writer is on the next mount path: the
          // round's warning says so already.
          if (!storageFailed_) {
            Say([&] { out_.Warning("a worker stores nothing: " + why + "; the other workers take its files"); });
          }
          return;
        }
      }
      DBLogBackupDataWriter& writer = *writers[index];
      FileBackup backup(writer, force_);
      backup.CheckAlso(others);
      for (size_t i = next++; i < todo.size() && !StopSignals::Stopping(); i = next++) {
        BackupItem& item = *todo[i];
        item.writer = index;
        if (storageFailed_) {
          item.outcome = Outcome::kPending;  // not taken up: it goes to the next mount path
          item.retry = true;
          continue;
        }
        backup.Run(item, &meter);
        if (item.outcome == Outcome::kFailed && StopSignals::Stopping() && FXErrorUtil::IsErrNo(item.error, EINTR)) {
          item.outcome = Outcome::kPending;  // stopped partway: nothing of it is stored
          continue;
        }
        if (item.outcome == Outcome::kFailed && !writer.isFileMode() && StorageFailed(item.error)) {
          // Interrupted by its storage host: it goes to the next mount path with the rest.
          DataServerContextPtr context = writer.getDataServerContextPtrForBackup();
          std::lock_guard<std::mutex> hold(output_);
          if (failedStorage_.empty() && context) {
            failedStorage_ = context->getFSParams().host.hostName + " " + context->getMountPath();
            failedReason_ = ErrorText(item.error);
          }
          storageFailed_ = true;
          item.outcome = Outcome::kPending;
          item.retry = true;
          meter.FileDone(item.size, 0);
          continue;
        }
        if (item.outcome == Outcome::kStored) {
          DataServerContextPtr context = writer.getDataServerContextPtrForBackup();
          if (context) item.where = context->getFSParams().host.hostName + " " + context->getMountPath();
        }
        Status(item);
        meter.FileDone(item.size, item.outcome == Outcome::kAlreadyStored ? 0 : item.bytes);
      }
    };
    if (jobs == 1) {
      work(0);
    } else {
      Joined workers;
      for (size_t j = 0; j < jobs; ++j) workers.threads.emplace_back(work, j);
    }
    const bool ended = EndStreams(writers, todo);
    meter_ = nullptr;
    if (ended) return kExitOk;
    // The host that failed during the round cannot take the records and metadata of what was
    // stored on it before; those files stay stored, and the run already warned of the host.
    if (storageFailed_) return kExitOk;
    endFailed_ = true;
    return push_ && AllStored() ? kExitOk : kExitFailed;
  }

  // Threads joined when the scope ends, however it ends.
  struct Joined {
    std::vector<std::thread> threads;
    ~Joined() {
      for (std::thread& t : threads) t.join();
    }
  };

  bool AllStored() const {
    for (const BackupItem& item : items_) {
      if (item.outcome != Outcome::kStored && item.outcome != Outcome::kAlreadyStored) return false;
    }
    return true;
  }

  // A failure of the stream's end: said as a warning when the run's files are stored anyway
  // and the run is a push.
  void EndFailed(const std::string& message, const Json& fields = Json::object()) {
    Say([&] {
      if (storageFailed_) {
        out_.Warning(message + "; the files stored on " + failedStorage_ +
                         " before it failed are kept there and read as unverified",
                     fields);
      } else if (push_ && AllStored()) {
        out_.Warning(message + "; the file itself is stored (push it again to list it)", fields);
      } else {
        out_.Error(message, fields);
      }
    });
  }

  // Why a worker's writer may not write: every writer writes to the one place the stream's
  // documents describe. Empty when it may.
  static std::string StorageDiffers(DBLogBackupDataWriter& w, const std::string& place) {
    if (!w.isFileMode() && !w.getDataServerContextPtrForBackup()) return "its writer got no mount path";
    if (PlaceOf(w) != place) return "its writer was given other storage (" + PlaceOf(w) + ", not " + place + ")";
    return std::string();
  }

  // Where a writer stores: storage host, mount path and root folder (the root folder alone in
  // file-mode).
  static std::string PlaceOf(DBLogBackupDataWriter& w) {
    DataServerContextPtr c = w.getDataServerContextPtrForBackup();
    if (!c) return w.getRootFolder();
    return c->getFSParams().host.hostName + " " + c->getMountPath() + " " + w.getRootFolder();
  }

  // Ends the streams: the other workers' writers first (data-path cache), then the first
  // writer, which merges the file records of every worker into the records document and lists
  // every file of the run in the metadata document, each document changed once for the run
  // (every change costs a lock, a read and a replace on the storage host). Reports each failure.
  bool EndStreams(std::vector<std::unique_ptr<DBLogBackupDataWriter>>& writers, const std::vector<BackupItem*>& todo) {
    bool ok = true;
    DBLogBackupDataWriter& stream = *writers[0];
    std::vector<bool> taken(writers.size(), false);
    taken[0] = true;
    for (size_t j = 1; j < writers.size(); ++j) {
      if (!writers[j]) continue;  // its worker never started
      // Refused (a file still open, memory): that writer merges its own checksums, and its
      // files are listed one by one below.
      taken[j] = stream.takeRecordsOf(*writers[j]).IsSuccess();
      ok = End(*writers[j]) && ok;
    }
    for (BackupItem* item : todo) {
      if (!metadata_) break;
      if (item->outcome == Outcome::kAlreadyStored || (item->outcome == Outcome::kStored && !taken[item->writer])) {
        // The files the writers committed are listed already; files stored by an earlier run
        // join them.
        CZoError err = stream.addBackedupFile(item->name, item->fileTime);
        if (err.IsError()) {
          ok = false;
          EndFailed(item->name + " is not listed in the stream metadata: " + ErrorText(err), {{"name", item->name}});
        }
      }
    }
    return End(stream) && ok;
  }

  bool End(DBLogBackupDataWriter& writer) {
    CZoError err = writer.finish();
    if (err.IsSuccess()) return true;
    EndFailed(ErrorText(err));
    return false;
  }

  static BackupItem& Fail(BackupItem& item, const std::string& why) {
    item.outcome = Outcome::kFailed;
    item.error = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "%s", why.c_str());
    return item;
  }

  // Writes whole lines, above the progress meter while one is drawn.
  void Say(const std::function<void()>& print) {
    if (meter_ != nullptr) {
      meter_->Above(print);
    } else {
      print();
    }
  }

  // One line per file, as each ends (workers finish in any order); a failure's reason goes
  // to standard error (with --json: an error line) unless it was said already.
  void Status(const BackupItem& item, bool sayWhy = true) {
    std::lock_guard<std::mutex> hold(output_);
    Say([&] { PrintStatus(item, sayWhy); });
  }

  // A push says nothing of what went well unless -v: an archive command's output fills the
  // database's log.
  bool Quiet() const { return push_ && !json_ && Globals().verbose == 0; }

  void PrintStatus(const BackupItem& item, bool sayWhy) {
    const bool ok = item.outcome != Outcome::kFailed;
    if (ok && Quiet()) return;
    const bool already = item.outcome == Outcome::kAlreadyStored;
    if (json_ && dryRun_ && ok) {
      Output::PrintJson({{"type", "plan"},
                         {"file", item.source},
                         {"name", item.name},
                         {"bytes", item.bytes},
                         {"action", already ? "none" : item.replaces ? "replace" : "store"}});
    } else if (json_) {
      Json j = {{"type", "status"}, {"file", item.source}, {"name", item.name}, {"ok", ok}};
      if (ok) j["bytes"] = item.bytes;
      if (!item.where.empty()) {
        j["host"] = item.where.substr(0, item.where.find(' '));
        j["mountPath"] = item.where.substr(item.where.find(' ') + 1);
      }
      if (already) j["alreadyStored"] = true;
      if (ok && item.replaces) j["replaced"] = true;
      Output::PrintJson(j);
    } else if (already) {
      std::printf("%s is already stored as %s (%llu bytes, same content): nothing %s\n", Printable(item.source).c_str(),
                  Printable(item.name).c_str(), item.bytes, dryRun_ ? "to write" : "written");
    } else if (dryRun_ && ok) {
      std::printf("would %s %s as %s (%llu bytes)\n", item.replaces ? "replace the stored copy with" : "back up",
                  Printable(item.source).c_str(), Printable(item.name).c_str(), item.bytes);
    } else if (ok) {
      std::printf("backed up %s as %s (%llu bytes)%s\n", Printable(item.source).c_str(), Printable(item.name).c_str(),
                  item.bytes, placesUsed_ > 1 ? (" on " + Printable(item.where)).c_str() : "");
    }
    if (!ok && sayWhy) {
      out_.Error(item.source + ": " + ErrorText(item.error) + PermissionNote(item.error),
                 {{"file", item.source}, {"name", item.name}});
    }
    std::fflush(stdout);
  }

  // How many of the run's stored files went where ("<storage host> <mount path>").
  Json Places() const {
    Json places = Json::object();
    for (const BackupItem& item : items_) {
      if (item.outcome != Outcome::kStored || item.where.empty()) continue;
      places[item.where] = places.value(item.where, 0) + 1;
    }
    return places;
  }

  void Summary(double seconds) {
    int failed = 0, already = 0, pending = 0, would = 0;
    unsigned long long bytes = 0;
    for (const BackupItem& item : items_) {
      if (item.outcome == Outcome::kFailed) ++failed;
      if (item.outcome == Outcome::kPending) ++pending;
      if (item.outcome == Outcome::kAlreadyStored) ++already;
      if (item.outcome == Outcome::kWouldStore) ++would;
      if (item.outcome == Outcome::kStored || item.outcome == Outcome::kWouldStore) bytes += item.bytes;
    }
    const bool interrupted = StopSignals::Stopping();
    SaySkippedStorageHosts(push_ ? "push" : "backup");
    if (Quiet()) return;  // a failure was said on its own line
    const double rate = seconds > 0 && !dryRun_ ? static_cast<double>(bytes) / (1 << 20) / seconds : 0.0;
    const int files = static_cast<int>(items_.size());
    if (json_) {
      Json j = {{"type", "summary"},  {"files", files},       {"failed", failed},        {"bytes", bytes},
                {"seconds", seconds}, {"mibPerSecond", rate}, {"alreadyStored", already}};
      if (dryRun_) {
        j["dryRun"] = true;
        j["wouldStore"] = would;
      }
      if (interrupted) {
        j["interrupted"] = true;
        j["notBackedUp"] = pending;
      }
      if (!place_.first.empty()) {
        j["host"] = place_.first;
        j["mountPath"] = place_.second;
        j["failedOver"] = failedOver_;
      }
      if (placesUsed_ > 1) j["storedOn"] = Places();
      Output::PrintJson(j);
    } else if (dryRun_) {
      std::printf("dry run: %d files, %d failed, %d would be backed up (%llu bytes), %d already stored; nothing was "
                  "written%s\n",
                  files, failed, would, bytes, already, interrupted ? ", interrupted" : "");
    } else {
      std::string extra;
      if (already > 0) extra += ", " + std::to_string(already) + " already stored";
      if (interrupted) extra += ", interrupted: " + std::to_string(pending) + " not backed up";
      if (placesUsed_ > 1) {
        extra += "; stored on";
        for (const auto& [where, count] : Places().items()) extra += " " + where + ": " + std::to_string(count.get<int>()) + ",";
        extra.pop_back();
      }
      std::printf("%d files, %d failed, %llu bytes in %.3f s (%.1f MiB/s)%s\n", files, failed, bytes, seconds, rate,
                  extra.c_str());
    }
    std::fflush(stdout);
  }

  const bool push_;
  uint64_t subclient_ = 0;
  int32_t stream_ = 0;
  int64_t time_ = 0;
  std::string rootFolder_;
  bool fileMode_ = false;
  bool metadata_ = false;
  bool force_ = false;
  bool dryRun_ = false;
  int jobs_ = 1;
  bool& json_ = Globals().json;
  std::vector<std::string> files_;
  FileListOption list_;
  HomeOption common_;
  Output out_{push_ ? "push" : "backup", json_};
  ErrorPrinter errors_{push_ ? "kxmp push" : "kxmp backup"};
  std::vector<BackupItem> items_;
  std::unique_ptr<DBLogBackupDataReader> otherPaths_;  // holds the contexts of OtherMountPaths
  std::mutex output_;
  ProgressMeter* meter_ = nullptr;  // while the files are copied
  std::pair<std::string, std::string> expected_;  // storage host and mount path meant
  std::pair<std::string, std::string> place_;     // and used
  bool failedOver_ = false;
  bool endFailed_ = false;  // the stream's end (metadata, cache file) failed
  // A failover during the run: the storage host and mount path that failed, why, and whether
  // the workers stop taking files.
  static constexpr int kRunLength = 24 * 3600;  // a failed host is not tried again in the run
  static constexpr int kMaxFailovers = 8;
  std::atomic<bool> storageFailed_{false};
  std::string failedStorage_;
  std::string failedReason_;
  int placesUsed_ = 1;
};

}  // namespace

std::unique_ptr<Command> MakeBackupCommand() { return std::make_unique<BackupCommand>(false); }
std::unique_ptr<Command> MakePushCommand() { return std::make_unique<BackupCommand>(true); }

}  // namespace kxmp::cli
