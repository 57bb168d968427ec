#pragma once
// The on-disk home of the outside components: $KX_HOME, else DefaultRoot() (the
// installation's state folder + lib/kxmp: /var/lib/kxmp for a package installed to /usr).
//   registry/    the platform registry (a key is a folder, a value a file)
//   locks/       lock files of named locks (never unlinked)
//   log/         events.log and the hosts' log files
//   jobresults/  the default job results directory
//   run/         the session socket
//   catalog.db   the control server's catalog
// The system itself never reads the environment; only these components do.

#include <string>

#include "kxmp/kxmp_export.h"
#include "outside/error/CZoError.h"

namespace kxmp::home {

// The home folder (read from the environment on every call, so tests can switch homes).
KXMP_EXPORT std::string Root();
// The home folder when KX_HOME is not set, fixed when the library is built.
KXMP_EXPORT const char* DefaultRoot();
// Root()/sub, created with owner-only permissions (0700) with its parents when missing.
KXMP_EXPORT CZoError Ensure(const std::string& sub, std::string& out);
// Root()/sub without creating it.
KXMP_EXPORT std::string Path(const std::string& sub);

}  // namespace kxmp::home
