#include "kxmp/AbstractMountingPointDriver.h"

AbstractMountingPointDriver::~AbstractMountingPointDriver() = default;

std::map<std::string, int> AbstractMountingPointDriver::m_eventSuppressor;
std::mutex AbstractMountingPointDriver::m_eventSuppressorLock;
