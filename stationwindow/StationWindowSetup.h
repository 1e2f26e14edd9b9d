#pragma once

#include "station/Station.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <variant>

class ProductionLog;

// What a station needs at its start besides its ports: the firmware as read
// once, the production log opened (none: no log), and anything the operator
// should be told about them (a log's unfinished last line closed).
struct StationInputs
{
    StationFirmware firmware;
    std::unique_ptr<ProductionLog> log;
    QString notice;
};

// What the station window is handed by the program that opens it. Reading
// what the operator typed as ports, and reading the firmware and opening the
// log, are the command line's own rules ("1-4", device names, a file that
// fails the marker check refused before any port); the window takes them as
// functions so that it shares those rules without depending on the command
// line.
struct StationWindowSetup
{
    // The ports box's text ("1-4", "1, 3", "/dev/ttyUSB0 /dev/ttyUSB1"): the
    // ports in order, or why they cannot be used, in words.
    std::function<std::variant<QList<StationPort>, QString>(const QString &text)> readPorts;
    // The firmware file and the log file (empty: no log), as at a station's
    // start: read and opened, or why not, in words.
    std::function<std::variant<StationInputs, QString>(const QString &firmwarePath, const QString &logPath)> readInputs;

    // What the window shows at first; with `startAtOnce` the station starts
    // as soon as the window has opened.
    QString ports;
    QString firmwarePath;
    QString logPath;
    bool check = false;
    bool startAtOnce = false;
};
