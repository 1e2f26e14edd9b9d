#pragma once

#include "station/Station.h"
#include "station/StationPlan.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <memory>
#include <variant>

class ProductionLog;

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
    // The plan's firmware file, log (empty: no log) and device numbers, as at
    // a station's start: read, opened and made ready, or why not, in words.
    std::function<std::variant<StationInputs, QString>(const StationPlan &plan)> readInputs;

    // What the window shows at first; with `startAtOnce` the station starts
    // as soon as the window has opened.
    QString ports;
    QString firmwarePath;
    QString logPath;
    bool check = false;
    bool startAtOnce = false;
    // The device numbers, as the command line or the profile gave them: the
    // window shows them and cannot change them.
    std::optional<NumberPlan> numbers;
    // Opened from this profile: the operator starts and stops; the file, the
    // slots, the log and the numbers are the profile's and cannot be changed
    // here. Its firmware must still have the profile's digest.
    QString profilePath;
    QByteArray firmwareSha256;
};
