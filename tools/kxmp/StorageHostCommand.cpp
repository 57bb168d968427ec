// kxmp storage-host: which storage hosts are served over SFTP and how they are reached. The
// settings live in the platform registry (DataServer/Hosts/<NAME>); a storage host without
// settings is served by the local backend. `check` connects as the library would and shows
// what the server offers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "CliSupport.h"
#include "Command.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/dataserver/SshFiles.h"
#include "outside/dataserver/StorageHostSettings.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

namespace {

using dataserver::SftpSettings;

Json ToJson(const std::string& name, const SftpSettings& s) {
  return {{"name", name},
          {"transport", dataserver::kSftpTransport},
          {"address", s.address},
          {"port", s.port},
          {"user", s.user},
          {"identityFile", s.identityFile},
          {"passphraseFile", s.passphraseFile},
          {"knownHostsFile", s.knownHostsFile},
          {"connectTimeoutSec", s.connectTimeoutSec},
          {"ioTimeoutSec", s.ioTimeoutSec}};
}

std::string Describe(const SftpSettings& s) {
  return std::string(dataserver::kSftpTransport) + "://" + (s.user.empty() ? std::string() : s.user + "@") + s.address +
         ":" + std::to_string(s.port);
}

// The file made absolute (against the working folder: the host that reads it runs elsewhere)
// and checked to be a regular file this user can read; empty with `error` set otherwise.
std::string ReadableFile(const std::string& option, const std::string& given, std::string& error) {
  std::string path = given;
  if (!path.empty() && path[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      error = option + " " + given + ": the working folder is unknown; give an absolute path";
      return std::string();
    }
    path = FXPath::Join(cwd, path);
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    error = option + " " + path + ": cannot read it: " + std::strerror(errno);
    return std::string();
  }
  if (!S_ISREG(st.st_mode)) {
    error = option + " " + path + ": not a regular file";
    return std::string();
  }
  return path;
}

class StorageHostCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("storage-host", "configure storage hosts served over SFTP");
    cmd->require_subcommand(1);
    SetExample(cmd, "kxmp storage-host list");

    set_ = cmd->add_subcommand("set", "serve a storage host over SFTP (replaces its settings)");
    set_->add_option("NAME", name_, "the storage host's plain name (ma1 for ma1*ma1*0*0)")->required();
    set_->add_option("--address", settings_.address, "host name or IP address of its SSH server")->required();
    set_->add_option("--port", settings_.port, "port of its SSH server")->check(CLI::Range(1, 65535));
    set_->add_option("--user", settings_.user, "user to log in as (default: the user running kxmp-host)");
    CLI::Option* identity =
        set_->add_option("--identity", settings_.identityFile, "private key file used to log in (mode 600)")
            ->type_name("FILE");
    CLI::Option* agent = set_->add_flag("--agent", agent_, "log in with the keys of the ssh agent (SSH_AUTH_SOCK)");
    identity->excludes(agent);
    set_->add_option("--passphrase-file", settings_.passphraseFile,
                     "file (mode 600) whose first line is the passphrase of the --identity key")
        ->type_name("FILE")
        ->needs(identity);
    set_->add_flag("--check", checkFirst_, "connect with the new settings first; store them only when that works");
    set_->add_option("--known-hosts", settings_.knownHostsFile, "known-hosts file listing the server's host key")
        ->required()
        ->type_name("FILE");
    set_->add_option("--connect-timeout", settings_.connectTimeoutSec, "seconds to connect and log in")
        ->check(CLI::Range(1, dataserver::kMaxTimeoutSec));
    set_->add_option("--io-timeout", settings_.ioTimeoutSec, "seconds to wait for any answer of the server")
        ->check(CLI::Range(1, dataserver::kMaxTimeoutSec));
    SetExample(set_,
               "kxmp storage-host set ma1 --address 192.0.2.10 --user kxmp --identity /etc/kxmp/id_ed25519 "
               "--known-hosts /etc/kxmp/known_hosts");

    list_ = cmd->add_subcommand("list", "show the storage hosts served over SFTP");
    SetExample(list_, "kxmp storage-host list --json");

    remove_ = cmd->add_subcommand("remove", "serve a storage host locally again (removes its settings)");
    remove_->add_option("NAME", name_, "the storage host's plain name")->required();
    SetExample(remove_, "kxmp storage-host remove ma1");

    check_ = cmd->add_subcommand("check",
                                 "connect to a storage host, verify its host key, show its extensions and round trip");
    check_->add_option("NAME", name_, "the storage host's plain name")->required();
    SetExample(check_, "kxmp storage-host check ma1");

    for (CLI::App* sub : {set_, list_, remove_, check_}) {
      home_.AddTo(*sub);
      sub->add_flag("--json", json_, "print the result as JSON lines");
    }
    return cmd;
  }

  int Run() override {
    home_.Apply();
    if (list_->parsed()) return List();
    CZoError err = dataserver::ValidateStorageHostName(name_);
    if (err.IsError()) return out_.Fail(kExitUsage, err.Message());
    if (set_->parsed()) return Set();
    if (remove_->parsed()) return Remove();
    return Check();
  }

 private:
  // What set is given, checked as the SSH session will use it: a private key (no .pub, no other
  // file) that only its owner may read, a passphrase file the same, a known-hosts file that
  // lists the host. "" when all is well; else the refusal.
  std::string CheckFiles() {
    std::string error;
    if (!agent_ && settings_.identityFile.empty()) return "give --identity FILE, or --agent to use the ssh agent's keys";
    for (auto [option, file] : {std::pair<const char*, std::string*>{"--identity", &settings_.identityFile},
                                {"--passphrase-file", &settings_.passphraseFile},
                                {"--known-hosts", &settings_.knownHostsFile}}) {
      if (file->empty()) continue;
      *file = ReadableFile(option, *file, error);
      if (file->empty()) return error;
    }
    CZoError err = dataserver::ValidateSftpSettings(settings_, "of " + name_);
    if (err.IsError()) return err.Message();
    if (!settings_.identityFile.empty()) {
      dataserver::PrivateKeyInfo key;
      err = dataserver::InspectPrivateKey(settings_.identityFile, key);
      if (err.IsError()) return "--identity " + settings_.identityFile + ": " + err.Message();
      if (key.isPublicKey) {
        return "--identity " + settings_.identityFile + " is a public key: give the private key (the file without .pub)";
      }
      if (!key.isPrivateKey) return "--identity " + settings_.identityFile + " holds no private key";
      err = dataserver::CheckOwnerOnly(settings_.identityFile, key.mode, "identity file");
      if (err.IsError()) return err.Message();
      if (key.encrypted && settings_.passphraseFile.empty()) {
        return "--identity " + settings_.identityFile +
               " is protected by a passphrase: give --passphrase-file FILE, or use --agent";
      }
    }
    if (!settings_.passphraseFile.empty()) {
      std::string passphrase;
      err = dataserver::ReadPassphraseFile(settings_.passphraseFile, passphrase);
      if (err.IsError()) return err.Message();
    }
    dataserver::KnownHostsInfo known;
    err = dataserver::ReadKnownHostsFile(settings_.knownHostsFile, settings_.address, settings_.port, known);
    if (err.IsError()) return err.Message();
    const std::string listed = settings_.port == 22 ? settings_.address
                                                    : "[" + settings_.address + "]:" + std::to_string(settings_.port);
    if (known.lines.empty() && known.revoked.empty() && !known.certAuthority) {
      return "--known-hosts " + settings_.knownHostsFile + " lists no host key (is it a known-hosts file?)";
    }
    if (!known.listsHost) {
      return "--known-hosts " + settings_.knownHostsFile + " does not list " + listed +
             ": add its key (ssh-keyscan -p " + std::to_string(settings_.port) + " " + settings_.address +
             ", then check the fingerprint)";
    }
    return "";
  }

  // A name that no mount path of the catalog has is most likely mistyped (a catalog without
  // mount paths is one being set up: hosts may come first).
  void CheckCatalog(std::vector<std::string>& warnings) {
    catalog::CatalogAdmin admin;
    std::vector<catalog::MountPathRecord> paths;
    if (admin.ListMountPaths(paths).IsError() || paths.empty()) return;
    std::string names;
    for (const auto& m : paths) {
      const std::string plain = dataserver::PlainStorageHostName(m.host);
      if (plain == name_) return;
      if (names.find(" " + plain + ",") == std::string::npos) names += " " + plain + ",";
    }
    if (!names.empty()) names.pop_back();
    warnings.push_back("no mount path of the catalog is on storage host " + name_ + " (it knows" + names +
                       "): is the name right?");
  }

  int Set() {
    std::vector<std::string> warnings;
    const std::string refused = CheckFiles();
    if (!refused.empty()) return out_.Fail(kExitUsage, refused + "; nothing was changed");
    CheckCatalog(warnings);
    CZoError err;
    for (const std::string& w : warnings) Warn(w);
    if (checkFirst_) {
      dataserver::SftpHostCheck check;
      err = dataserver::CheckSftpHost(settings_, name_, check);
      if (err.IsError()) return out_.Fail(kExitFailed, err.Message() + "; nothing was changed");
    }
    err = dataserver::WriteStorageHost(name_, settings_);
    if (err.IsError()) return out_.Fail(AdminExitStatus(err), "cannot store the settings of " + name_ + ": " + err.Message());
    out_.Summary({{"action", "set"}, {"host", ToJson(name_, settings_)}},
                 "storage host " + name_ + " is served over " + Describe(settings_) + "\n  identity " +
                     (settings_.identityFile.empty() ? std::string("the ssh agent's keys") : settings_.identityFile) +
                     (settings_.passphraseFile.empty() ? std::string() : " (passphrase in " + settings_.passphraseFile + ")") +
                     "\n  known hosts " + settings_.knownHostsFile + "\n  timeouts " +
                     std::to_string(settings_.connectTimeoutSec) + " s to connect, " +
                     std::to_string(settings_.ioTimeoutSec) + " s per answer");
    return kExitOk;
  }

  int List() {
    std::vector<std::string> names;
    CZoError err = dataserver::ListStorageHosts(names);
    if (err.IsError()) return out_.Fail(kExitFailed, "cannot list the storage hosts: " + err.Message());
    Json hosts = Json::array();
    Table table({"NAME", "TRANSPORT", "ADDRESS", "PORT", "USER", "IDENTITY", "KNOWN HOSTS", "TIMEOUTS"});
    int status = kExitOk;
    std::string broken;
    for (const std::string& name : names) {
      bool found = false;
      SftpSettings s;
      err = dataserver::ReadStorageHost(name, found, s);
      if (err.IsError()) {
        // Listed as broken, not hidden: the library refuses to serve this host until it is fixed.
        hosts.push_back({{"name", name}, {"error", err.Message()}});
        broken += "  " + name + ": " + err.Message() + "\n";
        status = kExitFailed;
        continue;
      }
      if (!found) continue;  // removed meanwhile
      hosts.push_back(ToJson(name, s));
      table.Add({name, dataserver::kSftpTransport, s.address, std::to_string(s.port),
                 s.user.empty() ? "(kxmp-host's)" : s.user, s.identityFile, s.knownHostsFile,
                 std::to_string(s.connectTimeoutSec) + "/" + std::to_string(s.ioTimeoutSec) + " s"});
    }
    out_.Summary({{"hosts", hosts}},
                 "Storage hosts served over SFTP (any other is served locally)\n" +
                     (table.empty() ? std::string("  (none)\n") : table.Render()) +
                     (broken.empty() ? std::string() : "Invalid settings (these hosts are not served until fixed)\n" + broken));
    return status;
  }

  int Remove() {
    CZoError err = dataserver::RemoveStorageHost(name_);
    if (err.IsError()) return out_.Fail(AdminExitStatus(err), err.Message());
    out_.Summary({{"action", "removed"}, {"name", name_}},
                 "storage host " + name_ + " has no SFTP settings any more: it is served locally");
    return kExitOk;
  }

  int Check() {
    bool found = false;
    SftpSettings s;
    CZoError err = dataserver::ReadStorageHost(name_, found, s);
    if (err.IsError()) return out_.Fail(kExitFailed, err.Message());
    if (!found) {
      return out_.Fail(kExitNotFound, "storage host " + name_ +
                                          " has no SFTP settings (it is served locally): add them with kxmp "
                                          "storage-host set " + name_);
    }
    out_.Status("connecting to " + Describe(s) + " (storage host " + name_ + ")");
    dataserver::SftpHostCheck check;
    err = dataserver::CheckSftpHost(s, name_, check);
    if (err.IsError()) return out_.Fail(kExitFailed, "storage host " + name_ + ": " + err.Message());
    Json extensions = Json::array();
    std::string text = "storage host " + name_ + " answers at " + Describe(s) + "\n  host key " + check.hostKeyType +
                       " " + check.hostKeyFingerprint + " (listed in " + s.knownHostsFile + ")\n  server " +
                       check.serverBanner + "\n  round trip " + FXString::Format("%.3f", check.roundTripMs) +
                       " ms\n  extensions";
    for (const auto& [extension, version] : check.extensions) {
      extensions.push_back({{"name", extension}, {"version", version}});
      text += "\n    " + extension + " " + version;
    }
    if (check.extensions.empty()) text += " (none)";
    out_.Summary({{"name", name_},
                  {"address", s.address},
                  {"port", s.port},
                  {"hostKeyType", check.hostKeyType},
                  {"hostKeyFingerprint", check.hostKeyFingerprint},
                  {"serverBanner", check.serverBanner},
                  {"roundTripMs", check.roundTripMs},
                  {"extensions", extensions}},
                 text);
    return kExitOk;
  }

  // A line on standard error, or {"type":"warning",...} with --json.
  void Warn(const std::string& message) const {
    if (json_) {
      Output::PrintJson({{"type", "warning"}, {"command", "storage-host"}, {"host", name_}, {"message", message}});
    } else {
      std::fprintf(stderr, "kxmp storage-host: warning: %s\n", Printable(message).c_str());
    }
  }

  CLI::App* set_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* remove_ = nullptr;
  CLI::App* check_ = nullptr;
  std::string name_;
  SftpSettings settings_;
  HomeOption home_;
  bool& json_ = Globals().json;
  bool agent_ = false;
  bool checkFirst_ = false;
  Output out_{"storage-host", json_};
};

}  // namespace

std::unique_ptr<Command> MakeStorageHostCommand() { return std::make_unique<StorageHostCommand>(); }

}  // namespace kxmp::cli
