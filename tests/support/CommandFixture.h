#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Where the end-to-end tests of the command line find the built programs and
// the example firmware, as CTest sets them.
inline QString buildDir()
{
    return qEnvironmentVariable("TARVIK_BUILD_DIR");
}

inline QString exampleFirmware()
{
    return qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/examples/firmware-example.txt");
}

// The whole file, or nothing when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
