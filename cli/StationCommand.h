#pragma once

#include "cli/FlashRequest.h"
#include "station/Station.h"

#include <QByteArray>
#include <QString>
#include <QStringList>


// What `tarvik-downloader station ...` asks for: the ports, the firmware
// file, the version check and the log as for `flash`, and where to show it.
struct StationRequest
{
    FlashRequest flash;
    bool terminal = false; // --terminal: the terminal view even with a display
};

struct ParsedStationCommandLine
{
    ParsedCommandLine::Kind kind = ParsedCommandLine::Kind::Error;
    StationRequest request;
    QString error;
};

// Reads the arguments after "station". Pure.
ParsedStationCommandLine parseStationArguments(const QStringList &arguments);
QString stationUsage();

// The ports as the station takes them: a device's name made openable.
QList<StationPort> stationPorts(const QList<PortSpec> &ports);

// `tarvik-downloader station ...` without a window: runs until stopped
// (Ctrl+C, SIGTERM, SIGHUP; on Windows also Ctrl+Break and the console
// closed), then prints the counts. Creates its own QCoreApplication;
// returns the exit status. `argv[1]` is "station".
int runStationCommand(int argc, char *argv[]);
