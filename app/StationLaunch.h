#pragma once

#include "stationwindow/StationWindowSetup.h"

#include <QString>

// The station window as this program opens it: with the command line's rules
// for ports, the firmware and the log handed to it.

// Reads what the operator typed in the ports box: port numbers, ranges and
// device names as `--port` takes them, separated by commas or spaces ("1-4",
// "1,3", "/dev/ttyUSB0 /dev/ttyUSB1"); two names of one device are refused.
std::variant<QList<StationPort>, QString> readStationPorts(const QString &text);

// A setup with the readers and nothing chosen yet: the window as the desktop
// entry opens it.
StationWindowSetup emptyStationSetup();

// A setup for `plan`, read from the profile at `profilePath` (empty: from
// the command line): with a profile the window offers only Start and Stop.
StationWindowSetup plannedStationSetup(const StationPlan &plan, const QString &profilePath);

// `tarvik-downloader station ...` where a display can show the window
// (`argv[1]` is "station"). Without arguments the window opens empty; with
// them it opens set up and started, unless --terminal asks for the terminal
// view. --help, --version and usage errors stay on the terminal. Returns the
// exit status.
int runStationWindow(int argc, char *argv[]);
