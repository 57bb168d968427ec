// kxmp setup: makes a home folder ready for the host, the tool and the library: the owner-only
// folders the platform components use and the control server's catalog with its schema:
// the machine's own SQLite file, or with --catalog the site's PostgreSQL catalog, whose
// connection goes into the registry (Catalog/sConnection) for the library and the tools.
// Running it again changes nothing but permissions that are too wide.
//
// --owner USER[:GROUP] hands the home to the user a database runs as (the home stays closed
// to everyone else): everything in it, the folders setup made above it, and on every mount
// path of the catalog served from this machine the KX_APP_DUMPS folder with what this user
// made in it. Run it again after adding mount paths, or after running kxmp as root.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "CliSupport.h"
#include "Command.h"
#include "kxmp/RegistryNames.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/dataserver/StorageHostSettings.h"
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

// A user or group number: decimal digits only, within 32 bits.
bool IdNumber(const std::string& text, uint32_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// The user (and group) --owner names.
struct Owner {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // every group the user is in, for "may it pass this folder"

  // USER or USER:GROUP, by name or number; the group defaults to the user's own. Empty when
  // it names them, else why not.
  std::string Parse(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string user = text.substr(0, colon);
    const std::string group = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buffer[4096];
    uint32_t number = 0;
    if (IdNumber(user, number)) {
      ::getpwuid_r(static_cast<uid_t>(number), &pw, buffer, sizeof buffer, &found);
    } else if (!user.empty()) {
      ::getpwnam_r(user.c_str(), &pw, buffer, sizeof buffer, &found);
    }
    if (found == nullptr) return "no user [" + user + "] on this machine";
    name = found->pw_name;
    uid = found->pw_uid;
    gid = found->pw_gid;
    if (colon != std::string::npos) {
      struct group gr {};
      struct group* g = nullptr;
      if (IdNumber(group, number)) {
        ::getgrgid_r(static_cast<gid_t>(number), &gr, buffer, sizeof buffer, &g);
      } else if (!group.empty()) {
        ::getgrnam_r(group.c_str(), &gr, buffer, sizeof buffer, &g);
      }
      if (g == nullptr) return "no group [" + group + "] on this machine";
      gid = g->gr_gid;
    }
    int count = 64;
    groups.assign(static_cast<size_t>(count), 0);
    if (::getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
      groups.assign(static_cast<size_t>(count), 0);
      ::getgrouplist(name.c_str(), gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    groups.push_back(gid);
    return std::string();
  }

  // Whether the user may pass through (search) the folder.
  bool MayPass(const struct stat& st) const {
    if (uid == 0) return true;
    if (st.st_uid == uid) return (st.st_mode & S_IXUSR) != 0;
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) return (st.st_mode & S_IXGRP) != 0;
    return (st.st_mode & S_IXOTH) != 0;
  }
};

class SetupCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("setup", "create a home folder: registry, locks, log, jobresults, run, catalog; mark the control server online");
    home_.AddTo(*cmd);
    cmd->add_option("--catalog", connection_,
                    "keep the catalog in PostgreSQL: a libpq URI or key=value string without a password "
                    "(passwords come from libpq's password file)");
    cmd->add_option("--owner", ownerText_,
                    "hand the home, and KX_APP_DUMPS on the catalog's local mount paths, to this user (and group): "
                    "the user a database runs kxmp as")
        ->type_name("USER[:GROUP]");
    cmd->add_flag("--json", json_, "print the result as one JSON line");
    SetExample(cmd, "kxmp setup --home /var/lib/kxmp --catalog 'postgresql://kxmp_admin@cs1/kxmp'\n"
                    "  kxmp setup --home /var/lib/kxmp --owner postgres   # after attaching the mount paths");
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
    if (!ownerText_.empty()) {
      const std::string why = owner_.Parse(ownerText_);
      if (!why.empty()) return out_.Fail(kExitUsage, "--owner: " + why);
      if (::geteuid() != 0 && owner_.uid != ::geteuid()) {
        return out_.Fail(kExitFailed, "--owner: only root can hand the home to another user (" + owner_.name + ")");
      }
      handOver_ = true;
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
    if (handOver_ && !HandOver(home, made, error)) return out_.Fail(kExitFailed, error);

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
        createdFolders_.push_back(partial);
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
    if (st.st_uid != ::geteuid() && !(handOver_ && st.st_uid == owner_.uid)) {
      error = path + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
              std::to_string(::geteuid()) + "): run setup as its owner, or as root with --owner";
      return false;
    }
    std::string state = created ? "created" : "present";
    // kxmp-host lets the members of its allowed group through run/ to the socket (0710).
    const mode_t kept = name == "run" ? (st.st_mode & S_IXGRP) : 0;
    if ((st.st_mode & 077 & ~kept) != 0) {
      if (::fchmod(fd.get(), 0700 | kept) != 0) {
        error = "cannot restrict " + path + " to its owner: " + std::strerror(errno);
        return false;
      }
      if (!created) state = "tightened from " + Octal(st.st_mode) + " to " + Octal(0700 | kept);
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

  // Gives the home to the owner, after checking that the owner can reach it, then the
  // KX_APP_DUMPS folders of the local mount paths.
  bool HandOver(const std::string& home, std::vector<Made>& made, std::string& error) {
    if (!Reachable(home, false, error)) return false;
    for (const std::string& folder : createdFolders_) {
      if (folder != home && ::lchown(folder.c_str(), owner_.uid, owner_.gid) != 0) {
        error = "cannot hand " + folder + " to " + owner_.name + ": " + std::strerror(errno);
        return false;
      }
    }
    if (!ChownTree(home, false, error)) return false;
    made.push_back({".", "handed to " + owner_.name + " (uid " + std::to_string(owner_.uid) + ", gid " +
                             std::to_string(owner_.gid) + ")"});

    catalog::CatalogAdmin admin;
    std::vector<catalog::MountPathRecord> mountPaths;
    CZoError err = admin.ListMountPaths(mountPaths);
    if (err.IsError()) {
      error = "cannot list the mount paths to hand over: " + ErrorText(err);
      return false;
    }
    for (const catalog::MountPathRecord& mp : mountPaths) {
      bool remote = false;
      dataserver::SftpSettings settings;
      if (dataserver::ReadStorageHost(dataserver::PlainStorageHostName(mp.host), remote, settings).IsError() || remote) {
        continue;  // served by another machine, as the user its settings name
      }
      struct stat st {};
      if (::stat(mp.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        made.push_back({mp.path, "not handed over: not a folder on this machine"});
        continue;
      }
      if (!Reachable(mp.path, true, error)) return false;
      const std::string dumps = FXPath::Join(mp.path, AppDumpsFolder);
      if (::mkdir(dumps.c_str(), 0750) != 0 && errno != EEXIST) {
        error = "cannot create " + dumps + ": " + std::strerror(errno);
        return false;
      }
      if (!ChownTree(dumps, true, error)) return false;
      made.push_back({dumps, "handed to " + owner_.name});
    }
    return true;
  }

  // The owner may pass every folder above path (and path itself with self), except those
  // setup made, which it hands over.
  bool Reachable(const std::string& path, bool self, std::string& error) {
    std::vector<std::string> folders{"/"};
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      folders.push_back(path.substr(0, slash));
    }
    if (self) folders.push_back(path);
    for (const std::string& folder : folders) {
      if (std::find(createdFolders_.begin(), createdFolders_.end(), folder) != createdFolders_.end()) continue;
      struct stat st {};
      if (::stat(folder.c_str(), &st) != 0 || owner_.MayPass(st)) continue;
      error = "user " + owner_.name + " cannot reach " + path + ": " + folder + " is closed to it (owner uid " +
              std::to_string(st.st_uid) + ", mode " + Octal(st.st_mode) + "); open it (for example chmod o+x " +
              folder + ") or choose another place";
      return false;
    }
    return true;
  }

  // Gives the folder and everything below it to the owner, never through a link. onlyMine:
  // only what this user owns (a mount path may hold other users' files).
  bool ChownTree(const std::string& folder, bool onlyMine, std::string& error) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
      error = "cannot open " + folder + ": " + std::strerror(errno);
      return false;
    }
    return ChownAt(fd.get(), folder, onlyMine, error) && ChownOne(fd.get(), "", folder, onlyMine, error);
  }

  bool ChownOne(int dirFd, const std::string& name, const std::string& shown, bool onlyMine, std::string& error) {
    struct stat st {};
    const int flags = name.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(dirFd, name.c_str(), &st, flags) != 0) return true;  // gone meanwhile
    if (onlyMine && st.st_uid != ::geteuid()) return true;
    if (st.st_uid == owner_.uid && st.st_gid == owner_.gid) return true;
    if (::fchownat(dirFd, name.c_str(), owner_.uid, owner_.gid, flags) != 0) {
      error = "cannot hand " + shown + " to " + owner_.name + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  bool ChownAt(int dirFd, const std::string& shown, bool onlyMine, std::string& error) {
    UniqueFd listFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    DIR* dir = listFd.valid() ? ::fdopendir(listFd.get()) : nullptr;
    if (dir == nullptr) {
      error = "cannot list " + shown + ": " + std::strerror(errno);
      return false;
    }
    listFd.release();
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(dir)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(dir);
    for (const std::string& n : names) {
      const std::string path = FXPath::Join(shown, n);
      UniqueFd sub(::openat(dirFd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.valid() && !ChownAt(sub.get(), path, onlyMine, error)) return false;
      if (!ChownOne(dirFd, n, path, onlyMine, error)) return false;
    }
    return true;
  }

  HomeOption home_;
  std::string ownerText_;
  Owner owner_;
  bool handOver_ = false;
  std::vector<std::string> createdFolders_;  // by EnsureHome: the home and parents it lacked
  std::string connection_;
  bool& json_ = Globals().json;
  Output out_{"setup", json_};
};

}  // namespace

std::unique_ptr<Command> MakeSetupCommand() { return std::make_unique<SetupCommand>(); }

}  // namespace kxmp::cli
