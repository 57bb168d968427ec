#pragma once
#include "kxmp/kxmp_export.h"

// The library's version text, e.g. "1.0.0".
KXMP_EXPORT const char* KxmpVersion();
