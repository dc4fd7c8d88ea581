#pragma once

#include "PortThread.h"

#include <QString>

// The window's own texts for its status bar and boxes, made from what the link,
// the job and the firmware file say.
namespace statustext {

// A COM port that did not open, from the link's open error: "COM42 could not be
// opened: no such port (/dev/ttyS41)". device: what the number opens.
QString portNotOpened(unsigned comNumber, const QString &device, updater::PortOpenError error,
                      const QString &errorText);

} // namespace statustext
