#pragma once
// The application identity of a subclient, answered from table subclient of the control
// server's catalog (the one the registry names, CatalogLocator.h). An ApplicationId is made from an application type and a subclient id;
// the catalog knows type 2 (file-system style subclients) only, so any other type is an
// unknown identity.
//
// The catalog row is read once, on the first question, read-only; the Subclient and
// BackupSet objects handed out are owned by the ApplicationId and live as long as it does.
// The catalog does not model instances, so getInstance returns the ApplicationId itself,
// from which getBackupSet can be asked; it is null for an unknown subclient.
//
// getGUIDStr returns 0 and fills the text, or non-zero and leaves it unchanged:
//   2  the GUID is empty (a backup set without GUID)
//   22 the GUID is not usable as a folder name ("/" or a control character in it, ".", "..")
// Lookup failures (missing catalog 2, unreadable 5, busy 16, out of memory 12, database
// server unreachable 113) make
// getSubclient, getInstance and getBackupSet return null; getLastError() keeps the cause.

#include <cstdint>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/catalog/CatalogRecords.h"
#include "outside/error/CZoError.h"

// What a subclient and a backup set answer: their GUID.
class KXMP_EXPORT CatalogGuidHolder {
 public:
  explicit CatalogGuidHolder(std::string guid) : guid_(std::move(guid)) {}
  int getGUIDStr(std::string& out, void* reserved);

 private:
  std::string guid_;
};

class KXMP_EXPORT Subclient : public CatalogGuidHolder {
 public:
  using CatalogGuidHolder::CatalogGuidHolder;
};

class KXMP_EXPORT BackupSet : public CatalogGuidHolder {
 public:
  using CatalogGuidHolder::CatalogGuidHolder;
};

class KXMP_EXPORT ApplicationId {
 public:
  static constexpr int kAppTypeSubclient = 2;

  // Uses the catalog of the home folder.
  ApplicationId(int appType, unsigned long subclientId);
  // Uses the SQLite catalog at catalogPath (tools).
  ApplicationId(int appType, unsigned long subclientId, std::string catalogPath);
  ~ApplicationId();
  ApplicationId(const ApplicationId&) = delete;
  ApplicationId& operator=(const ApplicationId&) = delete;

  Subclient* getSubclient(void* reserved);
  ApplicationId* getInstance(void* reserved);
  BackupSet* getBackupSet(void* reserved);

  int getAppType() const { return appType_; }
  unsigned long getSubclientId() const { return subclientId_; }
  // Why the last lookup found nothing (success when the subclient is known).
  const CZoError& getLastError() const { return lastError_; }

 private:
  // Reads the row on first use; true when the subclient is known.
  bool Load();

  int appType_;
  unsigned long subclientId_;
  std::string catalogPath_;
  bool loaded_ = false;
  CZoError lastError_;
  std::unique_ptr<Subclient> subclient_;
  std::unique_ptr<BackupSet> backupSet_;
};
