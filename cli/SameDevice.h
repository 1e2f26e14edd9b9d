#pragma once

#include "cli/FlashRequest.h"

#include <QByteArray>
#include <QString>

class PortResolver;

// Two names can reach one device: a number's /dev/COM<n> alias and the
// /dev/ttyUSB<n-1> it points to, /dev/serial/by-id/..., any link. Two ports
// of one run on one device would drive it from two threads at once, so a
// port is its device (the device number behind the name), not its text.
// Returns a one-line usage error naming both names when two ports of `ports`
// are one device; empty when none are. A port that resolves to nothing is
// left to its own run to report.
QString sameDeviceTwice(const QList<PortSpec> &ports, const PortResolver &numbers);

// What two names of one device have in common, for comparing: on Linux the
// device number behind a device node, else the file itself; on Windows the
// COM name, whatever its case and with or without the device namespace
// prefix (\\.\COM3 is COM3), or the device a name stands for. Empty when the
// name leads nowhere.
QByteArray deviceIdentity(const QString &path);
