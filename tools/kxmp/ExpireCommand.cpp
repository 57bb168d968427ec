// kxmp expire: removes a subclient's stored logs older than a cut-off, on every mount path
// that can be reached, with their records and their entries in the stream metadata
// (logbackup/Expiry.h: safe beside backups on this and other machines, crash-safe).
//
// Which files go is one selection over every copy of every stored log: a copy goes when it
// meets every criterion (a backup time before the cut-off; a name that sorts before --before,
// as a database's archive is cleaned up to the oldest segment a kept base backup needs) and
// its name is not among the --keep-last newest.
//
// Exit status: 0 done (also: nothing old enough), 1 a file or document that could not be
// removed or changed, or a mount path that could not be reached, 2 usage, 3 the subclient
// stores nothing (or is not in the catalog), 130/143 interrupted.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CacheView.h"
#include "Command.h"
#include "LogBackupCli.h"
#include "StopSignals.h"
#include "StoredLogs.h"
#include "TimeValues.h"
#include "Validators.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/Expiry.h"
#include "kxmp/ReadPlaces.h"

namespace kxmp::cli {
namespace {

// One copy of a stored log.
struct Copy {
  size_t place;
  std::string path;    // below the root folder, "/sub/name"
  time_t time;         // backup time: its record's, else its modification time
  std::string folder;  // of the records document that records it (its own folder without one)
};

using Criterion = std::function<bool(const Copy&)>;

class ExpireCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand(
        "expire", "remove a subclient's stored logs older than a cut-off, with their records and metadata entries");
    cmd->add_option("--subclient", subclient_, "the subclient whose stored logs are expired")->required()->check(kId);
    cmd->add_option("--older-than", olderThan_,
                    "remove what was backed up longer ago than DURATION: a number with s, m, h or d (14d, 36h, 90s)")
        ->type_name("DURATION");
    cmd->add_option("--before", before_,
                    "remove stored files whose names sort before NAME (byte order), such as the oldest log segment a "
                    "kept base backup needs")
        ->type_name("NAME");
    cmd->add_option("--keep-last", keepLast_, "keep the newest K stored logs whatever their age")->check(kNonNegative);
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_flag("--dry-run", dryRun_, "say what would be removed; remove nothing");
    cmd->add_flag("--json", json_, "print one JSON object per line (type expired, kept, plan, error or summary)");
    common_.AddTo(*cmd);
    cmd->footer(
        "Files being written are never removed, nor anything backed up or modified after the cut-off; it runs\n"
        "safely beside backups of the subclient on this and other machines, and one that is stopped part-way\n"
        "leaves every remaining file with its record and metadata entry (the next run finishes its work).\n\n"
        "At least one of --older-than and --before is given; with both, a file goes when it meets both.\n\n"
        "Examples:\n"
        "  kxmp expire --subclient 42 --older-than 14d --keep-last 100 --dry-run\n"
        "  kxmp expire --subclient 7 --before 000000010000000000000010 --dry-run");
    return cmd;
  }

  int Run() override {
    const std::string home = common_.Apply();
    time_t age = 0;
    if (olderThan_.empty() && before_.empty()) {
      return out_.Fail(kExitUsage, "say what to expire: --older-than DURATION, --before NAME, or both");
    }
    if (!olderThan_.empty() && !ParseDuration(olderThan_, age)) {
      return out_.Fail(kExitUsage, "--older-than: [" + olderThan_ + "] is not a duration (a number with s, m, h or d: "
                                   "14d, 36h, 90s)");
    }
    if (!before_.empty() && before_.find('/') != std::string::npos) {
      return out_.Fail(kExitUsage, "--before: [" + before_ + "] must be a stored file's name, without a folder");
    }
    // Without an age, what is modified once the run has started is still never removed.
    cutoff_ = ::time(nullptr) - age;
    StartLibraryLog();
    const std::string closed = HomeAccessProblem(home, !dryRun_);
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
        ++failed_;
        out_.Error(Where(p) + " cannot be reached: " + place.why,
                   {{"host", place.entry.hostName}, {"mountPath", place.entry.mountPath}});
        continue;
      }
      if (!place.holdsRoot) continue;
      any = true;
      for (const std::string& path : logs_[p].files) {
        copies_.push_back(Copy{p, path, BackupTimeOf(place.context.get(), path, logs_[p]), FolderOf(p, path)});
      }
    }
    if (!any && failed_ == 0) {
      return out_.Fail(kExitNotFound, "subclient " + std::to_string(subclient_) + " stores nothing on its " +
                                          std::to_string(places_.size()) + " mount path(s)");
    }

    const std::vector<const Copy*> chosen = Select();
    if (dryRun_) {
      for (const Copy* c : chosen) Planned(*c);
    } else {
      Remove(chosen);
      FinishEarlierRuns();
    }
    Summary(chosen.size(), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    return failed_ == 0 ? kExitOk : kExitFailed;
  }

 private:
  // What a copy must meet to go.
  std::vector<Criterion> Criteria() const {
    const time_t cutoff = cutoff_;
    std::vector<Criterion> criteria = {[cutoff](const Copy& c) { return c.time >= 0 && c.time < cutoff; }};
    if (!before_.empty()) {
      const std::string before = before_;
      criteria.push_back([before](const Copy& c) { return c.path.substr(c.path.rfind('/') + 1) < before; });
    }
    return criteria;
  }

  // The copies to remove: every criterion met, and not a copy of the newest names kept.
  std::vector<const Copy*> Select() const {
    std::map<std::string, time_t> newest;  // name -> its newest copy's backup time
    for (const Copy& c : copies_) {
      auto [it, fresh] = newest.emplace(c.path, c.time);
      if (!fresh) it->second = std::max(it->second, c.time);
    }
    std::vector<std::pair<time_t, std::string>> byTime;
    for (const auto& [path, time] : newest) byTime.emplace_back(time, path);
    std::sort(byTime.begin(), byTime.end(), std::greater<>());
    std::set<std::string> kept;
    for (size_t i = 0; i < byTime.size() && i < static_cast<size_t>(keepLast_); ++i) kept.insert(byTime[i].second);
    const std::vector<Criterion> criteria = Criteria();
    std::vector<const Copy*> chosen;
    for (const Copy& c : copies_) {
      if (kept.count(c.path) != 0) continue;
      if (std::all_of(criteria.begin(), criteria.end(), [&](const Criterion& meets) { return meets(c); })) {
        chosen.push_back(&c);
      }
    }
    return chosen;
  }

  // Each records document's copies removed together (its lock held per batch).
  void Remove(const std::vector<const Copy*>& chosen) {
    std::map<std::pair<size_t, std::string>, std::vector<const Copy*>> groups;
    for (const Copy* c : chosen) groups[{c->place, c->folder}].push_back(c);
    for (const auto& [key, group] : groups) {
      if (StopSignals::Stopping()) return;
      const auto& [p, folder] = key;
      std::vector<logbackup::ExpiryItem> items;
      for (const Copy* c : group) {
        logbackup::ExpiryItem item;
        item.name = c->path.substr(RecordPath(folder, "").size());
        items.push_back(item);
      }
      CZoError err = logbackup::ExpireFiles(places_[p].context.get(), folder, items, cutoff_, MetadataIn(p, folder));
      for (size_t i = 0; i < items.size(); ++i) Removed(*group[i], items[i]);
      if (err.IsError()) {
        ++failed_;
        out_.Error(Where(p) + ": " + ErrorText(err), {{"host", places_[p].entry.hostName},
                                                     {"mountPath", places_[p].entry.mountPath}});
      }
      done_.insert(key);
    }
  }

  // What a run that was stopped part-way left: records of removed files still marked.
  void FinishEarlierRuns() {
    for (size_t p = 0; p < places_.size(); ++p) {
      if (!places_[p].context) continue;
      for (const std::string& folder : logs_[p].recordFolders) {
        if (done_.count({p, folder}) != 0 || !HasMarks(p, folder)) continue;
        std::vector<std::string> finished;
        CZoError err = logbackup::FinishExpiry(places_[p].context.get(), folder, MetadataIn(p, folder), &finished);
        if (err.IsError()) {
          ++failed_;
          out_.Error(Where(p) + ": " + ErrorText(err));
        } else if (!finished.empty()) {
          Status(std::to_string(finished.size()) + " record(s) of files an earlier expiry removed dropped from " +
                     Where(p) + (folder.empty() ? "" : " " + folder),
                 {{"host", places_[p].entry.hostName}, {"mountPath", places_[p].entry.mountPath}, {"finished", finished}});
        }
      }
    }
  }

  bool HasMarks(size_t p, const std::string& folder) const {
    for (const auto& [path, at] : logs_[p].records) {
      if (at.folder == folder && at.record.expiring) return true;
    }
    return false;
  }

  // The folder of the records document that records a copy; its own folder without a record.
  std::string FolderOf(size_t p, const std::string& path) const {
    auto it = logs_[p].records.find(path);
    if (it != logs_[p].records.end()) return it->second.folder;
    return path.substr(0, path.rfind('/'));
  }

  std::vector<std::string> MetadataIn(size_t p, const std::string& folder) const {
    auto it = logs_[p].metadata.find(folder);
    return it == logs_[p].metadata.end() ? std::vector<std::string>() : it->second;
  }

  std::string Where(size_t p) const { return places_[p].entry.hostName + ":" + places_[p].entry.mountPath; }

  Json Fields(const Copy& c) const {
    return {{"host", places_[c.place].entry.hostName},
            {"mountPath", places_[c.place].entry.mountPath},
            {"path", c.path},
            {"stored", UtcText(c.time)}};
  }

  void Planned(const Copy& c) {
    if (json_) {
      Json j = {{"type", "plan"}};
      j.update(Fields(c));
      j["action"] = "expire";
      Output::PrintJson(j);
    } else {
      std::printf("would expire %s from %s (stored %s)\n", Printable(c.path).c_str(), Printable(Where(c.place)).c_str(),
                  UtcText(c.time).c_str());
    }
    std::fflush(stdout);
  }

  void Removed(const Copy& c, const logbackup::ExpiryItem& item) {
    switch (item.outcome) {
      case logbackup::ExpiryItem::kRemoved:
      case logbackup::ExpiryItem::kGone:
        ++expired_;
        bytes_ += item.bytes;
        if (json_) {
          Json j = {{"type", "expired"}};
          j.update(Fields(c));
          j["bytes"] = item.bytes;
          Output::PrintJson(j);
        } else {
          std::printf("expired %s from %s (%llu bytes, stored %s)\n", Printable(c.path).c_str(),
                      Printable(Where(c.place)).c_str(), static_cast<unsigned long long>(item.bytes),
                      UtcText(c.time).c_str());
        }
        break;
      case logbackup::ExpiryItem::kKept:
        ++kept_;
        if (json_) {
          Json j = {{"type", "kept"}};
          j.update(Fields(c));
          j["why"] = item.why;
          Output::PrintJson(j);
        } else {
          std::printf("kept %s on %s: %s\n", Printable(c.path).c_str(), Printable(Where(c.place)).c_str(),
                      Printable(item.why).c_str());
        }
        break;
      default:
        ++failed_;
        out_.Error(c.path + " on " + Where(c.place) + " was not removed: " + item.why, Fields(c));
        return;
    }
    std::fflush(stdout);
  }

  void Status(const std::string& text, Json fields) {
    if (json_) {
      fields["type"] = "status";
      fields["message"] = text;
      Output::PrintJson(fields);
    } else {
      std::printf("%s\n", Printable(text).c_str());
    }
    std::fflush(stdout);
  }

  // What the run expires, as the summary says it.
  std::string Which() const {
    std::string which = olderThan_.empty() ? "" : "stored before " + UtcText(cutoff_);
    if (!before_.empty()) which += (which.empty() ? "" : ", ") + std::string("named before ") + Printable(before_);
    return which;
  }

  void Summary(size_t chosen, double seconds) {
    const bool interrupted = StopSignals::Stopping();
    if (json_) {
      Json j = {{"type", "summary"},    {"files", copies_.size()}, {"cutoff", UtcText(cutoff_)},
                {"failed", failed_},    {"seconds", seconds}};
      if (!before_.empty()) j["before"] = before_;
      if (dryRun_) {
        j["dryRun"] = true;
        j["wouldExpire"] = chosen;
      } else {
        j["expired"] = expired_;
        j["bytes"] = bytes_;
        j["kept"] = kept_;
      }
      if (interrupted) j["interrupted"] = true;
      Output::PrintJson(j);
    } else if (dryRun_) {
      std::printf("dry run: %zu stored files, %zu would expire (%s); nothing was removed%s\n", copies_.size(), chosen,
                  Which().c_str(), interrupted ? ", interrupted" : "");
    } else {
      std::printf("%zu stored files, %zu expired (%llu bytes, %s), %zu kept, %zu failed%s\n", copies_.size(),
                  expired_, static_cast<unsigned long long>(bytes_), Which().c_str(), kept_, failed_,
                  interrupted ? ", interrupted" : "");
    }
    std::fflush(stdout);
  }

  uint64_t subclient_ = 0;
  std::string olderThan_;
  std::string before_;
  int64_t keepLast_ = 0;
  std::string rootFolder_;
  bool dryRun_ = false;
  bool& json_ = Globals().json;
  HomeOption common_;
  Output out_{"expire", json_};
  time_t cutoff_ = 0;
  std::vector<service::ReadPlace> places_;
  std::vector<StoredLogs> logs_;  // per place
  std::vector<Copy> copies_;
  std::set<std::pair<size_t, std::string>> done_;  // (place, folder) expired in this run
  size_t expired_ = 0, kept_ = 0, failed_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<Command> MakeExpireCommand() { return std::make_unique<ExpireCommand>(); }

}  // namespace kxmp::cli
