#pragma once
// Reads of the SQLite catalog, shared by the store's reads and its write transactions. Each
// runs as one statement, so it sees one consistent state of the catalog even while a writer
// updates it.
//
// Only the three tables of the documented schema are read, so a catalog made by hand with
// exactly those statements answers as well as one made by CatalogAdmin.

#include <cstdint>
#include <string>
#include <vector>

#include "outside/catalog/sqlite/CatalogDb.h"
#include "outside/catalog/CatalogRecords.h"

namespace kxmp::catalog {

// found is false (and success returned) when no such subclient exists.
CZoError QuerySubclient(const CatalogDb& db, uint64_t id, SubclientRecord& out, bool& found);
CZoError QueryMountPath(const CatalogDb& db, int64_t id, MountPathRecord& out, bool& found);
// The mount paths of a subclient in position order (ties by mount path id). Attachments whose
// mount path row is missing are left out.
CZoError QueryAttachedMountPaths(const CatalogDb& db, uint64_t subclientId,
                                 std::vector<AttachedMountPath>& out);
CZoError QueryAllSubclients(const CatalogDb& db, std::vector<SubclientRecord>& out);
CZoError QueryAllMountPaths(const CatalogDb& db, std::vector<MountPathRecord>& out);
// Mount paths detached from the subclient (kind kKindDetached); none without the table.
CZoError QueryDetachedMountPaths(const CatalogDb& db, uint64_t subclientId, std::vector<AttachedMountPath>& out);
// 0 no tables, 1 the tables without a version, else the stored version.
CZoError ReadSchemaVersion(const CatalogDb& db, int& version);
// kInvalid when a table lacks a column of the catalog's layout.
CZoError ProbeLayout(const CatalogDb& db);
CZoError QueryMountPathsOfHost(const CatalogDb& db, const std::string& host, std::vector<std::string>& out);

}  // namespace kxmp::catalog
