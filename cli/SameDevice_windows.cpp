#include "cli/SameDevice.h"

#include <QDir>

// A COM port is no file that could be looked up: its name is its identity.
// Windows takes names in any case, COM1 to COM9 without the device namespace
// prefix too, and "COM3:" as COM3.
QByteArray deviceIdentity(const QString &path)
{
    QString name = QDir::toNativeSeparators(path);
    for (const QLatin1StringView prefix : {QLatin1StringView("\\\\.\\"), QLatin1StringView("\\\\?\\")}) {
        if (name.startsWith(prefix)) {
            name.remove(0, prefix.size());
            break;
        }
    }
    if (name.endsWith(u':'))
        name.chop(1);
    return name.toUpper().toUtf8();
}
