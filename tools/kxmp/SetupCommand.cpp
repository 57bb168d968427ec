// kxmp setup: makes a home folder ready for the host, the tool and the library: the owner-only
// folders the platform components use and the control server's catalog with its schema:
// the machine's own SQLite file, or with --catalog the site's PostgreSQL catalog, whose
// connection goes into the registry (Catalog/sConnection) for the library and the tools.
// Running it again changes nothing but permissions that are too wide.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CliSupport.h"
#include "Command.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/KxHome.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
#include "outside/util/UniqueFd.h"

namespace kxmp::cli {

namespace {

const char* const kFolders[] = {"registry", "locks", "log", "jobresults", "run"};

struct Made {
  std::string path;   // relative to the home
  std::string state;  // created, present, tightened
};

std::string Octal(mode_t mode) { return FXString::Format("%04o", static_cast<unsigned>(mode & 07777)); }

class SetupCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("setup", "create a home folder: registry, locks, log, jobresults, run, catalog; mark the control server online");
    home_.AddTo(*cmd);
    cmd->add_option("--catalog", connection_,
                    "keep the catalog in PostgreSQL: a libpq URI or key=value string without a password "
                    "(passwords come from libpq's password file)");
    cmd->add_flag("--json", json_, "print the result as one JSON line");
    SetExample(cmd, "kxmp setup --home /var/lib/kxmp --catalog 'postgresql://kxmp_admin@cs1/kxmp'");
    return cmd;
  }

  int Run() override {
    const std::string home = home_.Apply();
    std::string error;
    std::vector<Made> made;
    if (!connection_.empty()) {
      CZoError err = catalog::CheckCatalogConnection(connection_);
      // A text that is no connection is a usage error; a PostgreSQL module that cannot be
      // loaded is not.
      if (err.IsError()) {
        return out_.Fail(FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kInvalid) ? kExitUsage : kExitFailed,
                         "--catalog: " + err.Message());
      }
    }
    if (!EnsureHome(home, made, error)) return out_.Fail(kExitFailed, error);
    for (const char* folder : kFolders) {
      if (!EnsureFolder(home, folder, made, error)) return out_.Fail(kExitFailed, error);
    }
    catalog::CatalogLocation where = catalog::CatalogLocation::Postgres(connection_);
    if (connection_.empty()) {
      CZoError err = catalog::LocateCatalog(where);
      if (err.IsError()) return out_.Fail(kExitFailed, err.Message());
    }
    bool ok = where.kind == catalog::CatalogLocation::Kind::Postgres ? EnsureSiteCatalog(where, made, error)
                                                                     : EnsureCatalog(home, made, error);
    if (!ok) return out_.Fail(kExitFailed, error);
    if (!EnsureControlServerState(made, error)) return out_.Fail(kExitFailed, error);

    Json items = Json::array();
    std::string text = "kxmp home " + home + "\n";
    Table table({"STATE", "PATH"});
    for (const Made& m : made) {
      items.push_back({{"path", m.path}, {"state", m.state}});
      table.Add({m.state, m.path});
    }
    out_.Summary({{"home", home}, {"items", items}}, text + table.Render());
    return kExitOk;
  }

 private:
  // The home itself: created owner-only with its missing parents. An existing home keeps its
  // permissions (it may be a folder the operator chose), but one that others may write to
  // is refused: they could replace the folders below.
  bool EnsureHome(const std::string& home, std::vector<Made>& made, std::string& error) {
    std::string partial;
    bool created = false;
    size_t pos = 0;
    while (pos != std::string::npos) {
      pos = home.find('/', pos + 1);
      partial = home.substr(0, pos);
      if (partial.empty()) continue;
      if (::mkdir(partial.c_str(), 0700) == 0) {
        created = true;
      } else if (errno != EEXIST) {
        error = "cannot create " + partial + ": " + std::strerror(errno);
        return false;
      }
    }
    struct stat st {};
    if (::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      error = home + " is not a folder";
      return false;
    }
    if (!created && (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0) {
      error = home + " can be written by every user (mode " + Octal(st.st_mode) +
              "): choose another home, or restrict it with chmod 0700";
      return false;
    }
    made.push_back({".", created ? "created" : "present"});
    return true;
  }

  bool EnsureFolder(const std::string& home, const std::string& name, std::vector<Made>& made, std::string& error) {
    const std::string path = FXPath::Join(home, name);
    bool created = false;
    if (::mkdir(path.c_str(), 0700) == 0) {
      created = true;
    } else if (errno != EEXIST) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
    // Checked through a descriptor: what is checked is what gets its permissions changed.
    kxmp::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      error = path + (errno == ENOTDIR || errno == ELOOP ? " is not a folder (a file or a link is in the way)"
                                                          : std::string(": ") + std::strerror(errno));
      return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      error = "cannot examine " + path + ": " + std::strerror(errno);
      return false;
    }
    if (st.st_uid != ::geteuid()) {
      error = path + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
              std::to_string(::geteuid()) + "): run setup as its owner";
      return false;
    }
    std::string state = created ? "created" : "present";
    if ((st.st_mode & 077) != 0) {
      if (::fchmod(fd.get(), 0700) != 0) {
        error = "cannot restrict " + path + " to its owner: " + std::strerror(errno);
        return false;
      }
      if (!created) state = "tightened from " + Octal(st.st_mode) + " to 0700";
    }
    made.push_back({name + "/", state});
    return true;
  }

  bool EnsureCatalog(const std::string& home, std::vector<Made>& made, std::string& error) {
    const std::string path = FXPath::Join(home, "catalog.db");
    struct stat st {};
    const bool existed = ::lstat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) {
      error = path + " is not a regular file";
      return false;
    }
    int upgradedFrom = 0;
    CZoError err = kxmp::catalog::CatalogAdmin(path).CreateSchema(nullptr, &upgradedFrom);
    if (err.IsError()) {
      error = "cannot prepare the catalog " + path + ": " + ErrorText(err);
      return false;
    }
    if (!existed && ::chmod(path.c_str(), 0600) != 0) {
      error = "cannot restrict " + path + " to its owner: " + std::strerror(errno);
      return false;
    }
    made.push_back({"catalog.db", !existed        ? "created"
                                  : upgradedFrom != 0 ? "upgraded from schema version " + std::to_string(upgradedFrom)
                                                      : "present"});
    return true;
  }

  // The site's catalog: its schema first, then the registry value, so that a machine is
  // never pointed at a database that could not be prepared. A home already pointed at one
  // (setup run again without --catalog) keeps it.
  bool EnsureSiteCatalog(const catalog::CatalogLocation& where, std::vector<Made>& made, std::string& error) {
    catalog::CatalogAdmin admin(where);
    bool created = false;
    int upgradedFrom = 0;
    CZoError err = admin.CreateSchema(&created, &upgradedFrom);
    const std::string item = "catalog in PostgreSQL (" + admin.name() + ")";
    const bool unreachable = FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kUnreachable);
    if (err.IsError() && !FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kInvalid) && SetUpFor(where)) {
      // This home works from its cache while the catalog is away, or is a standby, or waits
      // for its administrator to upgrade it (the host must start then most of all): what
      // could not be checked is said, and setup succeeds.
      made.push_back({item, std::string("not checked: ") +
                                (unreachable ? "the control server's database cannot be reached (" : "(") +
                                ErrorText(err) + ")"});
      return true;
    }
    if (err.IsError()) {
      error = (unreachable ? "the control server's database cannot be reached (" + admin.name() + "): "
                           : "cannot prepare the catalog in " + admin.name() + ": ") +
              ErrorText(err);
      return false;
    }
    made.push_back({item, created ? "created"
                                  : upgradedFrom != 0 ? "upgraded from schema version " + std::to_string(upgradedFrom)
                                                      : "present"});
    if (!connection_.empty()) {
      KXPlatformInfo platform;
      if (!platform.setRegString(catalog::kCatalogRegistryKey, catalog::kCatalogConnectionValue,
                                 where.RegistryText())) {
        error = "cannot store the catalog connection in the registry: " + std::string(std::strerror(platform.getRegError()));
        return false;
      }
      made.push_back({std::string("registry/") + catalog::kCatalogRegistryKey + "/" + catalog::kCatalogConnectionValue,
                      "written"});
    }
    return true;
  }

  // Whether the home's registry already names this catalog: the home was set up for it.
  static bool SetUpFor(const catalog::CatalogLocation& where) {
    catalog::CatalogLocation current;
    return !catalog::LocateCatalog(current).IsError() && current.kind == where.kind && current.target == where.target;
  }

  // The catalog made here is the control server, so a new home starts with it online; an
  // operator's later `kxmp control-server offline` is never undone by running setup again.
  bool EnsureControlServerState(std::vector<Made>& made, std::string& error) {
    KXPlatformInfo platform;
    std::string text;
    if (platform.getString("Runtime", "nCSONLINE", &text) != 0) {
      made.push_back({"registry/Runtime/nCSONLINE", "present"});
      return true;
    }
    if (!platform.setRegString("Runtime", "nCSONLINE", "1")) {
      error = "cannot mark the control server online in " + kxmp::home::Path("registry/Runtime") + ": " +
              std::strerror(platform.getRegError());
      return false;
    }
    made.push_back({"registry/Runtime/nCSONLINE", "created"});  // 1: the control server is online
    return true;
  }

  HomeOption home_;
  std::string connection_;
  bool& json_ = Globals().json;
  Output out_{"setup", json_};
};

}  // namespace

std::unique_ptr<Command> MakeSetupCommand() { return std::make_unique<SetupCommand>(); }

}  // namespace kxmp::cli
