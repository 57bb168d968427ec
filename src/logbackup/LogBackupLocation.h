#pragma once
// Errors of log backup name one source, whichever file holds the operation, so that callers
// and operators see the same location for every writer, reader and local-file error.

#include "outside/error/FXCodeLocation.h"

#define LOGBACKUP_LOC FX_LOC_AS("DataWriterReader.cpp")
