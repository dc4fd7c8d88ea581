#pragma once

#include "DeviceLink.h"

#include <memory>

namespace updater::run {

// The link object of the programs: serial port and TCP link in one.
std::unique_ptr<DeviceLink> makeProgramLink();

} // namespace updater::run
