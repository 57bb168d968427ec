// kxmp search and kxmp restore: find backed-up log files of a subclient on its reachable
// mount paths and read them back through the log backup reader (in-process).
//
// Exit status: 0 success, 1 a failed operation, 2 usage, 3 nothing found.

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <list>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "Command.h"
#include "LogBackupCli.h"
#include "Validators.h"
#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DataServerContext.h"
#include "outside/util/CZoFile.h"

namespace kxmp::cli {
namespace {

constexpr unsigned int kPiece = 1u << 20;

std::string RelativePath(const DataServerSearchFile& f) { return f.directory + "/" + f.fileName; }

// Options both subcommands take.
struct ReaderOptions {
  uint64_t subclient = 0;
  std::string rootFolder;
  std::string pattern;
  HomeOption common;

  void AddTo(CLI::App& cmd) {
    cmd.add_option("--subclient", subclient, "the subclient whose backups are searched")->required()->check(kUnsigned);
    cmd.add_option("--root-folder", rootFolder, "folder below the subclient's root folder");
    cmd.add_option("PATTERN", pattern, "file name (any letter case) or ECMAScript regular expression")->required();
    common.AddTo(cmd);
  }
};

// Every match on every reachable mount path (the list form); 0 with matches, else the exit
// status to end with.
int FindAll(DBLogBackupDataReader& reader, const std::string& pattern, std::list<DataServerSearchResult>& results,
            const char* tool) {
  if (reader.getContextList().empty()) {
    std::fprintf(stderr, "%s: no mount path of the subclient is reachable: %s\n", tool,
                 reader.getLastErrorText().c_str());
    return kExitFailed;
  }
  CZoError err = reader.search(pattern, results, true);
  if (!results.empty()) return kExitOk;
  if (FXErrorUtil::IsErrNo(err, 2)) {
    std::fprintf(stderr, "%s: nothing matches [%s]\n", tool, pattern.c_str());
    return kExitNotFound;
  }
  std::fprintf(stderr, "%s: %s\n", tool, err.AsString().c_str());
  return kExitFailed;
}

class SearchCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("search", "list backed-up log files whose names match a pattern");
    cmd->add_flag("--all", all_, "list every match (default: the first match only)");
    cmd->add_flag("--json", json_, "print one JSON object per match");
    options_.AddTo(*cmd);
    return cmd;
  }

  int Run() override {
    options_.common.Apply();
    DBLogBackupDataReader reader(options_.subclient, false, options_.rootFolder, &errors_);
    std::list<DataServerSearchResult> results;
    if (all_) {
      const int status = FindAll(reader, options_.pattern, results, "kxmp search");
      if (status != kExitOk) return status;
    } else {
      DataServerSearchResult first;
      CZoError err = reader.search(options_.pattern, first, false);
      if (FXErrorUtil::IsErrNo(err, 2)) {
        std::fprintf(stderr, "kxmp search: nothing matches [%s]\n", options_.pattern.c_str());
        return kExitNotFound;
      }
      if (err.IsError()) {
        std::fprintf(stderr, "kxmp search: %s\n", err.AsString().c_str());
        return kExitFailed;
      }
      results.push_back(first);
    }
    for (const DataServerSearchResult& r : results) {
      const std::string& host = r.context->getFSParams().host.hostName;
      const std::string& mountPath = r.context->getMountPath();
      for (const DataServerSearchFile& f : r.files) {
        if (json_) {
          nlohmann::ordered_json j = {{"type", "match"}, {"host", host}, {"mountPath", mountPath}, {"path", RelativePath(f)}};
          std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        } else {
          std::printf("%s\t%s\t%s\n", host.c_str(), mountPath.c_str(), RelativePath(f).c_str());
        }
      }
    }
    return kExitOk;
  }

 private:
  bool all_ = false;
  bool& json_ = Globals().json;
  ReaderOptions options_;
  ErrorPrinter errors_{"kxmp search"};
};

class RestoreCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("restore", "read matching backed-up log files back into a folder");
    cmd->add_option("--to", to_, "the folder to restore into (created when missing)")->required();
    cmd->add_flag("--force", force_, "replace files that already exist there");
    options_.AddTo(*cmd);
    return cmd;
  }

  int Run() override {
    options_.common.Apply();
    const auto start = std::chrono::steady_clock::now();
    DBLogBackupDataReader reader(options_.subclient, false, options_.rootFolder, &errors_);
    std::list<DataServerSearchResult> results;
    const int status = FindAll(reader, options_.pattern, results, "kxmp restore");
    if (status != kExitOk) return status;

    std::set<std::string> done;  // a file on several mount paths comes from the first
    int files = 0, failed = 0;
    unsigned long long bytes = 0;
    for (DataServerSearchResult& r : results) {
      for (DataServerSearchFile& f : r.files) {
        if (!done.insert(RelativePath(f)).second) continue;
        ++files;
        const std::string target = to_ + RelativePath(f);
        unsigned long long size = 0;
        CZoError err = RestoreOne(reader, r.context, f, target, size);
        if (err.IsError()) {
          ++failed;
          std::fprintf(stderr, "kxmp restore: %s: %s\n", RelativePath(f).c_str(), err.AsString().c_str());
          continue;
        }
        bytes += size;
        std::printf("restored %s from %s to %s (%llu bytes)\n", RelativePath(f).c_str(),
                    r.context->getFSParams().host.hostName.c_str(), target.c_str(), size);
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d files, %d failed, %llu bytes in %.3f s (%.1f MiB/s)\n", files, failed, bytes, seconds,
                seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0.0);
    return failed == 0 ? kExitOk : kExitFailed;
  }

 private:
  // Reads the file into a temporary file beside the target, makes it durable and renames it
  // (without replacing an existing file unless --force).
  CZoError RestoreOne(DBLogBackupDataReader& reader, const DataServerContextPtr& context, DataServerSearchFile& file,
                      const std::string& target, unsigned long long& size) {
    const std::string parent = target.substr(0, target.find_last_of('/'));
    CZoError err = CZoDirectory::Create(parent, true);
    if (err.IsError()) return err;
    if (!force_ && ::access(target.c_str(), F_OK) == 0) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "[%s] exists (use --force to replace it)", target.c_str());
    }
    const std::string tmp = target + ".kxmp-restore." + std::to_string(::getpid());
    CZoFile out;
    err = out.Open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (err.IsError()) return err;
    err = reader.open(file, context);
    if (err.IsSuccess()) {
      err = Copy(reader, out, size);
      CZoError closed = reader.close(context);
      if (err.IsSuccess()) err = closed;
    }
    if (err.IsSuccess()) err = out.Close();  // fsyncs
    if (err.IsSuccess()) err = Rename(tmp, target);
    if (err.IsSuccess()) err = FXFile::SyncDirectory(parent);
    if (err.IsError()) {
      out.Detach(nullptr);
      ::unlink(tmp.c_str());
    }
    return err;
  }

  CZoError Copy(DBLogBackupDataReader& reader, CZoFile& out, unsigned long long& size) {
    buffer_.resize(kPiece);
    unsigned int n = 0;
    do {
      CZoError err = reader.read(buffer_.data(), kPiece, n);
      if (err.IsError()) return err;
      for (unsigned int done = 0; done < n;) {
        unsigned int w = 0;
        err = out.Write(buffer_.data() + done, n - done, &w);
        if (err.IsSuccess() && w == 0) err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Write made no progress");
        if (err.IsError()) return err;
        done += w;
      }
      size += n;
    } while (n == kPiece);
    return CZoError::Success();
  }

  CZoError Rename(const std::string& from, const std::string& to) const {
    const int rc = force_ ? ::rename(from.c_str(), to.c_str())
                          : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc == 0) return CZoError::Success();
    const int e = errno;
    if (e == EEXIST) return FXErrorUtil::ErrorErrNo(FX_LOC, e, "[%s] exists (use --force to replace it)", to.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, e, "Cannot rename [%s] to [%s]", from.c_str(), to.c_str());
  }

  std::string to_;
  bool force_ = false;
  ReaderOptions options_;
  ErrorPrinter errors_{"kxmp restore"};
  std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<Command> MakeSearchCommand() { return std::make_unique<SearchCommand>(); }
std::unique_ptr<Command> MakeRestoreCommand() { return std::make_unique<RestoreCommand>(); }

}  // namespace kxmp::cli
