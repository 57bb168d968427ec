// kxmp catalog: administration of the control server's catalog: mount paths, subclients and
// which mount paths serve which subclient. Every change is checked against the catalog as
// it stands and refused as a whole when it would break it.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <functional>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "CliSupport.h"
#include "Command.h"
#include "RandomGuid.h"
#include "StoredFiles.h"
#include "Validators.h"
#include "outside/catalog/CatalogAdmin.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/CZoFile.h"
#include "outside/util/KxHome.h"

namespace kxmp::cli {

namespace {

using catalog::AttachedMountPath;
using catalog::CatalogAdmin;
using catalog::MountPathRecord;
using catalog::SubclientRecord;

const char* KindName(int64_t kind) {
  return kind == catalog::kKindPrimary ? "primary" : kind == catalog::kKindDetached ? "detached" : "alternate";
}

Json ToJson(const MountPathRecord& m) {
  return {{"id", m.id}, {"host", m.host}, {"path", m.path}, {"library", m.library}};
}
Json ToJson(const SubclientRecord& s) {
  return {{"id", s.id}, {"guid", s.guid}, {"backupsetGuid", s.backupsetGuid}};
}

class CatalogCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* cmd = app.add_subcommand("catalog", "administer the control server's catalog");
    cmd->require_subcommand(1);
    SetExample(cmd, "kxmp catalog list --home /var/lib/kxmp");

    addMountPath_ = cmd->add_subcommand("add-mount-path", "add a mount path of a storage host");
    addMountPath_->add_option("--id", mountPath_.id, "the mount path's id (default: the next free one)")
        ->check(kId);
    addMountPath_->add_option("--host", mountPath_.host, "the storage host's (mangled) name")->required();
    addMountPath_->add_option("--path", mountPath_.path, "the mount path on the storage host")->required();
    addMountPath_->add_option("--library", mountPath_.library, "the library the mount path belongs to");
    addMountPath_->add_flag("--replace", replace_, "change the mount path when the id exists already");
    SetExample(addMountPath_, "kxmp catalog add-mount-path --id 101 --host 'ma1*ma1*1*2' --path /disk1 --library lib1");

    addSubclient_ = cmd->add_subcommand("add-subclient", "add a subclient with its GUIDs");
    addSubclient_->add_option("--id", subclient_.id, "the subclient's id")->required()->check(kId);
    addSubclient_->add_option("--guid", subclient_.guid, "the subclient's GUID (default: a new random one)");
    addSubclient_->add_option("--backupset-guid", subclient_.backupsetGuid,
                              "the backup set's GUID (default: a new random one)");
    addSubclient_->add_flag("--replace", replace_,
                            "change the subclient when it exists already (GUIDs not given are kept)");
    SetExample(addSubclient_, "kxmp catalog add-subclient --id 42");

    attach_ = cmd->add_subcommand("attach", "let a mount path serve a subclient");
    attach_->add_option("--subclient", attachSubclient_, "the subclient's id")->required()->check(kId);
    attach_->add_option("--mount-path", attachMountPath_, "the mount path's id")->required()->check(kId);
    auto* primary = attach_->add_flag("--primary", primary_, "as the subclient's primary mount path");
    auto* alternate = attach_->add_flag("--alternate", alternate_, "as an alternate mount path");
    primary->excludes(alternate);
    attach_->add_option("--position", position_,
                        "place in the subclient's list (default: kept, or after the last one)")
        ->check(kNonNegative);
    attach_->add_flag("--force", force_, "turn the primary into an alternate even though the subclient then has none");
    SetExample(attach_, "kxmp catalog attach --subclient 42 --mount-path 101 --primary --position 1");

    detach_ = cmd->add_subcommand("detach", "stop a mount path serving a subclient");
    detach_->add_option("--subclient", attachSubclient_, "the subclient's id")->required()->check(kId);
    detach_->add_option("--mount-path", attachMountPath_, "the mount path's id")->required()->check(kId);
    detach_->add_flag("--force", force_, "detach the primary even though the subclient then has none");
    SetExample(detach_, "kxmp catalog detach --subclient 42 --mount-path 102");

    list_ = cmd->add_subcommand("list", "show the mount paths, the subclients and their attachments");
    SetExample(list_, "kxmp catalog list --json");

    export_ = cmd->add_subcommand("export", "print the whole catalog as one JSON document, for kxmp catalog import");
    SetExample(export_, "kxmp catalog export > catalog.json");
    import_ = cmd->add_subcommand("import", "write an exported catalog into this home's empty catalog, in one transaction");
    import_->add_option("FILE", importFile_, "the exported document; - is standard input")->required();
    SetExample(import_, "kxmp catalog import catalog.json");

    for (CLI::App* sub : {addMountPath_, addSubclient_, attach_, detach_, list_, export_, import_}) {
      home_.AddTo(*sub);
      sub->add_flag("--json", json_, sub == list_ ? "print the catalog as one JSON line" : "print the result as JSON");
    }
    return cmd;
  }

  int Run() override {
    const std::string home = home_.Apply();
    // The catalog this home's registry names; a registry that cannot be read is said so.
    catalog::CatalogLocation where;
    CZoError located = catalog::LocateCatalog(where);
    if (located.IsError()) return out_.Fail(kExitFailed, "cannot tell which catalog to use: " + located.Message());
    CatalogAdmin admin(where);
    // Writes must not create a catalog without its schema: that is the job of setup.
    struct stat st {};
    if (admin.location().kind == catalog::CatalogLocation::Kind::Sqlite && ::stat(admin.path().c_str(), &st) != 0) {
      if (errno != ENOENT) {
        return out_.Fail(kExitFailed, "cannot read the catalog at " + admin.path() + ": " + std::strerror(errno));
      }
      return out_.Fail(kExitFailed, "there is no catalog at " + admin.path() + ": create it with kxmp setup --home " +
                                        home);
    }
    if (addMountPath_->parsed()) return AddMountPath(admin);
    if (addSubclient_->parsed()) return AddSubclient(admin);
    if (attach_->parsed()) return Attach(admin);
    if (detach_->parsed()) return Detach(admin);
    if (export_->parsed()) return Export(admin);
    if (import_->parsed()) return Import(admin);
    return List(admin);
  }

 private:
  // readBack: what the catalog holds now, read after a COMMIT whose outcome is unknown.
  int Refused(const std::string& what, const CZoError& err, const CatalogAdmin& admin,
              const std::function<std::string()>& readBack = nullptr) const {
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kOutcomeUnknown)) {
      return out_.Fail(kExitFailed, what + ": the outcome is unknown: " + err.Message() +
                                        (readBack ? "; read back: " + readBack() : std::string()));
    }
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kConflict) && err.Message().find("without a primary") != std::string::npos) {
      return out_.Fail(kExitFailed, what + ": " + err.Message() +
                                        " (backups of the subclient would fail until a primary is attached); give "
                                        "--force to do it anyway; the catalog is unchanged");
    }
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kUnreachable)) {
      return out_.Fail(kExitFailed, "the control server's database cannot be reached (" + admin.name() +
                                        "): " + err.Message() + "; nothing was changed");
    }
    return out_.Fail(AdminExitStatus(err), what + ": " + err.Message() + "; the catalog is unchanged");
  }

  int AddMountPath(CatalogAdmin& admin) {
    int64_t id = 0;
    bool replaced = false;
    CZoError err = admin.PutMountPath(mountPath_, &id, replace_, &replaced);
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kAlreadyExists)) {
      return out_.Fail(kExitFailed, "mount path " + std::to_string(mountPath_.id) +
                                        " exists already: give --replace to change it; the catalog is unchanged");
    }
    if (err.IsError()) return Refused("cannot add the mount path", err, admin);
    mountPath_.id = id;
    out_.Summary({{"action", replaced ? "replaced" : "added"}, {"mountPath", ToJson(mountPath_)}},
                 std::string(replaced ? "replaced" : "added") + " mount path " + std::to_string(id) + ": host " +
                     mountPath_.host + ", path " + mountPath_.path +
                     (mountPath_.library.empty() ? "" : ", library " + mountPath_.library));
    return kExitOk;
  }

  int AddSubclient(CatalogAdmin& admin) {
    // GUIDs not given: the existing row's when replacing, else new random ones; the choice
    // is made in the transaction that writes.
    CatalogAdmin::SubclientChange change;
    change.subclient = subclient_;
    change.replace = replace_;
    std::string error;
    for (std::string* guid : {&change.defaultGuid, &change.defaultBackupsetGuid}) {
      if (!RandomGuid(*guid, error)) return out_.Fail(kExitFailed, "cannot make a GUID: " + error);
    }
    bool replaced = false;
    CZoError err = admin.PutSubclient(change, &subclient_, &replaced);
    if (FXErrorUtil::IsErrNo(err, catalog::CatalogErrc::kAlreadyExists)) {
      return out_.Fail(kExitFailed, "subclient " + std::to_string(subclient_.id) +
                                        " exists already: give --replace to change it; the catalog is unchanged");
    }
    if (err.IsError()) return Refused("cannot add the subclient", err, admin);
    out_.Summary({{"action", replaced ? "replaced" : "added"}, {"subclient", ToJson(subclient_)}},
                 std::string(replaced ? "replaced" : "added") + " subclient " + std::to_string(subclient_.id) +
                     ": GUID " + subclient_.guid + ", backup set GUID " + subclient_.backupsetGuid);
    return kExitOk;
  }

  int Attach(CatalogAdmin& admin) {
    if (!primary_ && !alternate_) {
      return out_.Fail(kExitUsage, "say how the mount path serves the subclient: --primary or --alternate");
    }
    const int64_t kind = primary_ ? catalog::kKindPrimary : catalog::kKindAlternate;
    int64_t position = 0;
    CZoError err = admin.Attach(attachSubclient_, attachMountPath_, kind,
                                position_ < 0 ? CatalogAdmin::kNextPosition : position_, &position, force_);
    if (err.IsError()) {
      return Refused("cannot attach the mount path", err, admin, [&] {
        const AttachedMountPath* a = Attachment(admin);
        return a != nullptr && a->kind == kind ? std::string("the attachment is there as ") + KindName(kind) + ": it was kept"
                                               : std::string("the attachment is not there as asked: it was not kept");
      });
    }
    out_.Summary({{"action", "attached"},
                  {"subclient", attachSubclient_},
                  {"mountPath", attachMountPath_},
                  {"kind", KindName(kind)},
                  {"position", position}},
                 "attached mount path " + std::to_string(attachMountPath_) + " to subclient " +
                     std::to_string(attachSubclient_) + " as " + KindName(kind) + " at position " +
                     std::to_string(position) + NoPrimaryWarning(admin));
    return kExitOk;
  }

  // The subclient's attachment of the mount path as the catalog holds it now, or null.
  const AttachedMountPath* Attachment(const CatalogAdmin& admin) {
    attached_.clear();
    if (admin.ListAttachments(attachSubclient_, attached_).IsError()) return nullptr;
    for (const AttachedMountPath& a : attached_) {
      if (a.mountPath.id == attachMountPath_) return &a;
    }
    return nullptr;
  }

  // A line for a subclient that the change (made with --force) left without a primary.
  std::string NoPrimaryWarning(const CatalogAdmin& admin) {
    std::vector<AttachedMountPath> now;
    if (admin.ListAttachments(attachSubclient_, now).IsError()) return std::string();
    for (const AttachedMountPath& a : now) {
      if (a.kind == catalog::kKindPrimary) return std::string();
    }
    return "\nwarning: subclient " + std::to_string(attachSubclient_) +
           " has no primary mount path now: its backups fail until one is attached with --primary";
  }

  int Detach(CatalogAdmin& admin) {
    CZoError err = admin.Detach(attachSubclient_, attachMountPath_, force_);
    if (err.IsError()) {
      return Refused("cannot detach the mount path", err, admin, [&] {
        return Attachment(admin) == nullptr ? std::string("the attachment is gone: it was kept")
                                            : std::string("the attachment is still there: it was not kept");
      });
    }
    // What the subclient has stored there stays readable (search, restore) until the mount
    // path is removed; the operator is told how much that is.
    const std::string id = std::to_string(attachSubclient_), mp = std::to_string(attachMountPath_);
    std::vector<MountPathRecord> all;
    std::string why = "the mount path could not be read from the catalog";
    int64_t files = -1;
    if (!admin.ListMountPaths(all).IsError()) {
      for (const MountPathRecord& m : all) {
        if (m.id == attachMountPath_) files = CountStoredFiles(attachSubclient_, m, why);
      }
    }
    std::string stored = files < 0 ? "could not tell how many files of subclient " + id + " are stored on mount path " +
                                         mp + " (" + why + ")"
                                   : std::to_string(files) + " file(s) of subclient " + id +
                                         " are stored on mount path " + mp;
    if (files != 0) stored += "; search and restore still read them until the mount path is removed";
    out_.Summary({{"action", "detached"},
                  {"subclient", attachSubclient_},
                  {"mountPath", attachMountPath_},
                  {"storedFiles", files}},
                 "detached mount path " + mp + " from subclient " + id + "\n" + (files != 0 ? "warning: " : "") +
                     stored + NoPrimaryWarning(admin));
    return kExitOk;
  }

  // The document: {"type":"catalog","schemaVersion":N,"mountPaths":[...],"subclients":[{...,
  // "mountPaths":[{"mountPath","kind","position"}]}]}; detached mount paths have kind
  // "detached".
  int Export(CatalogAdmin& admin) {
    CatalogAdmin::Content content;
    CZoError err = admin.Export(content);
    if (err.IsError()) return Refused("cannot read the catalog", err, admin);
    Json doc = {{"type", "catalog"}, {"schemaVersion", catalog::kCatalogSchemaVersion}};
    Json mountPaths = Json::array(), subclients = Json::array();
    for (const MountPathRecord& m : content.mountPaths) mountPaths.push_back(ToJson(m));
    for (const SubclientRecord& s : content.subclients) {
      Json js = ToJson(s), attached = Json::array();
      for (const AttachedMountPath& a : content.attachments) {
        if (a.subclientId != s.id) continue;
        attached.push_back({{"mountPath", a.mountPath.id}, {"kind", KindName(a.kind)}, {"position", a.position}});
      }
      js["mountPaths"] = attached;
      subclients.push_back(js);
    }
    doc["mountPaths"] = mountPaths;
    doc["subclients"] = subclients;
    std::string text;
    try {
      text = doc.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
      // Named rather than changed: an export must be the catalog, byte for byte.
      for (const Json& rows : {mountPaths, subclients}) {
        for (const Json& row : rows) {
          try {
            (void)row.dump(-1, ' ', false, Json::error_handler_t::strict);
          } catch (const Json::exception&) {
            return out_.Fail(kExitFailed, "cannot export: a text of " + Printable(row.dump(-1, ' ', false, Json::error_handler_t::replace)) +
                                              " is not UTF-8, which JSON cannot hold; the catalog is unchanged");
          }
        }
      }
      return out_.Fail(kExitFailed, "cannot export: a text is not UTF-8");
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? kExitOk : out_.Fail(kExitFailed, "cannot write the document");
  }

  int Import(CatalogAdmin& admin) {
    std::string text;
    if (importFile_ == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      CZoError err = CZoFile::ReadWholeFile(importFile_, text);
      if (err.IsError()) return out_.Fail(kExitUsage, "cannot read " + importFile_ + ": " + err.Message());
    }
    CatalogAdmin::Content content;
    try {
      const Json doc = Json::parse(text);
      if (doc.value("type", "") != "catalog") throw std::invalid_argument("not an exported catalog (no \"type\":\"catalog\")");
      for (const Json& m : doc.at("mountPaths")) {
        content.mountPaths.push_back({m.at("id").get<int64_t>(), m.at("host").get<std::string>(),
                                      m.at("path").get<std::string>(), m.value("library", "")});
      }
      for (const Json& s : doc.at("subclients")) {
        SubclientRecord row{s.at("id").get<uint64_t>(), s.at("guid").get<std::string>(), s.value("backupsetGuid", "")};
        content.subclients.push_back(row);
        for (const Json& a : s.value("mountPaths", Json::array())) {
          AttachedMountPath attached;
          attached.subclientId = row.id;
          attached.mountPath.id = a.at("mountPath").get<int64_t>();
          const std::string kind = a.at("kind").get<std::string>();
          attached.kind = kind == "primary"     ? catalog::kKindPrimary
                          : kind == "alternate" ? catalog::kKindAlternate
                          : kind == "detached"  ? catalog::kKindDetached
                                                : throw std::invalid_argument("unknown kind \"" + kind + "\"");
          attached.position = a.value("position", int64_t{0});
          content.attachments.push_back(attached);
        }
      }
    } catch (const std::exception& e) {
      return out_.Fail(kExitUsage, importFile_ + " is not an exported catalog: " + Printable(e.what()));
    }
    CZoError err = admin.Import(content);
    if (err.IsError()) return Refused("cannot import " + importFile_, err, admin);
    out_.Summary({{"action", "imported"},
                  {"catalog", admin.name()},
                  {"mountPaths", content.mountPaths.size()},
                  {"subclients", content.subclients.size()},
                  {"attachments", content.attachments.size()}},
                 "imported " + std::to_string(content.mountPaths.size()) + " mount path(s), " +
                     std::to_string(content.subclients.size()) + " subclient(s) and " +
                     std::to_string(content.attachments.size()) + " attachment(s) into " + admin.name());
    return kExitOk;
  }

  int List(CatalogAdmin& admin) {
    std::vector<MountPathRecord> mountPaths;
    std::vector<SubclientRecord> subclients;
    CZoError err = admin.ListMountPaths(mountPaths);
    if (!err.IsError()) err = admin.ListSubclients(subclients);
    if (err.IsError()) return Refused("cannot read the catalog", err, admin);

    Json jsonMountPaths = Json::array();
    Table mountPathTable({"ID", "HOST", "PATH", "LIBRARY"});
    for (const MountPathRecord& m : mountPaths) {
      jsonMountPaths.push_back(ToJson(m));
      mountPathTable.Add({std::to_string(m.id), m.host, m.path, m.library});
    }
    Json jsonSubclients = Json::array();
    Table subclientTable({"ID", "GUID", "BACKUP SET GUID"});
    Table attachmentTable({"SUBCLIENT", "POSITION", "KIND", "MOUNT PATH", "HOST", "PATH"});
    for (const SubclientRecord& s : subclients) {
      std::vector<AttachedMountPath> attached, detached;
      err = admin.ListAttachments(s.id, attached);
      if (!err.IsError()) err = admin.ListDetached(s.id, detached);
      if (err.IsError()) return Refused("cannot read the catalog", err, admin);
      attached.insert(attached.end(), detached.begin(), detached.end());
      Json jsonAttached = Json::array();
      for (const AttachedMountPath& a : attached) {
        jsonAttached.push_back({{"mountPath", a.mountPath.id}, {"kind", KindName(a.kind)}, {"position", a.position}});
        attachmentTable.Add({std::to_string(s.id), std::to_string(a.position), KindName(a.kind),
                             std::to_string(a.mountPath.id), a.mountPath.host, a.mountPath.path});
      }
      Json js = ToJson(s);
      js["mountPaths"] = jsonAttached;
      jsonSubclients.push_back(js);
      subclientTable.Add({std::to_string(s.id), s.guid, s.backupsetGuid});
    }
    std::string text = "Mount paths\n" + (mountPathTable.empty() ? "  (none)\n" : mountPathTable.Render());
    text += "Subclients\n" + (subclientTable.empty() ? "  (none)\n" : subclientTable.Render());
    text += "Attachments\n" + (attachmentTable.empty() ? "  (none)\n" : attachmentTable.Render());
    out_.Summary({{"catalog", admin.name()}, {"mountPaths", jsonMountPaths}, {"subclients", jsonSubclients}}, text);
    return kExitOk;
  }

  CLI::App* addMountPath_ = nullptr;
  CLI::App* addSubclient_ = nullptr;
  CLI::App* attach_ = nullptr;
  CLI::App* detach_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* export_ = nullptr;
  CLI::App* import_ = nullptr;
  std::string importFile_;
  HomeOption home_;
  bool& json_ = Globals().json;
  Output out_{"catalog", json_};
  MountPathRecord mountPath_;
  SubclientRecord subclient_;
  bool replace_ = false;
  uint64_t attachSubclient_ = 0;
  int64_t attachMountPath_ = 0;
  bool primary_ = false;
  bool alternate_ = false;
  int64_t position_ = -1;  // not given
  bool force_ = false;
  std::vector<AttachedMountPath> attached_;
};

}  // namespace

std::unique_ptr<Command> MakeCatalogCommand() { return std::make_unique<CatalogCommand>(); }

}  // namespace kxmp::cli
