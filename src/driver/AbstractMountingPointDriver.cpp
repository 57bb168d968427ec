#include "kxmp/AbstractMountingPointDriver.h"

AbstractMountingPointDriver::~AbstractMountingPointDriver() = default;
