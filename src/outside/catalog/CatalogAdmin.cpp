#include "outside/catalog/CatalogAdmin.h"

#include <errno.h>

#include <algorithm>
#include <set>
#include <new>

#include "outside/catalog/CatalogValidation.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/error/Guarded.h"

namespace kxmp::catalog {
namespace {
// Built at load, so reporting a shortage of memory needs none.
const CZoError kNoMemoryWorkingOnCatalog =
    FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNoMemory, "Out of memory working on the catalog");
}  // namespace

namespace {

using ull = unsigned long long;
using ll = long long;

// Runs fn() and turns an allocation failure into an error, so none leaves the API.
template <typename Fn>
CZoError Guarded(Fn fn) {
  try {
    return fn();
  } catch (...) {
    return CaughtError(kNoMemoryWorkingOnCatalog, FX_LOC);
  }
}

// Runs a write whose insert may race with another machine's insert of the same id: when
// replacing, the loser runs again and finds the row to replace.
template <typename Fn>
CZoError WriteRacingInsert(bool replace, Fn write) {
  CZoError err = write();
  if (replace && FXErrorUtil::IsErrNo(err, CatalogErrc::kAlreadyExists)) err = write();
  return err;
}

CZoError LeavesNoPrimary(uint64_t subclientId, int64_t mountPathId) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kConflict,
                                 "Mount path [%lld] is the primary of subclient [%llu]: the change would leave the "
                                 "subclient without a primary mount path",
                                 (ll)mountPathId, (ull)subclientId);
}

CZoError NotInCatalog(const char* what, ll id) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNotFound, "No %s [%lld] in the catalog", what, id);
}

}  // namespace

CatalogAdmin::CatalogAdmin() {
  locateError_ = LocateCatalog(where_);
  if (!locateError_.IsError()) locateError_ = MakeCatalogStore(where_, store_);
}

CatalogAdmin::CatalogAdmin(std::string catalogPath) : CatalogAdmin(CatalogLocation::Sqlite(std::move(catalogPath))) {}

CatalogAdmin::CatalogAdmin(CatalogLocation where) : where_(std::move(where)) {
  locateError_ = MakeCatalogStore(where_, store_);
}

CatalogAdmin::~CatalogAdmin() = default;
CatalogAdmin::CatalogAdmin(CatalogAdmin&&) noexcept = default;

CZoError CatalogAdmin::Store(CatalogStore*& out) const {
  if (locateError_.IsError()) return locateError_;
  out = store_.get();
  return CZoError::Success();
}

CZoError CatalogAdmin::Write(const CatalogStore::WriteBody& body) const {
  return Guarded([&] {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    // Changes are made to the layout this code knows only; setup creates or upgrades it.
    int version = 0;
    if (!err.IsError()) err = store->SchemaVersion(version);
    if (!err.IsError() && version != kCatalogSchemaVersion) {
      return FXErrorUtil::ErrorErrNo(
          FX_LOC, version == 0 ? CatalogErrc::kUnreadable : CatalogErrc::kInvalid,
          version == 0 ? "Catalog [%s] has no tables: run kxmp setup"
                       : "Catalog [%s] has schema version %d, this kxmp writes version %d: run kxmp setup (with the "
                         "administering role) to upgrade it",
          store->Name().c_str(), version, kCatalogSchemaVersion);
    }
    return err.IsError() ? err : store->Write(body);
  });
}

std::string CatalogAdmin::name() const {
  CatalogStore* store = nullptr;
  return Store(store).IsError() ? where_.target : store->Name();
}

CZoError CatalogAdmin::CreateSchema(bool* created, int* upgradedFrom) {
  return Guarded([&] {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    bool made = false;
    int from = 0;
    if (!err.IsError()) err = store->CreateSchema(made, from);
    if (!err.IsError() && created != nullptr) *created = made;
    if (!err.IsError() && upgradedFrom != nullptr) *upgradedFrom = from;
    return err;
  });
}

CZoError CatalogAdmin::SchemaVersion(int& version) const {
  return Guarded([&] {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    return err.IsError() ? err : store->SchemaVersion(version);
  });
}

CZoError CatalogAdmin::ValidateMountPath(const MountPathRecord& m) {
  return Guarded([&] {
    if (m.id < 0 || m.id > kMaxId) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path id [%lld] is not from 1 to %lld", (ll)m.id, (ll)kMaxId);
    }
    CZoError err = CheckHostName(m.host);
    if (err.IsError()) return err.Push(FX_LOC, "Mount path [%lld] has no valid host", (ll)m.id);
    if (m.path.empty() || HasControlCharacter(m.path)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: the path [%s] is empty or holds control characters",
                                     (ll)m.id, m.path.c_str());
    }
    if (m.library.find('|') != std::string::npos || HasControlCharacter(m.library)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: the library [%s] must not hold \"|\" or control characters",
                                     (ll)m.id, m.library.c_str());
    }
    return CZoError::Success();
  });
}

CZoError CatalogAdmin::ValidateSubclient(const SubclientRecord& s) {
  return Guarded([&] {
    if (s.id == 0 || s.id > static_cast<uint64_t>(kMaxId)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient id [%llu] is not from 1 to %lld", (ull)s.id, (ll)kMaxId);
    }
    if (s.guid.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient [%llu] needs a GUID", (ull)s.id);
    CZoError err = CheckGuid("subclient GUID", s.guid);
    if (!err.IsError() && !s.backupsetGuid.empty()) err = CheckGuid("backup set GUID", s.backupsetGuid);
    return err;
  });
}

CZoError CatalogAdmin::PutMountPath(const MountPathRecord& m, int64_t* assignedId, bool replace, bool* replaced) {
  return Guarded([&] {
    CZoError err = ValidateMountPath(m);
    if (err.IsError()) return err;
    MountPathRecord row;
    bool found = false;
    err = WriteRacingInsert(replace, [&] {
      return Write([&](CatalogWriter& w) {
        row = m;
        found = false;
        MountPathRecord old;
        CZoError e = m.id == 0 ? CZoError::Success() : w.FindMountPath(m.id, old, found);
        if (e.IsError()) return e;
        if (found && !replace) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kAlreadyExists, "Mount path [%lld] exists already",
                                         (ll)m.id);
        }
        if (found) return w.UpdateMountPath(row);
        e = w.InsertMountPath(row);
        // The next free id of a catalog whose largest id is the largest allowed.
        if (!e.IsError() && row.id > kMaxId) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No mount path id from 1 to %lld is free after the largest",
                                         (ll)kMaxId);
        }
        return e;
      });
    });
    if (err.IsError()) return err;
    if (assignedId != nullptr) *assignedId = row.id;
    if (replaced != nullptr) *replaced = found;
    return err;
  });
}

CZoError CatalogAdmin::RemoveMountPath(int64_t id) {
  return Write([&](CatalogWriter& w) {
    bool existed = false;
    CZoError e = w.DeleteMountPath(id, existed);
    if (!e.IsError() && !existed) e = NotInCatalog("mount path", (ll)id);
    return e;
  });
}

CZoError CatalogAdmin::PutSubclient(const SubclientRecord& s) {
  SubclientChange change;
  change.subclient = s;
  change.replace = true;
  return Guarded([&] {
    CZoError err = ValidateSubclient(s);  // exactly the GUIDs given: none is taken over
    return err.IsError() ? err : PutSubclient(change, nullptr, nullptr);
  });
}

CZoError CatalogAdmin::PutSubclient(const SubclientChange& change, SubclientRecord* stored, bool* replaced) {
  return Guarded([&] {
    const SubclientRecord& given = change.subclient;
    if (given.id == 0 || given.id > static_cast<uint64_t>(kMaxId)) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient id [%llu] is not from 1 to %lld", (ull)given.id,
                                     (ll)kMaxId);
    }
    SubclientRecord row;
    bool found = false;
    CZoError err = WriteRacingInsert(change.replace, [&] {
      return Write([&](CatalogWriter& w) {
        SubclientRecord old;
        CZoError e = w.LockSubclient(given.id, old, found);
        if (e.IsError()) return e;
        if (found && !change.replace) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kAlreadyExists, "Subclient [%llu] exists already",
                                         (ull)given.id);
        }
        // The GUIDs name the subclient's folders on every mount path: a replacement keeps
        // the ones not given, so its backups stay where they are.
        row = given;
        if (row.guid.empty()) row.guid = found ? old.guid : change.defaultGuid;
        if (row.backupsetGuid.empty()) row.backupsetGuid = found ? old.backupsetGuid : change.defaultBackupsetGuid;
        if ((e = ValidateSubclient(row)).IsError()) return e;
        return found ? w.UpdateSubclient(row) : w.InsertSubclient(row);
      });
    });
    if (err.IsError()) return err;
    if (stored != nullptr) *stored = row;
    if (replaced != nullptr) *replaced = found;
    return err;
  });
}

CZoError CatalogAdmin::RemoveSubclient(uint64_t id) {
  return Write([&](CatalogWriter& w) {
    bool existed = false;
    CZoError e = w.DeleteSubclient(id, existed);
    if (!e.IsError() && !existed) e = NotInCatalog("subclient", (ll)id);
    return e;
  });
}

CZoError CatalogAdmin::Attach(uint64_t subclientId, int64_t mountPathId, int64_t kind, int64_t position,
                              int64_t* placed, bool allowNoPrimary) {
  return Guarded([&] {
    if (kind != kKindPrimary && kind != kKindAlternate) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Kind [%lld] is neither primary (0) nor alternate (-1)", (ll)kind);
    }
    int64_t where = position;
    CZoError err = Write([&](CatalogWriter& w) {
      SubclientRecord subclient;
      MountPathRecord mountPath;
      bool found = false;
      CZoError e = w.LockSubclient(subclientId, subclient, found);
      if (e.IsError()) return e;
      if (!found) return NotInCatalog("subclient", (ll)subclientId);
      if ((e = w.FindMountPath(mountPathId, mountPath, found)).IsError()) return e;
      if (!found) return NotInCatalog("mount path", (ll)mountPathId);
      std::vector<AttachedMountPath> current;
      if ((e = w.Attachments(subclientId, current)).IsError()) return e;
      where = position;
      if (where == kNextPosition) {
        where = 1;
        for (const auto& a : current) {
          if (a.mountPath.id == mountPathId) {
            where = a.position;  // an existing attachment keeps its place
            break;
          }
          where = std::max(where, a.position + 1);
        }
      }
      for (const auto& a : current) {
        if (a.mountPath.id == mountPathId) {  // the attachment being updated
          if (a.kind == kKindPrimary && kind != kKindPrimary && !allowNoPrimary) return LeavesNoPrimary(subclientId, mountPathId);
          continue;
        }
        if (kind == kKindPrimary && a.kind == kKindPrimary) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kConflict,
                                         "Subclient [%llu] already has primary mount path [%lld]", (ull)subclientId,
                                         (ll)a.mountPath.id);
        }
        if (a.position == where) {
          return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kConflict,
                                         "Position [%lld] of subclient [%llu] is taken by mount path [%lld]", (ll)where,
                                         (ull)subclientId, (ll)a.mountPath.id);
        }
      }
      if ((e = w.PutAttachment(subclientId, mountPathId, kind, where)).IsError()) return e;
      return w.DeleteDetached(subclientId, mountPathId);  // attached again: no longer kept apart
    });
    if (!err.IsError() && placed != nullptr) *placed = where;
    return err;
  });
}

CZoError CatalogAdmin::Detach(uint64_t subclientId, int64_t mountPathId, bool allowNoPrimary) {
  return Write([&](CatalogWriter& w) {
    SubclientRecord subclient;
    bool found = false;
    CZoError e = w.LockSubclient(subclientId, subclient, found);
    std::vector<AttachedMountPath> current;
    if (!e.IsError() && found) e = w.Attachments(subclientId, current);
    if (e.IsError()) return e;
    for (const auto& a : current) {
      if (a.mountPath.id == mountPathId && a.kind == kKindPrimary && !allowNoPrimary) {
        return LeavesNoPrimary(subclientId, mountPathId);
      }
    }
    bool existed = false;
    e = w.DeleteAttachment(subclientId, mountPathId, existed);
    if (!e.IsError() && !existed) {
      e = FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kNotFound, "Mount path [%lld] is not attached to subclient [%llu]",
                                  (ll)mountPathId, (ull)subclientId);
    }
    // What is stored there stays readable until the mount path is removed.
    if (!e.IsError()) e = w.PutDetached(subclientId, mountPathId);
    return e;
  });
}


namespace {

// Reads into a fresh list and hands it out only when the read succeeded.
template <typename Record, typename Read>
CZoError ReadList(std::vector<Record>& out, Read read) {
  return Guarded([&] {
    std::vector<Record> rows;
    CZoError err = read(rows);
    if (!err.IsError()) out.swap(rows);
    return err;
  });
}

}  // namespace

CZoError CatalogAdmin::ListSubclients(std::vector<SubclientRecord>& out) const {
  return ReadList(out, [&](std::vector<SubclientRecord>& rows) {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    return err.IsError() ? err : store->AllSubclients(rows);
  });
}

CZoError CatalogAdmin::ListMountPaths(std::vector<MountPathRecord>& out) const {
  return ReadList(out, [&](std::vector<MountPathRecord>& rows) {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    return err.IsError() ? err : store->AllMountPaths(rows);
  });
}

CZoError CatalogAdmin::ListAttachments(uint64_t subclientId, std::vector<AttachedMountPath>& out) const {
  return ReadList(out, [&](std::vector<AttachedMountPath>& rows) {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    return err.IsError() ? err : store->AttachedMountPaths(subclientId, rows);
  });
}

CZoError CatalogAdmin::ListDetached(uint64_t subclientId, std::vector<AttachedMountPath>& out) const {
  return ReadList(out, [&](std::vector<AttachedMountPath>& rows) {
    CatalogStore* store = nullptr;
    CZoError err = Store(store);
    return err.IsError() ? err : store->DetachedMountPaths(subclientId, rows);
  });
}

CZoError CatalogAdmin::Export(Content& out) const {
  return Guarded([&] {
    Content content;
    CZoError err = ListMountPaths(content.mountPaths);
    if (!err.IsError()) err = ListSubclients(content.subclients);
    for (const SubclientRecord& s : content.subclients) {
      std::vector<AttachedMountPath> attached, detached;
      if (!err.IsError()) err = ListAttachments(s.id, attached);
      if (!err.IsError()) err = ListDetached(s.id, detached);
      content.attachments.insert(content.attachments.end(), attached.begin(), attached.end());
      content.attachments.insert(content.attachments.end(), detached.begin(), detached.end());
    }
    if (!err.IsError()) out = std::move(content);
    return err;
  });
}

CZoError CatalogAdmin::Import(const Content& content) {
  return Guarded([&] {
    std::set<int64_t> mountPathIds;
    std::set<uint64_t> subclientIds;
    for (const MountPathRecord& m : content.mountPaths) {
      if (m.id < 1 || m.id > 2147483647) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld]: the id is outside 1..2147483647", (ll)m.id);
      }
      CZoError err = ValidateMountPath(m);
      if (err.IsError()) return err;
      if (!mountPathIds.insert(m.id).second) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Mount path [%lld] is listed twice", (ll)m.id);
      }
    }
    for (const SubclientRecord& s : content.subclients) {
      CZoError err = ValidateSubclient(s);
      if (err.IsError()) return err;
      if (!subclientIds.insert(s.id).second) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Subclient [%llu] is listed twice", (ull)s.id);
      }
    }
    for (const AttachedMountPath& a : content.attachments) {
      if (subclientIds.count(a.subclientId) == 0 || mountPathIds.count(a.mountPath.id) == 0 ||
          (a.kind != kKindPrimary && a.kind != kKindAlternate && a.kind != kKindDetached)) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL,
                                       "The attachment of mount path [%lld] to subclient [%llu] (kind %lld) refers to a "
                                       "row the content lacks, or has no known kind",
                                       (ll)a.mountPath.id, (ull)a.subclientId, (ll)a.kind);
      }
    }
    return Write([&](CatalogWriter& w) {
      bool empty = false;
      CZoError e = w.IsEmpty(empty);
      if (e.IsError()) return e;
      if (!empty) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, CatalogErrc::kAlreadyExists,
                                       "Catalog [%s] is not empty: import writes into an empty catalog only",
                                       name().c_str());
      }
      for (const MountPathRecord& m : content.mountPaths) {
        MountPathRecord row = m;
        if ((e = w.InsertMountPath(row)).IsError()) return e.Push(FX_LOC, "Mount path [%lld]", (ll)m.id);
      }
      for (const SubclientRecord& s : content.subclients) {
        if ((e = w.InsertSubclient(s)).IsError()) return e.Push(FX_LOC, "Subclient [%llu]", (ull)s.id);
      }
      for (const AttachedMountPath& a : content.attachments) {
        e = a.kind == kKindDetached ? w.PutDetached(a.subclientId, a.mountPath.id)
                                    : w.PutAttachment(a.subclientId, a.mountPath.id, a.kind, a.position);
        if (e.IsError()) {
          return e.Push(FX_LOC, "The attachment of mount path [%lld] to subclient [%llu]", (ll)a.mountPath.id,
                        (ull)a.subclientId);
        }
      }
      return e;
    });
  });
}

}  // namespace kxmp::catalog
