// kxmp events: the operator events the service raised (log/events.log), with what each
// means; --follow keeps printing new ones until interrupted (exit 130 or 143).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "CliSupport.h"
#include "Command.h"
#include "FailureEvent.h"
#include "outside/dataserver/StorageHostNotices.h"
#include "outside/event/EventLog.h"
#include "outside/util/FXString.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

namespace {

constexpr unsigned int kNoUsableMountPath = 0x4A000574;
constexpr unsigned int kDataServerNotReady = 0x4A000569;
constexpr unsigned int kCatalogUnreachable = 0x4A00057A;

std::string IdText(unsigned int id) { return FXString::Format("0x%08X", id); }

std::string TimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm tm {};
  char text[32];
  if (gmtime_r(&seconds, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm) == 0) {
    return std::to_string(ms) + "ms";
  }
  return FXString::Format("%s.%03dZ", text, static_cast<int>(ms % 1000));
}

std::string Arg(const events::EventRecord& e, size_t i) { return i < e.args.size() ? e.args[i] : "?"; }

// What an event tells the operator, in words.
std::string Meaning(const events::EventRecord& e) {
  switch (e.id) {
    case kNoUsableMountPath:
      return "no usable mount path for subclient " + Arg(e, 0);
    case kDataServerNotReady:
      return "the data server of storage host " + Arg(e, 0) + " is not ready";
    case dataserver::kEventStorageHostUnusable:
      return "storage host " + Arg(e, 0) + " cannot be used: " + Arg(e, 1);
    case dataserver::kEventHostKeyChanged:
      return "SECURITY: the host key of storage host " + Arg(e, 0) + " at " + Arg(e, 1) +
             " is not the one trusted (offered " + Arg(e, 2) + " " + Arg(e, 3) + ", known hosts " + Arg(e, 4) + ")";
    case kEventLogCommandFailed:
      return "kxmp " + Arg(e, 1) + " of " + Arg(e, 2) + " for subclient " + Arg(e, 0) + " failed: " + Arg(e, 3);
    case kEventStoredFileDamaged:
      return "stored log " + Arg(e, 2) + " of subclient " + Arg(e, 0) + " on " + Arg(e, 1) + " is " + Arg(e, 3) + ": " +
             Arg(e, 4);
    case kCatalogUnreachable:
      return "the control server's catalog cannot be reached (" + Arg(e, 0) + "): " + Arg(e, 1) +
             "; the cached mount paths carry backups until it answers";
    default: {
      std::string text = "event " + IdText(e.id);
      for (const std::string& a : e.args) text += " " + a;
      return text;
    }
  }
}

void Print(const events::EventRecord& e, bool json) {
  if (!json) {
    std::printf("%s  %s  %s\n", TimeText(e.time).c_str(), IdText(e.id).c_str(), Printable(Meaning(e)).c_str());
    std::fflush(stdout);
    return;
  }
  Json line = {{"type", "event"}, {"time", TimeText(e.time)}, {"id", IdText(e.id)}, {"meaning", Meaning(e)}};
  if ((e.id == kNoUsableMountPath || e.id == kEventLogCommandFailed || e.id == kEventStoredFileDamaged) &&
      !e.args.empty()) {
    line["subclient"] = e.args[0];
  }
  if ((e.id == kDataServerNotReady || e.id == dataserver::kEventStorageHostUnusable ||
       e.id == dataserver::kEventHostKeyChanged) &&
      !e.args.empty()) {
    line["host"] = e.args[0];
  }
  if (e.id == kCatalogUnreachable && !e.args.empty()) line["catalog"] = e.args[0];
  line["args"] = e.args;
  Output::PrintJson(line);
}

// Reads the lines appended to the event log since the last call. A log that shrank was
// replaced or cut: it is read again from its start.
class LogFollower {
 public:
  explicit LogFollower(std::string path) : path_(std::move(path)) {}

  // False (with the reason) when the log exists but cannot be read.
  bool Poll(bool json, std::string& error) {
    kxmp::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT) return true;  // no event yet
      error = "cannot open " + path_ + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      error = "cannot examine " + path_ + ": " + std::strerror(errno);
      return false;
    }
    if (static_cast<uint64_t>(st.st_size) < offset_) {
      offset_ = 0;
      partial_.clear();
    }
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(offset_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = "cannot read " + path_ + ": " + std::strerror(errno);
        return false;
      }
      if (n == 0) break;
      offset_ += static_cast<uint64_t>(n);
      partial_.append(buffer, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
        events::EventRecord record;
        if (events::ParseLine(partial_.substr(start, nl - start), record)) Print(record, json);
      }
      partial_.erase(0, start);
    }
    return true;
  }

 private:
  std::string path_;
  uint64_t offset_ = 0;
  std::string partial_;  // a line whose end has not been written yet
};

class EventsCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("events", "show the operator events the service raised");
    cmd->add_flag("--follow", follow_, "keep printing new events until interrupted");
    cmd->add_flag("--json", json_, "print one JSON object per event");
    home_.AddTo(*cmd);
    SetExample(cmd, "kxmp events --follow");
    return cmd;
  }

  int Run() override {
    home_.Apply();
    if (!follow_) {
      // A log that exists but cannot be read is a failure, not an empty log.
      const std::string path = events::LogPath();
      if (kxmp::UniqueFd probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); !probe.valid() && errno != ENOENT) {
        return out_.Fail(kExitFailed, "cannot read the events in " + path + ": " + std::strerror(errno));
      }
      const std::vector<events::EventRecord> records = events::ReadAll();
      for (const events::EventRecord& e : records) Print(e, json_);
      if (records.empty() && !json_) std::printf("no events in %s\n", events::LogPath().c_str());
      return kExitOk;
    }
    // Interrupts are taken as they come, between polls: blocked here, waited for below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    if (int rc = pthread_sigmask(SIG_BLOCK, &stop, nullptr); rc != 0) {
      return out_.Fail(kExitFailed, std::string("cannot wait for interrupts: ") + std::strerror(rc));
    }
    LogFollower follower(events::LogPath());
    const timespec interval{0, 250 * 1000 * 1000};
    for (;;) {
      std::string error;
      if (!follower.Poll(json_, error)) return out_.Fail(kExitFailed, error);
      if (std::ferror(stdout)) return kExitFailed;  // the reader went away
      // Stopped as a person stops it: 130 for SIGINT, 143 for SIGTERM, like every subcommand.
      const int sig = sigtimedwait(&stop, nullptr, &interval);
      if (sig > 0) return 128 + sig;
    }
  }

 private:
  bool follow_ = false;
  bool& json_ = Globals().json;
  HomeOption home_;
  Output out_{"events", json_};
};

}  // namespace

std::unique_ptr<Command> MakeEventsCommand() { return std::make_unique<EventsCommand>(); }

}  // namespace kxmp::cli
