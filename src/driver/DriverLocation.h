#pragma once
// Errors of the driver name one source, whichever file holds the operation, so that callers
// and operators see the same location for every driver error.

#include "outside/error/FXCodeLocation.h"

#define DRIVER_LOC FX_LOC_AS("AbstractMountingPointDriver.cpp")
