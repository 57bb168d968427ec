#include "kxmp/Version.h"

// The project's version, given by the build.
const char* KxmpVersion() { return KXMP_VERSION_TEXT; }
