#pragma once
// The operator event of a failed log backup subcommand (backup, push, get): what a site's
// monitoring watches to see a stuck archive before a database's disk fills. A database runs
// these subcommands once per log file and retries a failure every minute or so, so the event
// is throttled: one per subclient and subcommand in any kFailureEventQuiet, judged from the
// event log itself, the one record every process of the machine shares. Two processes that
// fail at the same moment may both raise it.

#include <chrono>
#include <cstdint>
#include <string>

namespace kxmp::cli {

// Arguments: the subclient, the subcommand, the file it was about, why it failed.
constexpr unsigned int kEventLogCommandFailed = 0x4A000575;
constexpr std::chrono::minutes kFailureEventQuiet{10};

// Raises the event unless one for the same subclient and subcommand was raised within
// kFailureEventQuiet. A log that cannot be written loses the event; the caller's failure is
// reported all the same.
void RaiseCommandFailed(uint64_t subclient, const std::string& command, const std::string& file,
                        const std::string& why);

// A stored log that is not what was written: found corrupt (its record says other size or
// content), missing (recorded, absent) or unreadable, by verify or restore. Arguments: the
// subclient, where ("<storage host>:<mount path>"), the file's path below the subclient's root
// folder, what was found ("corrupt", "missing", "unreadable"), why. Throttled the same way:
// one per subclient in any kFailureEventQuiet (a nightly verify of a damaged disk would
// otherwise raise one per file).
constexpr unsigned int kEventStoredFileDamaged = 0x4A00057C;
void RaiseStoredFileDamaged(uint64_t subclient, const std::string& where, const std::string& path,
                            const std::string& what, const std::string& why);

}  // namespace kxmp::cli
