#pragma once

#include <QString>

// How the command line names a port that is not given by its number: what
// the operator may type, what the serial layer opens, and the words for it
// in the help and in errors. Linux takes a device path; Windows a COM port's
// name.
namespace PortNames {

// Whether `value` names a device itself rather than a port number or a range:
// on Linux a path beginning with "/"; on Windows COM<n> in any case, with or
// without the device namespace prefix (\\.\COM17) and the trailing colon
// (COM3:), or any other name in the device namespace (\\.\CNCA0).
bool isDeviceName(const QString &value);

// The name the serial layer opens for such a value: the path itself on
// Linux; on Windows \\.\COM<n>, since from COM10 on a port opens only with
// the device namespace prefix.
QString openableName(const QString &value);

// For the help and the usage errors: "a device path such as /dev/ttyUSB0"
// or "a port name such as COM17".
QString deviceNameWords();

// The operator's ways of stopping a run, for the help's exit statuses.
QString stopWords();

} // namespace PortNames
