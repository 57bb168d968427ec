// kxmp backup: backs up local files as log files of a subclient through the log backup writer
// (in-process, no host needed): open, 1 MiB writes, close, verify, per file.
//
// Exit status: 0 every file backed up, 1 any file failed, 2 usage.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Command.h"
#include "LogBackupCli.h"
#include "Validators.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "outside/util/CZoFile.h"

namespace kxmp::cli {
namespace {

constexpr size_t kPiece = size_t(1) << 20;
// Files at least this large get a progress bar on a terminal.
constexpr long long kProgressFrom = 16ll << 20;

class BackupCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("backup", "back up files as log files of a subclient (in-process)");
    cmd->add_option("--subclient", subclient_, "the subclient whose storage is used")->required()->check(kUnsigned);
    cmd->add_option("--stream", stream_, "the stream number (names StreamMetadata_<stream>.xml)");
    cmd->add_option("--time", time_, "backup time value: adds its decimal text as a folder below the root folder");
    cmd->add_option("--root-folder", rootFolder_, "folder below the subclient's root folder");
    cmd->add_flag("--file-mode", fileMode_, "write to the local job results directory instead");
    cmd->add_flag("--metadata", metadata_, "write the stream metadata document at the end");
    cmd->add_flag("--json", json_, "print one JSON object per line (type status or summary)");
    cmd->add_option("FILE", files_, "files to back up (stored under their base name)")->required();
    common_.AddTo(*cmd);
    return cmd;
  }

  int Run() override {
    common_.Apply();
    const auto start = std::chrono::steady_clock::now();
    int failed = 0;
    unsigned long long bytes = 0;
    {
      DBLogBackupDataWriter writer(subclient_, fileMode_, time_, stream_, rootFolder_, &errors_, true);
      if (metadata_) writer.enableWriteMetadata();
      for (const std::string& file : files_) {
        unsigned long long size = 0;
        const std::string name = BaseName(file);
        CZoError err = name.empty() ? FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No file name in [%s]", file.c_str())
                                    : BackupOne(writer, file, name, size);
        if (err.IsError()) ++failed;
        else bytes += size;
        Status(file, name, size, err);
      }
    }  // the writer's end: metadata document and data-path cache
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Summary(static_cast<int>(files_.size()), failed, bytes, seconds);
    return failed == 0 ? kExitOk : kExitFailed;
  }

 private:
  CZoError BackupOne(DBLogBackupDataWriter& writer, const std::string& file, const std::string& name,
                     unsigned long long& size) {
    CZoFile source;
    CZoError err = source.Open(file, O_RDONLY | O_CLOEXEC, 0);
    if (err.IsError()) return err;
    const long long total = FileSize(source.Fd());
    Progress progress(file, total, !json_ && total >= kProgressFrom && ::isatty(STDERR_FILENO));
    err = writer.open(name, O_WRONLY | O_CREAT | O_TRUNC, 0640);
    if (err.IsSuccess()) err = Copy(writer, source, size, progress);
    if (err.IsError()) {
      writer.removeFile("");  // drops the temporary file and its record
      return err;
    }
    err = writer.close("");  // on failure it removes the temporary file itself
    if (err.IsSuccess()) err = writer.verifyBackedupFile(name);
    return err;
  }

  CZoError Copy(DBLogBackupDataWriter& writer, CZoFile& source, unsigned long long& size, Progress& progress) {
    buffer_.resize(kPiece);
    for (;;) {
      unsigned int n = 0;
      CZoError err = source.Read(buffer_.data(), static_cast<unsigned int>(kPiece), &n);
      if (err.IsError()) return err;
      if (n == 0) return CZoError::Success();
      err = writer.write(buffer_.data(), n);
      if (err.IsError()) return err;
      size += n;
      progress.Update(size);
    }
  }

  void Status(const std::string& file, const std::string& name, unsigned long long size, const CZoError& err) {
    if (json_) {
      nlohmann::ordered_json j = {{"type", "status"}, {"file", file}, {"name", name}, {"ok", err.IsSuccess()}};
      if (err.IsSuccess()) j["bytes"] = size;
      std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    } else if (err.IsSuccess()) {
      std::printf("backed up %s as %s (%llu bytes)\n", file.c_str(), name.c_str(), size);
    }
    if (err.IsError()) std::fprintf(stderr, "kxmp backup: %s: %s\n", file.c_str(), err.AsString().c_str());
    std::fflush(stdout);
  }

  void Summary(int files, int failed, unsigned long long bytes, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0.0;
    if (json_) {
      nlohmann::ordered_json j = {{"type", "summary"}, {"files", files},     {"failed", failed},
                          {"bytes", bytes},    {"seconds", seconds}, {"mibPerSecond", rate}};
      std::printf("%s\n", j.dump().c_str());
    } else {
      std::printf("%d files, %d failed, %llu bytes in %.3f s (%.1f MiB/s)\n", files, failed, bytes, seconds, rate);
    }
  }

  uint64_t subclient_ = 0;
  int32_t stream_ = 0;
  int64_t time_ = 0;
  std::string rootFolder_;
  bool fileMode_ = false;
  bool metadata_ = false;
  bool& json_ = Globals().json;
  std::vector<std::string> files_;
  HomeOption common_;
  ErrorPrinter errors_{"kxmp backup"};
  std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<Command> MakeBackupCommand() { return std::make_unique<BackupCommand>(); }

}  // namespace kxmp::cli
