#pragma once

#include <QString>
#include <QtGlobal>

// The two values the two windows share, and nothing else. They live for the
// whole run and are never saved.
namespace Module1 {

// Serial port number the operator accepted on the connection window (1 to 16
// once that window has loaded).
extern qint16 PortNumber;

// Text of the rate at which the device answered the probe, e.g. "19200";
// empty until the first probe pass.
extern QString BaudRate;

} // namespace Module1
