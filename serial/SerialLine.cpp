#include "serial/SerialLine.h"

#include "serial/SerialControl.h"

namespace SerialWords {

Failure invalidPortNumber()
{
    return Failure(SerialError::InvalidPortNumber, QStringLiteral("Invalid port number"));
}

Failure portInUse(const QString &path, const QString &reason)
{
    return Failure(SerialError::PortInUse,
                   QStringLiteral("The port %1 is in use by another program. Close that program, then try again. (%2)")
                       .arg(path, reason));
}

Failure noPermission(const QString &path, const QString &reason)
{
    return Failure(SerialError::NoPermission,
                   QStringLiteral("You may not open the port %1. Ask for your user to be added to "
                                  "the group \"dialout\", log in again, then try again. (%2)")
                       .arg(path, reason));
}

Failure portGone(const QString &path, const QString &reason)
{
    return Failure(SerialError::PortGone,
                   QStringLiteral("The port %1 is there, but its device is not: was the adapter pulled? "
                                  "Plug it in again, then try again. (%2)")
                       .arg(path, reason));
}

Failure notASerialPort(const QString &path, const QString &reason)
{
    return Failure(SerialError::NotASerialPort, QStringLiteral("%1 is not a serial port. (%2)").arg(path, reason));
}

Failure couldNotOpen(const QString &path, const QString &reason)
{
    return Failure(SerialError::OpenFailed, QStringLiteral("The port %1 could not be opened. (%2)").arg(path, reason));
}

} // namespace SerialWords
