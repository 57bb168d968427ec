#include "kxmp/Version.h"

const char* KxmpVersion() { return "1.0.0"; }
