#pragma once
// Errors of the service name one source, whichever file holds the operation.

#include "outside/error/FXCodeLocation.h"

#define SERVICE_LOC FX_LOC_AS("KXMAMountingPointSvc.cpp")
