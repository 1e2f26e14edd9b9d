#pragma once

#include "cli/FlashRequest.h"
#include "station/Station.h"
#include "station/StationPlan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// What `tarvik-downloader station ...` asks for: the ports, the firmware
// file, the version check and the log as for `flash`, and where to show it.
struct StationRequest
{
    FlashRequest flash;
    bool terminal = false; // --terminal: the terminal view even with a display
    std::optional<NumberPlan> numbers; // --number-at, --number-form, --number-counter or --number-list, --number-state
    QString profilePath;     // --profile: everything else comes from there
    QString saveProfilePath; // --save-profile: write the options as a profile instead of running
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

// The plan a request asks for: its own options, or the profile it names
// (read here), with the ports as written.
std::variant<StationPlan, QString> stationPlanOf(const StationRequest &request);

// Writes the request's plan as a profile at request.saveProfilePath, after
// reading its firmware for the digest and checking its numbers against it.
// Empty when written; why not otherwise.
QString saveStationProfile(const StationRequest &request);

// The ports as written ("3", "1-4", a device's name), read as --port reads
// them, with two names of one device refused.
std::variant<QList<PortSpec>, QString> stationPortSpecs(const QStringList &labels);

// The plan's ports; or, when they cannot be used, the exit status after
// saying why on standard error: a usage error for ports given on the command
// line, the profile's fault (status 3) for a profile's.
std::variant<QList<PortSpec>, int> stationPortsOf(const StationPlan &plan, const StationRequest &request);

// The ports as the station takes them: a device's name made openable.
QList<StationPort> stationPorts(const QList<PortSpec> &ports);

// `tarvik-downloader station ...` without a window: runs until stopped
// (Ctrl+C, SIGTERM, SIGHUP; on Windows also Ctrl+Break and the console
// closed), then prints the counts. Creates its own QCoreApplication;
// returns the exit status. `argv[1]` is "station".
int runStationCommand(int argc, char *argv[]);
