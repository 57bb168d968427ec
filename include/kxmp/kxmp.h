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

#include "kxmp/CTimeInterval.h"
#include "kxmp/FXLockableResource.h"
#include "kxmp/FXMutex.h"
#include "kxmp/FXNamedMutex.h"

#include "kxmp/AbstractMountingPointDriver.h"
#include "kxmp/DataServerContextPtr.h"
#include "kxmp/IOnDemandSvcInterface.h"
#include "kxmp/KXMAMountingPointSvc.h"
#include "kxmp/MountPathInfo.h"
#include "kxmp/UnixMountingPointDriver.h"
