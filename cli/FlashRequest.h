#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One port to flash: a port number 1 to 16, resolved as the windows resolve
// it, or a device's own name (a path on Linux, COM17 on Windows).
struct PortSpec
{
    qint16 number = 0; // 0 for a device path
    QString path;

    // As the operator wrote it: "3", "/dev/ttyUSB0" or "COM17".
    QString label() const { return number > 0 ? QString::number(number) : path; }
    bool operator==(const PortSpec &) const = default;
};

// What `tarvik-downloader flash ...` asks for.
struct FlashRequest
{
    QList<PortSpec> ports; // in the order given, each once
    QString firmwarePath;
    bool check = false; // query the version after a pass
    QString logPath;    // empty: no production log
};

struct ParsedCommandLine
{
    enum class Kind { Flash, Help, Version, Error };
    Kind kind = Kind::Error;
    FlashRequest request; // for Flash
    QString error;        // for Error: one line, without the program's name
};

// Reads the arguments after "flash". Pure: touches no file or port.
ParsedCommandLine parseFlashArguments(const QStringList &arguments);

// Reads one --port value: "3", "1-8" or a device's name. Adds the
// ports to `ports`; returns an error message, empty when it was read.
QString readPortArgument(const QString &value, QList<PortSpec> &ports);

// The text of --help.
QString flashUsage();
