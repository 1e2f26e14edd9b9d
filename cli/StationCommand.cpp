#include "cli/StationCommand.h"

#include "base/Guard.h"
#include "base/SystemPath.h"
#include "cli/FlashDisplay.h"
#include "cli/PortNames.h"
#include "cli/PortResult.h"
#include "cli/RunInputs.h"
#include "cli/SameDevice.h"
#include "cli/StationDisplay.h"
#include "cli/StopSignals.h"
#include "cli/Terminal.h"
#include "engine/LinkOwner.h"
#include "log/ProductionLog.h"
#include "serial/PortResolver.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

// A failure that reached a link's event boundary ends what that slot was
// doing, and nothing else: the slot goes on waiting for its port.
void slotDefaultHandling(int number, const QString &description)
{
    if (LinkOwner::routeUnhandled(number, description))
        return;
    std::fprintf(stderr, "tarvik-downloader: failure %d: %s\n", number, qPrintable(description));
    std::fflush(stderr);
    std::_Exit(1);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "tarvik-downloader station: %s\nTry 'tarvik-downloader station --help'.\n",
                 qPrintable(message));
    return ExitStatus::Usage;
}

} // namespace

ParsedStationCommandLine parseStationArguments(const QStringList &arguments)
{
    ParsedStationCommandLine parsed;
    QStringList rest;
    for (const QString &argument : arguments) {
        if (argument == QStringLiteral("--terminal"))
            parsed.request.terminal = true;
        else
            rest.append(argument);
    }
    const ParsedCommandLine flash = parseFlashArguments(rest);
    parsed.kind = flash.kind;
    parsed.request.flash = flash.request;
    parsed.error = flash.error;
    return parsed;
}

QString stationUsage()
{
    return QStringLiteral(
        "Usage: tarvik-downloader station --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
        "                                 [--terminal]\n"
        "\n"
        "Runs a production station until stopped: every port is a slot that waits for a\n"
        "device, flashes it the moment it answers, shows its verdict until it is taken\n"
        "away, and waits for the next.\n"
        "\n"
        "  1. Waiting: the slot sends \"!\" at 9600, 19200, 38400, 57600 and 115200 baud,\n"
        "     starting at the rate its last device answered at, until a device answers\n"
        "     \"!\". A port that is missing or in use is tried again every second.\n"
        "  2. Flashing: the download and the verdict as in the downloader window, the\n"
        "     version with --check, and one line in the production log.\n"
        "  3. Remove the device: the slot asks \"!\" about once a second at the device's\n"
        "     rate and takes it as gone after two probes in a row without an answer, or\n"
        "     when its port disappears. A device that still answers is never flashed\n"
        "     again; one swapped for the next in under about two seconds is taken for\n"
        "     the same device and waits until it is taken away and put back.\n"
        "\n"
        "Options:\n"
        "  -p, --port PORT   a port number 1 to 16, a range such as 1-8, or\n"
        "                    %1; give it once per slot\n"
        "  -f, --file FILE   the firmware file, read once at the start\n"
        "      --check       ask each passed device for its version\n"
        "      --log FILE    append a CSV line per attempt to FILE\n"
        "      --terminal    the terminal view even where a display could show the window;\n"
        "                    without it and without arguments, the station window opens empty\n"
        "  -h, --help        show this help\n"
        "  -V, --version     show the program's version\n"
        "\n"
        "On a terminal one line per slot is redrawn in place; in a pipe or a file one\n"
        "line per event is printed. %2 stops the station: a device in the middle of its\n"
        "image is logged as interrupted, every port is closed, and the counts are printed.\n"
        "\n"
        "Exit status: 0 stopped with every line written; 2 bad usage; 3 the firmware file\n"
        "or the log cannot be used; 6 a line could not be written to the production log.\n")
        .arg(PortNames::deviceNameWords(), PortNames::stopWords());
}

QList<StationPort> stationPorts(const QList<PortSpec> &ports)
{
    QList<StationPort> result;
    for (const PortSpec &port : ports) {
        StationPort station;
        station.label = port.label();
        station.number = port.number;
        if (port.number == 0)
            station.openablePath = PortNames::openableName(port.path);
        result.append(station);
    }
    return result;
}

int runStationCommand(int argc, char *argv[])
{
    const QStringList arguments = systemArguments(argc, argv).mid(1);
    QCoreApplication application(argc, argv);
    const ParsedStationCommandLine parsed = parseStationArguments(arguments);
    switch (parsed.kind) {
    case ParsedCommandLine::Kind::Help:
        std::fputs(qPrintable(stationUsage()), stdout);
        return ExitStatus::Passed;
    case ParsedCommandLine::Kind::Version:
        std::printf("tarvik-downloader %s\n", TARVIK_VERSION);
        return ExitStatus::Passed;
    case ParsedCommandLine::Kind::Error:
        return usageError(parsed.error);
    case ParsedCommandLine::Kind::Flash:
        break;
    }
    const FlashRequest &request = parsed.request.flash;
    const QString twice = sameDeviceTwice(request.ports, DevicePortResolver());
    if (!twice.isEmpty())
        return usageError(twice);

    std::variant<RunInputs, QString> prepared = readRunInputs(request);
    if (const QString *reason = std::get_if<QString>(&prepared)) {
        std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(*reason));
        return ExitStatus::FileUnusable;
    }
    const RunInputs &inputs = std::get<RunInputs>(prepared);
    if (!inputs.notice.isEmpty())
        std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(inputs.notice));
    StopSignals stopSignals;
    if (!stopSignals.installed()) {
        std::fprintf(stderr, "tarvik-downloader station: cannot install the signal handlers\n");
        return ExitStatus::Usage;
    }

    Guard::setDefaultHandling(slotDefaultHandling);
    int status = ExitStatus::Passed;
    {
        Station station(stationPorts(request.ports), StationFirmware{inputs.firmwarePath, inputs.image, inputs.sha256},
                        request.check, inputs.log.get());
        StationDisplay display(station, isLiveTerminal(stdout), stdout);
        QObject::connect(&station, &Station::verdict, &display, [&station](int index) {
            const SlotView &view = station.slotViews().at(index);
            if (!view.lastLogError.isEmpty()) {
                std::fprintf(stderr,
                             "tarvik-downloader station: slot %s: %s, but its line could not be written to the "
                             "production log: %s\n",
                             qPrintable(FlashDisplay::shownPath(view.port.label)),
                             qPrintable(outcomeWord(view.last->outcome)), qPrintable(view.lastLogError));
            }
        });
        QObject::connect(&stopSignals, &StopSignals::stopRequested, &station, [&station] {
            station.stop();
            QCoreApplication::quit();
        });
        station.start();
        QCoreApplication::exec();
        station.stop();
        display.stop();
        std::fputs("\n", stdout);
        std::fputs(qPrintable(StationDisplay::summary(station)), stdout);
        if (station.counts().logLinesLost > 0)
            status = ExitStatus::LogLineLost;
        std::printf("exit status %d\n", status);
        std::fflush(stdout);
    }
    Guard::setDefaultHandling(nullptr);
    return status;
}
