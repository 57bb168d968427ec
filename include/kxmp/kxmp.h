#pragma once
// Umbrella header: every public class of the library and the outside components a caller
// needs (errors, logging, paths).

#include "kxmp/kxmp_export.h"
#include "Version.h"
#include "outside/error/CZoError.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/log/CLogWriterInterface.h"
#include "outside/log/Log.h"
#include "outside/util/FXPath.h"
#include "outside/util/FXString.h"
