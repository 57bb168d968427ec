// kxmp search and kxmp restore: find backed-up log files of a subclient on its reachable
// mount paths and read them back through the log backup reader (in-process).
//
// Restore verifies every file as it copies it (the reader's checksum of what it read, against
// the file's record): a copy that does not match is never committed under --to, and --force
// does not change that. Where several mount paths hold the name, the copies with a record of
// their own are tried first, in list order, and the first that verifies is taken; a copy
// without a record verifies against another copy's record. A name that no copy of has a
// record is restored as before, unverified. Copies whose records differ (without records:
// whose content differs) are a conflict, restored only from the mount path --mount-path names.
//
// Exit status: 0 success, 1 a failed operation, 2 usage, 3 nothing found (also: the
// subclient is not in the catalog), 130/143 interrupted.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Command.h"
#include "FailureEvent.h"
#include "LogBackupCli.h"
#include "LogBackupFile.h"
#include "Progress.h"
#include "RestoreFolder.h"
#include "StopSignals.h"
#include "Validators.h"
#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "outside/util/AtomicFile.h"
#include "outside/util/FXPath.h"

namespace kxmp::cli {
namespace {

std::string RelativePath(const DataServerSearchFile& f) { return f.directory + "/" + f.fileName; }

// Win32 "the data is invalid": a stored copy that does not verify (no errno text to add).
constexpr int kInvalidData = 13;

std::string Where(const DataServerContextPtr& c) { return c->getFSParams().host.hostName + " " + c->getMountPath(); }

// Whether two stored copies of one path hold the same bytes: their sizes, then their content.
CZoError SameCopies(const DataServerContextPtr& a, const DataServerContextPtr& b, const std::string& path, bool& same) {
  same = false;
  const std::string p = path[0] == '/' ? path : "/" + path;
  SZoFileStat sa {}, sb {};
  CZoError err = AbstractMountingPointDriver::AMStat(a.get(), p, sa);
  if (err.IsSuccess()) err = AbstractMountingPointDriver::AMStat(b.get(), p, sb);
  if (err.IsError() || sa.st_size != sb.st_size || !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode)) return err;
  CFileInterface* fa = nullptr;
  CFileInterface* fb = nullptr;
  err = AbstractMountingPointDriver::AMOpenFile(a.get(), path, O_RDONLY | O_NONBLOCK, 0, 0, fa);
  if (err.IsSuccess()) err = AbstractMountingPointDriver::AMOpenFile(b.get(), path, O_RDONLY | O_NONBLOCK, 0, 0, fb);
  std::vector<char> x(kCopyPiece), y(kCopyPiece);
  same = err.IsSuccess();
  for (long long left = sa.st_size; same && left > 0;) {
    const unsigned int want = static_cast<unsigned int>(std::min<long long>(left, kCopyPiece));
    unsigned int got = 0;
    for (auto [file, buffer] : {std::make_pair(fa, x.data()), std::make_pair(fb, y.data())}) {
      for (unsigned int done = 0; err.IsSuccess() && done < want; done += got) {
        err = file->Read(buffer + done, want - done, &got);
        if (err.IsSuccess() && got == 0) err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "[%s] ended early", path.c_str());
      }
    }
    same = err.IsSuccess() && std::memcmp(x.data(), y.data(), want) == 0;
    left -= want;
  }
  if (fa != nullptr) AbstractMountingPointDriver::AMCloseFile(a.get(), fa);
  if (fb != nullptr) AbstractMountingPointDriver::AMCloseFile(b.get(), fb);
  return err;
}

// Paths found on several mount paths with different content: each with the places it is on.
// Where copies have checksum records, the records decide: copies whose records differ are a
// conflict; copies whose records agree (or one record) are not, since the copy that verifies
// is taken and a damaged one refused. Copies without any record are compared byte for byte.
std::map<std::string, std::vector<DataServerContextPtr>> Conflicts(DBLogBackupDataReader& reader,
                                                                   const std::list<DataServerSearchResult>& results) {
  std::map<std::string, std::vector<std::pair<DataServerContextPtr, const DataServerSearchFile*>>> on;
  std::map<std::string, std::vector<DataServerContextPtr>> conflicts;
  for (const DataServerSearchResult& r : results) {
    for (const DataServerSearchFile& f : r.files) on[RelativePath(f)].push_back({r.context, &f});
  }
  for (auto& [path, copies] : on) {
    if (copies.size() < 2) continue;
    std::vector<DataServerContextPtr> contexts;
    const DataServerReadCheck* first = nullptr;
    std::vector<DataServerReadCheck> records(copies.size());
    bool differ = false;
    for (size_t i = 0; i < copies.size(); ++i) {
      contexts.push_back(copies[i].first);
      if (reader.findRecord(*copies[i].second, copies[i].first, records[i]).IsError() || !records[i].recorded) continue;
      if (first == nullptr) {
        first = &records[i];
      } else if (first->recordSize != records[i].recordSize || first->recordSha256 != records[i].recordSha256) {
        differ = true;
      }
    }
    if (first != nullptr) {
      if (differ) conflicts[path] = contexts;
      continue;
    }
    for (size_t i = 1; i < contexts.size(); ++i) {
      bool same = false;
      if (SameCopies(contexts[0], contexts[i], path, same).IsSuccess() && !same) {
        conflicts[path] = contexts;
        break;
      }
    }
  }
  return conflicts;
}

std::string Places(const std::vector<DataServerContextPtr>& contexts) {
  std::string text;
  for (const DataServerContextPtr& c : contexts) text += (text.empty() ? "" : " and ") + Where(c);
  return text;
}

// Options both subcommands take.
struct ReaderOptions {
  uint64_t subclient = 0;
  std::string rootFolder;
  std::string pattern;
  HomeOption common;
  CLI::Option* patternOption = nullptr;

  void AddTo(CLI::App& cmd) {
    cmd.add_option("--subclient", subclient, "the subclient whose backups are searched")->required()->check(kId);
    cmd.add_option("--root-folder", rootFolder, "folder below the subclient's root folder");
    patternOption = cmd.add_option("PATTERN", pattern, "file name (any letter case) or ECMAScript regular expression");
    common.AddTo(cmd);
  }
  bool patternGiven() const { return patternOption->count() > 0; }

  // An invalid expression is a usage error, said through out (2); else 0. Without the check
  // it would only match a file of exactly that name, and "nothing matches" would hide the typo.
  int CheckPattern(const Output& out) const {
    if (!patternGiven()) return kExitOk;
    CZoError err = DBLogBackupDataReader::checkPattern(pattern);
    if (err.IsSuccess()) return kExitOk;
    return out.Fail(FXErrorUtil::IsErrNo(err, EINVAL) ? kExitUsage : kExitFailed,
                    err.Message() + " (escape such characters with \\ to find a name that holds them)");
  }
};

// Every match of the pattern on every reachable mount path (the list form), added to
// results; found tells whether there was any. Else the exit status to end with, said
// through out. A reader without any context is answered by NoStorage.
int FindAll(DBLogBackupDataReader& reader, const std::string& pattern, std::list<DataServerSearchResult>& results,
            const Output& out, bool& found) {
  std::list<DataServerSearchResult> mine;
  CZoError err = reader.search(pattern, mine, true);
  found = !mine.empty();
  results.splice(results.end(), mine);
  if (found || FXErrorUtil::IsErrNo(err, 2)) return kExitOk;
  return out.Fail(kExitFailed, ErrorText(err));
}

// Nothing found: "not found" (3) only when every mount path of the subclient was searched.
// A mount path that could not be opened or walked may hold the file, so then the answer is a
// failure (1) that names the first reason, never a "not found" a script would trust.
int NothingFound(const Output& out, const ErrorPrinter& errors, const std::string& what) {
  if (errors.Count() == 0) return out.Fail(kExitNotFound, what);
  return out.Fail(kExitFailed, what + " on the mount paths searched, but not every mount path could be searched: " +
                                   ErrorText(errors.First()));
}

class SearchCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("search", "list backed-up log files whose names match a pattern");
    cmd->add_flag("--all", all_, "list every match (default: the first match only)");
    cmd->add_flag("--json", json_, "print one JSON object per match");
    options_.AddTo(*cmd);
    options_.patternOption->required();
    SetExample(cmd, "kxmp search --subclient 42 --all '^log_'   # storage host, mount path, file per match");
    return cmd;
  }

  int Run() override {
    options_.common.Apply();
    if (int status = options_.CheckPattern(out_)) return status;
    StartLibraryLog();
    DBLogBackupDataReader reader(options_.subclient, false, options_.rootFolder, &errors_);
    if (reader.getContextList().empty()) return NoStorage(out_, options_.subclient, errors_.First());
    std::list<DataServerSearchResult> results;
    if (all_) {
      bool found = false;
      const int status = FindAll(reader, options_.pattern, results, out_, found);
      if (status != kExitOk) return status;
      if (!found) return NothingFound(out_, errors_, "nothing matches [" + options_.pattern + "]");
    } else {
      DataServerSearchResult first;
      CZoError err = reader.search(options_.pattern, first, false);
      if (FXErrorUtil::IsErrNo(err, 2)) return NothingFound(out_, errors_, "nothing matches [" + options_.pattern + "]");
      if (err.IsError()) return out_.Fail(kExitFailed, ErrorText(err));
      results.push_back(first);
    }
    for (const DataServerSearchResult& r : results) {
      const std::string& host = r.context->getFSParams().host.hostName;
      const std::string& mountPath = r.context->getMountPath();
      for (const DataServerSearchFile& f : r.files) {
        // Only regular files are served; anything else is listed as skipped, with what it is.
        CZoError kind = reader.check(f, r.context);
        if (FXErrorUtil::IsErrNo(kind, EINVAL)) {
          if (json_) {
            Output::PrintJson({{"type", "skipped"}, {"host", host}, {"mountPath", mountPath}, {"path", RelativePath(f)},
                               {"reason", kind.Message()}});
          } else {
            std::printf("skipped\t%s\t%s\t%s\t%s\n", Printable(host).c_str(), Printable(mountPath).c_str(),
                        Printable(RelativePath(f)).c_str(), Printable(kind.Message()).c_str());
          }
          continue;
        }
        if (json_) {
          Output::PrintJson({{"type", "match"}, {"host", host}, {"mountPath", mountPath}, {"path", RelativePath(f)}});
        } else {
          std::printf("%s\t%s\t%s\n", Printable(host).c_str(), Printable(mountPath).c_str(),
                      Printable(RelativePath(f)).c_str());
        }
      }
    }
    for (const auto& [path, contexts] : Conflicts(reader, results)) {
      if (json_) {
        Json copies = Json::array();
        for (const DataServerContextPtr& c : contexts) {
          copies.push_back({{"host", c->getFSParams().host.hostName}, {"mountPath", c->getMountPath()}});
        }
        Output::PrintJson({{"type", "conflict"}, {"path", path}, {"copies", copies}});
      } else {
        std::printf("note: %s is stored with different content on %s (restore one with --mount-path)\n",
                    Printable(path).c_str(), Printable(Places(contexts)).c_str());
      }
    }
    return kExitOk;
  }

 private:
  bool all_ = false;
  bool& json_ = Globals().json;
  ReaderOptions options_;
  Output out_{"search", json_};
  ErrorPrinter errors_{"kxmp search"};
};

// One copy of a stored file.
struct StoredCopy {
  DataServerContextPtr context;
  DataServerSearchFile file;
};

// One stored file chosen for the restore: its copies in list order; context and file are the
// copy restored (until then the first).
struct Chosen {
  DataServerContextPtr context;
  DataServerSearchFile file;
  std::vector<StoredCopy> copies;
  bool verified = false;  // the copy restored matched a record
};

// A mount path as operator events name it: "<storage host>:<mount path>".
std::string EventPlace(const DataServerContextPtr& context) {
  return context->getFSParams().host.hostName + ":" + context->getMountPath();
}

class RestoreCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("restore", "read matching backed-up log files back into a folder");
    cmd->add_option("--to", to_, "the folder to restore into (created when missing)")
        ->required()
        ->type_name("DIR")
        ->check(CLI::Validator([](std::string& v) { return v.empty() ? std::string("must not be empty") : std::string(); },
                               "FOLDER"));
    cmd->add_flag("--force", force_,
                  "replace files that already exist there (a stored copy that does not match its checksum record is "
                  "never restored, with or without --force)");
    cmd->add_option("--mount-path", mountPath_,
                    "restore the copies on this mount path (as search prints it) only; chooses between copies of one "
                    "name whose checksum records differ");
    cmd->add_flag("--dry-run", dryRun_,
                  "check everything and say what would be restored; write nothing (nothing is read, so nothing is "
                  "verified)");
    cmd->add_flag("--json", json_, "print one JSON object per line (type restored, plan, error or summary)");
    list_.AddTo(*cmd, "stored names to restore (a name, or its path below the root folder)");
    options_.AddTo(*cmd);
    SetExample(cmd,
               "kxmp restore --subclient 42 '^log_1[0-9]\\.trn$' --to /var/restore/db\n"
               "  kxmp restore --subclient 42 --files-from wanted.txt --to /var/restore/db --dry-run");
    return cmd;
  }

  int Run() override {
    options_.common.Apply();
    std::vector<std::string> names;
    if (int status = list_.ReadInto(names, out_)) return status;
    if (!options_.patternGiven() && names.empty()) {
      return out_.Fail(kExitUsage, "nothing to restore: give PATTERN or a --files-from list that names files");
    }
    if (int status = options_.CheckPattern(out_)) return status;
    StartLibraryLog();
    StopSignals signals;
    const auto start = std::chrono::steady_clock::now();
    DBLogBackupDataReader reader(options_.subclient, false, options_.rootFolder, &errors_);
    // A stop during the look-up ends the run as stopped, whatever the look-up found.
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    if (reader.getContextList().empty()) return NoStorage(out_, options_.subclient, errors_.First());
    std::vector<Chosen> chosen;
    int failed = 0;
    const int chose = Choose(reader, names, chosen, failed);
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    if (chose != kExitOk) return chose;
    CZoError err = folder_.Open(to_, !dryRun_);
    if (err.IsError()) return out_.Fail(kExitFailed, ErrorText(err));

    int files = failed;
    int already = 0;
    unsigned long long bytes = 0;
    {
      std::optional<ProgressMeter> meter;
      if (!dryRun_) meter_ = &meter.emplace("restored", chosen.size(), 0);
      for (Chosen& c : chosen) {
        if (StopSignals::Stopping()) break;
        ++files;
        unsigned long long size = 0;
        Done done = Done::kNew;
        // Only regular files are served: anything else is listed as skipped, never opened.
        CZoError kind = reader.check(c.file, c.context);
        if (FXErrorUtil::IsErrNo(kind, EINVAL)) {
          ++skipped_;
          Say([&] { Skipped(c, kind); });
          if (meter_ != nullptr) meter_->FileDone();
          continue;
        }
        err = dryRun_ ? Plan(reader, c, done) : RestoreOne(reader, c, size, done);
        if (err.IsError() && StopSignals::Stopping() && FXErrorUtil::IsErrNo(err, EINTR)) {
          --files;  // stopped partway: its temporary file is gone, and the summary says interrupted
          break;
        }
        if (err.IsError()) {
          ++failed;
          const std::string path = RelativePath(c.file);
          Say([&] { out_.Error(path + ": " + ErrorText(err), {{"path", path}}); });
        } else {
          if (done == Done::kAlreadyThere) ++already;
          if (done != Done::kAlreadyThere) bytes += size;
          Say([&] { Restored(c, size, done); });
        }
        if (meter_ != nullptr) meter_->FileDone();
      }
      meter_ = nullptr;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Summary(files, failed, already, bytes, seconds);
    if (StopSignals::Stopping()) return StopSignals::ExitStatus();
    return failed == 0 ? kExitOk : kExitFailed;
  }

 private:
  // The files the pattern matches and the files the list names, each once (a file on
  // several mount paths comes from the first). A listed name that matches nothing counts as
  // failed; 3 when nothing at all is found.
  int Choose(DBLogBackupDataReader& reader, const std::vector<std::string>& names, std::vector<Chosen>& chosen,
             int& failed) {
    std::list<DataServerSearchResult> results;
    bool found = false;
    if (options_.patternGiven()) {
      if (int status = FindAll(reader, options_.pattern, results, out_, found)) return status;
    }
    std::set<std::string> wanted(names.begin(), names.end());
    std::set<std::string> seen;
    if (!wanted.empty()) {
      std::list<DataServerSearchResult> all;
      bool any = false;
      if (int status = FindAll(reader, "", all, out_, any)) return status;
      for (DataServerSearchResult& r : all) {
        r.files.remove_if([&](const DataServerSearchFile& f) {
          const std::string path = RelativePath(f);
          for (const std::string* key : {&f.fileName, &path}) {
            const std::string bare = key->size() > 1 && (*key)[0] == '/' ? key->substr(1) : *key;
            for (const std::string& k : {*key, bare}) {
              if (wanted.count(k) != 0) {
                seen.insert(k);
                return false;
              }
            }
          }
          return true;
        });
      }
      results.splice(results.end(), all);
    }
    if (!mountPath_.empty()) {
      results.remove_if([&](const DataServerSearchResult& r) { return r.context->getMountPath() != mountPath_; });
    }
    // A name whose copies' records differ between mount paths (or, without records, whose
    // copies differ) is not restored from either: which one is wanted is the user's to say.
    const auto conflicts = Conflicts(reader, results);
    for (const auto& [path, contexts] : conflicts) {
      ++failed;
      out_.Error(path + ": stored with different content on " + Places(contexts) +
                     "; choose one with --mount-path (kxmp search lists the copies)",
                 {{"path", path}});
    }
    std::map<std::string, size_t> done;  // path -> its entry in chosen
    for (DataServerSearchResult& r : results) {
      for (DataServerSearchFile& f : r.files) {
        if (conflicts.count(RelativePath(f)) != 0) continue;
        auto [at, fresh] = done.emplace(RelativePath(f), chosen.size());
        if (fresh) chosen.push_back({r.context, f, {}, false});
        Chosen& entry = chosen[at->second];
        const bool again = std::any_of(entry.copies.begin(), entry.copies.end(),
                                       [&](const StoredCopy& s) { return s.context.get() == r.context.get(); });
        if (!again) entry.copies.push_back({r.context, f});
      }
    }
    for (const std::string& name : wanted) {
      if (seen.count(name) != 0) continue;
      ++failed;
      out_.Error("nothing is stored as [" + name + "]", {{"path", name}});
    }
    if (chosen.empty() && !conflicts.empty()) return kExitFailed;
    if (chosen.empty()) {
      return NothingFound(out_, errors_,
                          options_.patternGiven() ? "nothing matches [" + options_.pattern + "]"
                                                  : std::string("none of the listed names is stored"));
    }
    return kExitOk;
  }

  // What a restore of one file does (or, in a dry run, would do) at its place below --to.
  enum class Done {
    kNew,           // nothing was there
    kReplaced,      // another file was there (--force)
    kAlreadyThere,  // a file with the stored copy's content is there: nothing written
  };

  // What is at the place: nothing, the stored copy's content, or something else, which only
  // --force replaces. With a record of the name the file there is checksummed and compared
  // with it (no read of the stored copy); without one the two are compared piece by piece.
  CZoError Compare(DBLogBackupDataReader& reader, const StoredCopy& c, const DataServerReadCheck& record, int parent,
                   const std::string& name, const SZoFileStat& stored, Done& done) {
    struct stat st {};
    done = Done::kNew;
    if (parent < 0 || ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return CZoError::Success();
    done = Done::kReplaced;
    const long long size = record.recorded ? static_cast<long long>(record.recordSize) : stored.st_size;
    if (S_ISREG(st.st_mode) && st.st_size == size) {
      UniqueFd local(::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (local.valid()) {
        bool same = false;
        if (record.recorded) {
          digest::Sha256Digest digest;
          uint64_t bytes = 0;
          CZoError err = FileSha256(local.get(), mine_, digest, bytes);
          if (err.IsError()) return err;
          same = bytes == record.recordSize && digest.Hex() == record.recordSha256;
        } else {
          DataServerSearchFile file = c.file;
          CZoError err = reader.open(file, c.context);
          if (err.IsError()) return err;
          err = SameContent(
              local.get(), st.st_size,
              [&](char* b, unsigned int n, unsigned int* got) { return reader.read(b, n, *got); }, mine_, theirs_, same);
          CZoError closed = reader.close(c.context);
          if (err.IsError()) return err;
          if (closed.IsError()) return closed;
        }
        if (same) done = Done::kAlreadyThere;
      }
    }
    if (done == Done::kReplaced && !force_) return Exists();
    return CZoError::Success();
  }

  // The stored file's size and modification time on its mount path.
  static CZoError StoredStat(const StoredCopy& c, SZoFileStat& st) {
    CZoError err = AbstractMountingPointDriver::AMStat(c.context.get(), RelativePath(c.file), st);
    return err.IsError() ? err.Push(FX_LOC, "Cannot examine the stored [%s]", RelativePath(c.file).c_str()) : err;
  }

  // The copies of a file in the order to try them: those with a record of their own first (in
  // list order), then the others; record gets the first record found.
  std::vector<StoredCopy> Order(DBLogBackupDataReader& reader, const Chosen& c, DataServerReadCheck& record) {
    std::vector<StoredCopy> recorded, others;
    record = DataServerReadCheck();
    for (const StoredCopy& copy : c.copies) {
      DataServerReadCheck found;
      // A record that cannot be read is no record: the copy is tried after those with one.
      if (reader.findRecord(copy.file, copy.context, found).IsSuccess() && found.recorded) {
        if (!record.recorded) record = found;
        recorded.push_back(copy);
      } else {
        others.push_back(copy);
      }
    }
    recorded.insert(recorded.end(), others.begin(), others.end());
    return recorded;
  }

  // The checks RestoreOne makes before it writes: the place below --to (no way out of it, no
  // link followed) and what is there already.
  CZoError Plan(DBLogBackupDataReader& reader, Chosen& c, Done& done) {
    UniqueFd parent;
    std::string name;
    CZoError err = folder_.Place(RelativePath(c.file), parent, name, false);
    if (err.IsError()) return err;
    DataServerReadCheck record;
    const std::vector<StoredCopy> order = Order(reader, c, record);
    SZoFileStat stored{};
    if ((err = StoredStat(order.front(), stored)).IsError()) return err;
    return Compare(reader, order.front(), record, parent.valid() ? parent.get() : -1, name, stored, done);
  }

  CZoError Exists() const {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "It exists in [%s] (use --force to replace it)", to_.c_str());
  }

  // Restores the first copy that verifies (see the top of the file): each is read into a
  // temporary file beside its target (inside --to only); one that verifies gets the stored
  // copy's modification time, is made durable and renamed, without replacing an existing file
  // unless --force; one that does not is removed and reported. A file with the stored content
  // is left as it is. Any failure, or a stop signal, removes the temporary file.
  CZoError RestoreOne(DBLogBackupDataReader& reader, Chosen& c, unsigned long long& size, Done& done) {
    UniqueFd parent;
    std::string name;
    CZoError err = folder_.Place(RelativePath(c.file), parent, name);
    if (err.IsError()) return err;
    DataServerReadCheck record;
    const std::vector<StoredCopy> order = Order(reader, c, record);
    SZoFileStat stored{};
    if ((err = StoredStat(order.front(), stored)).IsError()) return err;
    if ((err = Compare(reader, order.front(), record, parent.get(), name, stored, done)).IsError()) return err;
    if (done == Done::kAlreadyThere) {
      size = static_cast<unsigned long long>(stored.st_size);
      c.verified = record.recorded;
      return CZoError::Success();
    }
    std::string refused;  // why each copy read was not taken
    for (const StoredCopy& copy : order) {
      if (StopSignals::Stopping()) break;
      size = 0;
      bool verified = false;
      err = StoredStat(copy, stored);
      if (err.IsSuccess()) err = ReadCopy(reader, copy, parent.get(), name, record, stored, size, verified);
      if (err.IsSuccess()) {
        c.context = copy.context;
        c.file = copy.file;
        c.verified = verified;
        return err;
      }
      if (FXErrorUtil::IsErrNo(err, EEXIST) || FXErrorUtil::IsErrNo(err, EINTR)) return err;
      refused += (refused.empty() ? "" : "; ") + Where(copy.context) + ": " + ErrorText(err);
    }
    if (StopSignals::Stopping()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINTR, "Stopped by signal %d", StopSignals::Caught());
    return FXErrorUtil::ErrorWin32(FX_LOC, kInvalidData, "no stored copy verifies, nothing was restored (%s)",
                                   refused.c_str());
  }

  // One copy read into a temporary file and committed when it verifies: against its own
  // record, else against record (another copy's), else (no record of the name at all)
  // unverified. A copy that does not match is reported corrupt and never committed.
  CZoError ReadCopy(DBLogBackupDataReader& reader, const StoredCopy& copy, int parent, const std::string& name,
                    const DataServerReadCheck& record, const SZoFileStat& stored, unsigned long long& size,
                    bool& verified) {
    AtomicFile out;
    CZoError err = out.CreateAt(parent, name, 0640);
    if (err.IsError()) return err;
    DataServerSearchFile file = copy.file;
    err = reader.open(file, copy.context);
    if (err.IsError()) return err;
    err = Copy(reader, out, size);
    CZoError closed = reader.close(copy.context);
    if (err.IsSuccess()) err = closed;
    if (err.IsError()) return err;
    DataServerReadCheck check;
    if ((err = reader.checkRead(check)).IsError()) return err;
    if (check.result == DataServerReadCheck::kUnrecorded && record.recorded) {
      check.result = check.bytes == record.recordSize && check.sha256 == record.recordSha256
                         ? DataServerReadCheck::kMatches
                         : DataServerReadCheck::kDiffers;
      check.why = "it differs from the record of the name";
    }
    switch (check.result) {
      case DataServerReadCheck::kMatches:
        verified = true;
        break;
      case DataServerReadCheck::kUnrecorded:
        break;  // no copy of the name has a record: restored as ever, unverified
      case DataServerReadCheck::kDiffers:
        Corrupt(copy, check.why);
        return FXErrorUtil::ErrorWin32(FX_LOC, kInvalidData, "corrupt: %s", check.why.c_str());
      default:
        return FXErrorUtil::ErrorWin32(FX_LOC, kInvalidData, "it cannot be verified: %s",
                                       check.why.empty() ? "it was not read to its end" : check.why.c_str());
    }
    // Set before the commit, whose sync makes it durable with the data.
    const timespec times[2] = {{0, UTIME_OMIT}, stored.st_mtim};
    if (::futimens(out.Fd(), times) != 0) {
      const int e = errno;
      return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot give [%s] its modification time: %s", name.c_str(),
                                     std::strerror(e));
    }
    err = out.Commit(force_ ? AtomicFile::kReplace : AtomicFile::kKeepExisting);
    if (FXErrorUtil::IsErrNo(err, EEXIST)) return Exists();
    return err;
  }

  // A copy that is not what was written: said at once (the file may still come from another
  // copy) and told to the operator.
  void Corrupt(const StoredCopy& copy, const std::string& why) {
    ++corrupt_;
    const std::string path = RelativePath(copy.file);
    Say([&] {
      out_.Error(path + " on " + Where(copy.context) + " is corrupt (" + why + "): not restored from there",
                 {{"path", path},
                  {"host", copy.context->getFSParams().host.hostName},
                  {"mountPath", copy.context->getMountPath()},
                  {"status", "corrupt"}});
    });
    RaiseStoredFileDamaged(options_.subclient, EventPlace(copy.context), path, "corrupt", why);
  }

  CZoError Copy(DBLogBackupDataReader& reader, AtomicFile& out, unsigned long long& size) {
    unsigned int n = 0;
    do {
      if (StopSignals::Stopping()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINTR, "Stopped by signal %d", StopSignals::Caught());
      CZoError err = reader.readTo(out.Fd(), kCopyPiece, n);
      if (err.IsError()) return err;
      size += n;
      if (meter_ != nullptr) meter_->AddBytes(n);
    } while (n == kCopyPiece);
    return CZoError::Success();
  }

  // Writes whole lines, above the progress meter while one is drawn.
  void Say(const std::function<void()>& print) {
    if (meter_ != nullptr) {
      meter_->Above(print);
    } else {
      print();
    }
  }

  void Restored(const Chosen& c, unsigned long long size, Done done) {
    const std::string path = RelativePath(c.file);
    const std::string target = FXPath::Join(to_, path);
    const std::string& host = c.context->getFSParams().host.hostName;
    const bool already = done == Done::kAlreadyThere;
    const bool replaces = done == Done::kReplaced;
    if (json_) {
      Json j = {{"type", dryRun_ ? "plan" : "restored"},
                {"host", host},
                {"mountPath", c.context->getMountPath()},
                {"path", path},
                {"name", c.file.fileName},
                {"file", target}};
      if (dryRun_) {
        j["action"] = already ? "none" : replaces ? "replace" : "restore";
      } else {
        j["bytes"] = size;
        j["verified"] = c.verified;
        if (replaces) j["replaced"] = true;
        if (already) j["alreadyRestored"] = true;
      }
      Output::PrintJson(j);
    } else if (already) {
      std::printf("%s is already restored as %s (same content): nothing %s\n", Printable(path).c_str(),
                  Printable(target).c_str(), dryRun_ ? "to write" : "written");
    } else if (dryRun_) {
      std::printf("would restore %s from %s to %s%s\n", Printable(path).c_str(), Printable(host).c_str(),
                  Printable(target).c_str(), replaces ? ", replacing the file there" : "");
    } else {
      std::printf("restored %s from %s to %s (%llu bytes%s)\n", Printable(path).c_str(), Printable(host).c_str(),
                  Printable(target).c_str(), size, c.verified ? "" : ", unverified: stored without a checksum record");
    }
    std::fflush(stdout);
  }

  void Skipped(const Chosen& c, const CZoError& why) {
    const std::string path = RelativePath(c.file);
    if (json_) {
      Output::PrintJson({{"type", "skipped"},
                         {"host", c.context->getFSParams().host.hostName},
                         {"mountPath", c.context->getMountPath()},
                         {"path", path},
                         {"reason", why.Message()}});
    } else {
      std::printf("skipped %s: %s\n", Printable(path).c_str(), Printable(why.Message()).c_str());
    }
    std::fflush(stdout);
  }

  void Summary(int files, int failed, int already, unsigned long long bytes, double seconds) {
    SaySkippedStorageHosts("restore");
    const bool interrupted = StopSignals::Stopping();
    const double rate = seconds > 0 && !dryRun_ ? static_cast<double>(bytes) / (1 << 20) / seconds : 0.0;
    if (json_) {
      Json j = {{"type", "summary"}, {"files", files},     {"failed", failed},           {"bytes", bytes},
                {"seconds", seconds}, {"mibPerSecond", rate}, {"alreadyRestored", already}, {"skipped", skipped_}};
      if (!dryRun_) j["corruptCopies"] = corrupt_;
      if (dryRun_) j["dryRun"] = true;
      if (interrupted) j["interrupted"] = true;
      Output::PrintJson(j);
    } else if (dryRun_) {
      std::printf("dry run: %d files, %d failed, %d would be restored, %d already restored; nothing was written%s\n",
                  files, failed, files - failed - already, already, interrupted ? ", interrupted" : "");
    } else {
      std::printf("%d files, %d failed, %llu bytes in %.3f s (%.1f MiB/s)%s%s%s%s\n", files, failed, bytes, seconds,
                  rate, already > 0 ? (", " + std::to_string(already) + " already restored").c_str() : "",
                  corrupt_ > 0 ? (", " + std::to_string(corrupt_) + " corrupt copies refused").c_str() : "",
                  skipped_ > 0 ? (", " + std::to_string(skipped_) + " skipped (not regular files)").c_str() : "",
                  interrupted ? ", interrupted" : "");
    }
    std::fflush(stdout);
  }

  std::string to_;
  std::string mountPath_;
  int skipped_ = 0;
  bool force_ = false;
  bool dryRun_ = false;
  bool& json_ = Globals().json;
  FileListOption list_;
  ReaderOptions options_;
  Output out_{"restore", json_};
  RestoreFolder folder_;
  ErrorPrinter errors_{"kxmp restore"};
  int corrupt_ = 0;  // copies refused
  PieceBuffer mine_, theirs_;  // pieces of a file at its place and of its stored copy, compared
  ProgressMeter* meter_ = nullptr;  // while files are restored
};

}  // namespace

std::unique_ptr<Command> MakeSearchCommand() { return std::make_unique<SearchCommand>(); }
std::unique_ptr<Command> MakeRestoreCommand() { return std::make_unique<RestoreCommand>(); }

}  // namespace kxmp::cli
