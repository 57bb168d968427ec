// kxmp verify: proves a subclient's stored logs whole. Every stored log on every mount path
// that can be reached is read once, its SHA-256 computed as it is read (beside the reads, on a
// thread of its own) and compared with the record the writer stored beside it. Per file: ok,
// corrupt (checksum or size differs from the record), missing (recorded, absent), unverified
// (stored without a record), unreadable (a read failed); per name held by several mount paths
// with different content: differs; per mount path: unreachable. With --since only the files
// stored after a time are checked (for a nightly run).
//
// Exit status: 0 everything checked is ok (or unverified), 1 anything corrupt, missing,
// differing or unreadable, a mount path unreachable or a records document damaged, 2 usage,
// 3 the subclient stores nothing (or is not in the catalog), 130/143 interrupted. A corrupt,
// missing or unreadable file raises the operator event 0x4A00057C (throttled).

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CacheView.h"
#include "Command.h"
#include "FailureEvent.h"
#include "LogBackupCli.h"
#include "Progress.h"
#include "StopSignals.h"
#include "StoredLogs.h"
#include "TimeValues.h"
#include "Validators.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContext.h"
#include "outside/digest/Sha256Pipeline.h"
#include "kxmp/ReadPlaces.h"

namespace kxmp::cli {
namespace {

constexpr int kMaxVerifyJobs = 64;

enum class State { kPending, kOk, kCorrupt, kMissing, kUnverified, kUnreadable };

const char* Name(State s) {
  switch (s) {
    case State::kOk: return "ok";
    case State::kCorrupt: return "corrupt";
    case State::kMissing: return "missing";
    case State::kUnverified: return "unverified";
    case State::kUnreadable: return "unreadable";
    case State::kPending: break;
  }
  return "pending";
}

// One stored log (or one missing one) on one mount path.
struct Item {
  size_t place;
  std::string path;
  const RecordAt* record;  // null: stored without one
  State state = State::kPending;
  uint64_t bytes = 0;
  std::string sha256;
  std::string why;
};

class VerifyCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand(
        "verify", "read every stored log of a subclient on every mount path and check it against its checksum record");
    cmd->add_option("--subclient", subclient_, "the subclient whose stored logs are checked")->required()->check(kId);
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_option("--since", since_,
                    "check only what was stored after TIME: seconds since the epoch, a date (2024-05-01, "
                    "2024-05-01T22:00, Z for UTC) or a duration ago (36h, 1d)")
        ->type_name("TIME");
    cmd->add_option("--jobs", jobs_, "files read at once (default 1)")->check(CLI::Range(1, kMaxVerifyJobs));
    cmd->add_flag("--json", json_, "print one JSON object per line (type file, mountPath, records or summary)");
    common_.AddTo(*cmd);
    cmd->footer(
        "Per file: ok, corrupt (size or SHA-256 differs from its record), missing (recorded, absent), unverified\n"
        "(stored without a record), unreadable (a read failed); differs: one name, different content on two mount\n"
        "paths; unreachable: a mount path that did not answer.\n"
        "Exit status: 0 everything checked is ok or unverified; 1 anything corrupt, missing, differing or\n"
        "unreadable, an unreachable mount path or a damaged records document; 3 the subclient stores nothing.\n\n"
        "Example:\n"
        "  kxmp verify --subclient 42 --jobs 4\n"
        "  kxmp verify --subclient 42 --since 1d --json   # nightly: what was stored in the last day");
    return cmd;
  }

  int Run() override {
    const std::string home = common_.Apply();
    time_t since = 0;
    if (!since_.empty() && !ParseTime(since_, ::time(nullptr), since)) {
      return out_.Fail(kExitUsage, "--since: [" + since_ + "] is not a time (seconds since the epoch, 2024-05-01, "
                                   "2024-05-01T22:00[:SS][Z]) or a duration (36h, 1d)");
    }
    StartLibraryLog();
    const std::string closed = HomeAccessProblem(home, false);
    if (!closed.empty()) return out_.Fail(kExitFailed, closed);
    StopSignals signals;
    const auto start = std::chrono::steady_clock::now();

    CZoError err = ReadEveryPlace(static_cast<unsigned long>(subclient_), rootFolder_, places_, logs_);
    if (err.IsError()) return out_.Fail(kExitFailed, ErrorText(err) + PermissionNote(err));
    if (places_.empty()) {
      int status = kExitFailed;
      return out_.Fail(kExitNotFound, NoStorageReason(subclient_, err, status) + ": it stores nothing");
    }
    bool any = false;
    for (size_t p = 0; p < places_.size(); ++p) {
      service::ReadPlace& place = places_[p];
      if (!place.context) {
        ++unreachable_;
        Unreachable(place);
        continue;
      }
      if (!place.holdsRoot) continue;
      any = true;
      for (const std::string& doc : logs_[p].damaged) {
        ++damaged_;
        Damaged(place, doc);
      }
      Collect(p, since);
    }
    if (!any && unreachable_ == 0) {
      return out_.Fail(kExitNotFound, "subclient " + std::to_string(subclient_) + " stores nothing on its " +
                                          std::to_string(places_.size()) + " mount path(s)");
    }
    CheckAll();
    Differs();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Summary(seconds);
    RaiseEvent();
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    return Failed() ? kExitFailed : kExitOk;
  }

 private:
  std::string Where(size_t place) const {
    return places_[place].entry.hostName + ":" + places_[place].entry.mountPath;
  }

  // The items of one mount path: its files (those stored since `since`) and the files its
  // records name that are not there.
  void Collect(size_t p, time_t since) {
    const StoredLogs& logs = logs_[p];
    DataServerContext* context = places_[p].context.get();
    std::set<std::string> present(logs.files.begin(), logs.files.end());
    for (const std::string& path : logs.files) {
      if (since != 0 && BackupTimeOf(context, path, logs) < since) continue;
      auto it = logs.records.find(path);
      items_.push_back(Item{p, path, it == logs.records.end() ? nullptr : &it->second});
    }
    for (const auto& [path, at] : logs.records) {
      // An expiry that removed the file has not yet dropped its record: not missing.
      if (present.count(path) != 0 || at.record.expiring || (since != 0 && at.record.time < since)) continue;
      Item item{p, path, &at};
      item.state = State::kMissing;
      item.why = "recorded (" + std::to_string(at.record.size) + " bytes, stored " + UtcText(at.record.time) +
                 "), not on the mount path";
      items_.push_back(item);
    }
  }

  // Reads every pending item on jobs_ threads.
  void CheckAll() {
    uint64_t expected = 0;
    size_t toRead = 0;
    for (const Item& item : items_) {
      if (item.state != State::kPending) continue;
      ++toRead;
      if (item.record != nullptr) expected += item.record->record.size;
    }
    ProgressMeter meter("verified", toRead, expected);
    meter_ = &meter;
    for (Item& item : items_) {
      if (item.state != State::kPending) Report(item);  // missing: known without a read
    }
    std::atomic<size_t> next{0};
    auto work = [&] {
      digest::Sha256Pipeline sha;
      for (size_t i = next++; i < items_.size() && !StopSignals::Stopping(); i = next++) {
        Item& item = items_[i];
        if (item.state != State::kPending) continue;
        Check(item, sha);
        if (item.state == State::kPending) continue;  // stopped partway
        Report(item);
        meter.FileDone(item.record != nullptr ? item.record->record.size : 0, item.bytes);
      }
    };
    const size_t jobs = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(jobs_), toRead));
    if (jobs == 1) {
      work();
    } else {
      std::vector<std::thread> threads;
      for (size_t j = 0; j < jobs; ++j) threads.emplace_back(work);
      for (std::thread& t : threads) t.join();
    }
    meter_ = nullptr;
  }

  // One read of the file through the pipeline, then the judgement.
  void Check(Item& item, digest::Sha256Pipeline& sha) {
    DataServerContext* context = places_[item.place].context.get();
    CFileInterface* handle = nullptr;
    CZoError err = AbstractMountingPointDriver::AMOpenFile(context, item.path, O_RDONLY, 0, 0, handle);
    if (err.IsSuccess()) {
      sha.Start();
      for (;;) {
        if (StopSignals::Stopping()) {
          AbstractMountingPointDriver::AMCloseFile(context, handle);
          return;
        }
        char* piece = sha.Piece(kCopyPiece);
        unsigned int n = 0;
        err = piece != nullptr ? handle->Read(piece, kCopyPiece, &n)
                               : FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Out of memory");
        if (err.IsError() || n == 0) break;
        sha.Add(piece, n);
        if (meter_ != nullptr) meter_->AddBytes(n);
      }
      CZoError closed = AbstractMountingPointDriver::AMCloseFile(context, handle);
      if (err.IsSuccess()) err = closed;
    }
    digest::Sha256Digest digest;
    if (err.IsSuccess()) err = sha.Finish(digest);
    item.bytes = sha.bytes();
    if (err.IsError()) {
      item.state = State::kUnreadable;
      item.why = ErrorText(err);
      return;
    }
    item.sha256 = digest.Hex();
    Judge(item, digest);
  }

  void Judge(Item& item, const digest::Sha256Digest& digest) {
    if (item.record == nullptr) {
      item.state = State::kUnverified;
      return;
    }
    auto matches = [&](const logbackup::FileRecord& r) { return r.size == item.bytes && r.sha256 == digest; };
    logbackup::FileRecord record = item.record->record;
    if (matches(record)) {
      item.state = State::kOk;
      return;
    }
    // Replaced (with its record) since the records were read? Judged on them afresh.
    logbackup::FileRecords now;
    bool exists = false;
    const std::string name = item.path.substr(RecordPath(item.record->folder, "").size());
    if (logbackup::ReadRecords(places_[item.place].context.get(), item.record->folder, now, exists).IsSuccess()) {
      const logbackup::FileRecord* fresh = now.Find(name);
      if (fresh == nullptr || !fresh->SameContent(record)) {
        item.state = fresh != nullptr && matches(*fresh) ? State::kOk : State::kUnverified;
        if (item.state == State::kUnverified) item.why = "it was replaced while it was read";
        return;
      }
    }
    if (record.expiring) {
      // The record may be of a version an unfinished expiry removed.
      item.state = State::kUnverified;
      item.why = "its record is of a file being expired";
      return;
    }
    item.state = State::kCorrupt;
    item.why = record.size != item.bytes
                   ? "its record says " + std::to_string(record.size) + " bytes, " + std::to_string(item.bytes) + " were read"
                   : "its SHA-256 is " + item.sha256 + ", the record says " + record.sha256.Hex();
  }

  // Copies of one name on several mount paths whose content differs.
  void Differs() {
    std::map<std::string, std::vector<const Item*>> byPath;
    for (const Item& item : items_) {
      if (item.state == State::kOk || item.state == State::kUnverified) byPath[item.path].push_back(&item);
    }
    for (const auto& [path, copies] : byPath) {
      std::set<std::string> contents;
      for (const Item* c : copies) contents.insert(c->sha256);
      if (contents.size() < 2) continue;
      ++differs_;
      Say([&] {
        if (json_) {
          Json list = Json::array();
          for (const Item* c : copies) {
            list.push_back({{"host", places_[c->place].entry.hostName},
                            {"mountPath", places_[c->place].entry.mountPath},
                            {"bytes", c->bytes},
                            {"sha256", c->sha256}});
          }
          Output::PrintJson({{"type", "file"}, {"status", "differs"}, {"path", path}, {"copies", list}});
          return;
        }
        std::string text = "differs\t" + Printable(path);
        for (const Item* c : copies) text += "\t" + Printable(Where(c->place)) + " " + c->sha256.substr(0, 16);
        std::printf("%s\n", text.c_str());
      });
    }
  }

  void Report(const Item& item) {
    std::lock_guard<std::mutex> hold(output_);
    Say([&] {
      const service::ReadPlace& place = places_[item.place];
      if (json_) {
        Json j = {{"type", "file"},
                  {"status", Name(item.state)},
                  {"host", place.entry.hostName},
                  {"mountPath", place.entry.mountPath},
                  {"path", item.path},
                  {"bytes", item.state == State::kMissing ? item.record->record.size : item.bytes}};
        if (!item.sha256.empty()) j["sha256"] = item.sha256;
        if (item.record != nullptr) {
          j["recordedSha256"] = item.record->record.sha256.Hex();
          j["stored"] = UtcText(item.record->record.time);
        }
        if (!item.why.empty()) j["why"] = item.why;
        Output::PrintJson(j);
      } else {
        std::printf("%s\t%s\t%s\t%s%s\n", Name(item.state), Printable(place.entry.hostName).c_str(),
                    Printable(place.entry.mountPath).c_str(), Printable(item.path).c_str(),
                    item.why.empty() ? "" : ("\t" + Printable(item.why)).c_str());
      }
      std::fflush(stdout);
    });
  }

  void Unreachable(const service::ReadPlace& place) {
    if (json_) {
      Output::PrintJson({{"type", "mountPath"},
                         {"status", "unreachable"},
                         {"host", place.entry.hostName},
                         {"mountPath", place.entry.mountPath},
                         {"why", place.why}});
    } else {
      std::printf("unreachable\t%s\t%s\t\t%s\n", Printable(place.entry.hostName).c_str(),
                  Printable(place.entry.mountPath).c_str(), Printable(place.why).c_str());
    }
    std::fflush(stdout);
  }

  void Damaged(const service::ReadPlace& place, const std::string& what) {
    out_.Error("the records document of " + place.entry.hostName + ":" + place.entry.mountPath + " " + what +
                   ": the files it records read as unverified",
               {{"host", place.entry.hostName}, {"mountPath", place.entry.mountPath}});
  }

  size_t Count(State s) const {
    size_t n = 0;
    for (const Item& item : items_) n += item.state == s ? 1 : 0;
    return n;
  }

  bool Failed() const {
    return Count(State::kCorrupt) + Count(State::kMissing) + Count(State::kUnreadable) + differs_ + unreachable_ +
               damaged_ !=
           0;
  }

  void Summary(double seconds) {
    uint64_t bytes = 0;
    size_t files = 0;
    for (const Item& item : items_) {
      bytes += item.bytes;
      if (item.state != State::kPending) ++files;
    }
    const double rate = seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0.0;
    const bool interrupted = StopSignals::Stopping();
    if (json_) {
      Json j = {{"type", "summary"},
                {"files", files},
                {"ok", Count(State::kOk)},
                {"corrupt", Count(State::kCorrupt)},
                {"missing", Count(State::kMissing)},
                {"unverified", Count(State::kUnverified)},
                {"unreadable", Count(State::kUnreadable)},
                {"differs", differs_},
                {"unreachable", unreachable_},
                {"damagedRecords", damaged_},
                {"bytes", bytes},
                {"seconds", seconds},
                {"mibPerSecond", rate}};
      if (interrupted) j["interrupted"] = true;
      Output::PrintJson(j);
    } else {
      std::printf("%zu files: %zu ok, %zu corrupt, %zu missing, %zu unverified, %zu unreadable, %zu differ; %zu mount "
                  "path(s) unreachable; %llu bytes in %.3f s (%.1f MiB/s)%s\n",
                  files, Count(State::kOk), Count(State::kCorrupt), Count(State::kMissing), Count(State::kUnverified),
                  Count(State::kUnreadable), differs_, unreachable_, static_cast<unsigned long long>(bytes), seconds,
                  rate, interrupted ? ", interrupted" : "");
    }
    std::fflush(stdout);
  }

  void RaiseEvent() {
    for (const Item& item : items_) {
      if (item.state == State::kCorrupt || item.state == State::kMissing || item.state == State::kUnreadable) {
        RaiseStoredFileDamaged(subclient_, Where(item.place), item.path, Name(item.state), item.why);
        return;
      }
    }
  }

  // Writes whole lines, above the progress meter while one is drawn.
  void Say(const std::function<void()>& print) {
    if (meter_ != nullptr) {
      meter_->Above(print);
    } else {
      print();
    }
  }

  uint64_t subclient_ = 0;
  std::string rootFolder_;
  std::string since_;
  int jobs_ = 1;
  bool& json_ = Globals().json;
  HomeOption common_;
  Output out_{"verify", json_};
  std::vector<service::ReadPlace> places_;
  std::vector<StoredLogs> logs_;  // per place
  std::vector<Item> items_;
  size_t differs_ = 0;
  size_t unreachable_ = 0;
  size_t damaged_ = 0;
  std::mutex output_;
  ProgressMeter* meter_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> MakeVerifyCommand() { return std::make_unique<VerifyCommand>(); }

}  // namespace kxmp::cli
