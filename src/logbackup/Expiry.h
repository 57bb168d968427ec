#pragma once
// Removing stored logs with their records and their stream metadata entries, safely beside
// writers on this and other machines, and so that a crash at any point leaves every remaining
// file with its record and its metadata entry.
//
// For the files recorded in one records document (the folder a writer wrote into), in
// batches, each under the storage host's lock of that document (the lock a replacing commit
// holds around its rename, so no file changes under the expiry; a commit that creates a name
// cannot touch an existing one):
//   1. the records of the batch are marked "x" (being expired) and the document written;
//   2. each file is looked at again and removed, unless it was modified at or after the
//      cut-off (it is then kept and its mark taken back);
// then, for every record marked and whose file is gone (this run's, or a crashed run's):
//   3. its entries leave the folder's stream metadata documents (each under its own lock);
//   4. the record leaves the records document.
// A crash after 1 leaves marked records of files that are still there (read as before); after
// 2, marked records of files that are gone, which verify does not call missing and the next
// expiry finishes with steps 3 and 4. A name created again meanwhile keeps its entries: steps
// 3 and 4 look at the file again under each lock. Files being written (".tmp") are never
// chosen by the callers.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

class DataServerContext;

namespace kxmp::logbackup {

struct KXMP_EXPORT ExpiryItem {
  enum Outcome {
    kPending,
    kRemoved,
    kGone,    // not there any more (removed by someone else)
    kKept,    // modified at or after the cut-off: not removed
    kFailed,  // why says
  };
  std::string name;  // relative to the folder of its records document
  Outcome outcome = kPending;
  uint64_t bytes = 0;  // of a removed file
  std::string why;
};

// Removes the items (steps 1 to 4 above). folder: below the context's root folder ("" the
// root folder itself), holding the records document and the stream metadata documents named
// in metadata (their names in folder). The first failure; every item says what became of it.
KXMP_EXPORT CZoError ExpireFiles(DataServerContext* context, const std::string& folder, std::vector<ExpiryItem>& items,
                                 time_t cutoff, const std::vector<std::string>& metadata);

// Steps 3 and 4 for every record of folder marked as being expired whose file is gone.
// finished (when given) gets their names.
KXMP_EXPORT CZoError FinishExpiry(DataServerContext* context, const std::string& folder,
                                  const std::vector<std::string>& metadata, std::vector<std::string>* finished = nullptr);

}  // namespace kxmp::logbackup
