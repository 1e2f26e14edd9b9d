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
#include "station/StationNumbers.h"
#include "station/StationProfile.h"

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
    StationRequest &request = parsed.request;
    NumberPlan numbers;
    bool anyNumber = false;
    QStringList rest;
    const auto fail = [&parsed](const QString &error) {
        parsed.kind = ParsedCommandLine::Kind::Error;
        parsed.error = error;
        return parsed;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        std::optional<QString> attached;
        const qsizetype equals = option.startsWith(QStringLiteral("--")) ? option.indexOf(u'=') : -1;
        if (equals > 0) {
            attached = option.sliced(equals + 1);
            option.truncate(equals);
        }
        if (option == QStringLiteral("--terminal") && !attached) {
            request.terminal = true;
            continue;
        }
        QString *target = nullptr;
        if (option == QStringLiteral("--number-at"))
            target = &numbers.address;
        else if (option == QStringLiteral("--number-form"))
            target = &numbers.form;
        else if (option == QStringLiteral("--number-counter"))
            target = &numbers.counter;
        else if (option == QStringLiteral("--number-list"))
            target = &numbers.listPath;
        else if (option == QStringLiteral("--number-state"))
            target = &numbers.statePath;
        else if (option == QStringLiteral("--profile"))
            target = &request.profilePath;
        else if (option == QStringLiteral("--save-profile"))
            target = &request.saveProfilePath;
        if (!target) {
            rest.append(arguments.at(i));
            continue;
        }
        QString value;
        if (attached)
            value = *attached;
        else if (i + 1 < arguments.size())
            value = arguments.at(++i);
        if (value.isEmpty())
            return fail(QStringLiteral("%1 needs a value").arg(option));
        if (!target->isEmpty())
            return fail(QStringLiteral("%1 is given more than once").arg(option));
        *target = value;
        anyNumber = anyNumber || option.startsWith(QStringLiteral("--number-"));
    }

    if (!request.profilePath.isEmpty()) {
        // A profile is the whole station: nothing on the command line can
        // change what the line was handed.
        const bool asksOnly = rest.size() == 1
                              && (rest[0] == QStringLiteral("--help") || rest[0] == QStringLiteral("-h")
                                  || rest[0] == QStringLiteral("--version") || rest[0] == QStringLiteral("-V"));
        if (asksOnly)
            return parseStationArguments(rest);
        if (!rest.isEmpty() || anyNumber || !request.saveProfilePath.isEmpty())
            return fail(QStringLiteral("--profile takes the whole station from the profile; give only --terminal "
                                       "with it"));
        parsed.kind = ParsedCommandLine::Kind::Flash;
        return parsed;
    }

    const ParsedCommandLine flash = parseFlashArguments(rest);
    parsed.kind = flash.kind;
    request.flash = flash.request;
    parsed.error = flash.error;
    if (parsed.kind != ParsedCommandLine::Kind::Flash || !anyNumber)
        return parsed;
    if (numbers.address.isEmpty() || numbers.form.isEmpty())
        return fail(QStringLiteral("device numbers need --number-at ADDRESS and --number-form FORM"));
    if (numbers.counter.isEmpty() == numbers.listPath.isEmpty())
        return fail(QStringLiteral("device numbers come from one source: give --number-counter or --number-list"));
    if (numbers.statePath.isEmpty() && request.flash.logPath.isEmpty())
        return fail(QStringLiteral("device numbers keep their state beside the log: give --log, or --number-state"));
    request.numbers = numbers;
    return parsed;
}

std::variant<StationPlan, QString> stationPlanOf(const StationRequest &request)
{
    if (!request.profilePath.isEmpty())
        return StationProfile::read(request.profilePath);
    StationPlan plan;
    for (const PortSpec &port : request.flash.ports)
        plan.ports.append(port.label());
    plan.firmwarePath = request.flash.firmwarePath;
    plan.check = request.flash.check;
    plan.logPath = request.flash.logPath;
    plan.numbers = request.numbers;
    return plan;
}

QString saveStationProfile(const StationRequest &request)
{
    std::variant<StationPlan, QString> planned = stationPlanOf(request);
    if (const QString *why = std::get_if<QString>(&planned))
        return *why;
    StationPlan &plan = std::get<StationPlan>(planned);
    FlashRequest firmwareOnly;
    firmwareOnly.firmwarePath = plan.firmwarePath;
    std::variant<RunInputs, QString> read = readRunInputs(firmwareOnly);
    if (const QString *why = std::get_if<QString>(&read))
        return *why;
    const RunInputs &inputs = std::get<RunInputs>(read);
    if (plan.numbers) {
        const QString why = StationNumbers::check(*plan.numbers, inputs.image);
        if (!why.isEmpty())
            return why;
    }
    plan.firmwarePath = inputs.firmwarePath;
    plan.firmwareSha256 = inputs.sha256;
    QString why;
    if (!StationProfile::write(plan, request.saveProfilePath, &why))
        return why;
    return {};
}

QString stationUsage()
{
    return QStringLiteral(
        "Usage: tarvik-downloader station --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
        "                                 [NUMBERS] [--terminal] [--save-profile FILE]\n"
        "       tarvik-downloader station --profile FILE [--terminal]\n"
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
        "A number of its own for every device (NUMBERS), written into its image as one\n"
        "more Intel HEX record before the end-of-file record:\n"
        "      --number-at ADDRESS      where its first byte goes (decimal or 0x...)\n"
        "      --number-form FORM       le:N or be:N (an integer of N bytes, 1 to 8),\n"
        "                               dec:N or hex:N (N ASCII digits, zero-padded)\n"
        "      --number-counter START[,STEP[,LAST]]\n"
        "                               numbers counted up from START\n"
        "      --number-list FILE       one value a line (decimal, 0x..., 00:1A:2B:...)\n"
        "      --number-state FILE      which numbers are gone, shared by every station\n"
        "                               that names it; default: beside the log\n"
        "  A number is written down as taken before the device's image leaves. It is\n"
        "  the device's on a pass; given back when the device failed before its image\n"
        "  began to leave; skipped otherwise: gaps, never a number twice.\n"
        "\n"
        "Profiles: one file with the firmware and its SHA-256, the ports, the check,\n"
        "the log and the numbers, paths relative to it:\n"
        "      --save-profile FILE      write the options given as a profile, run nothing\n"
        "      --profile FILE           run a profile; a firmware file whose SHA-256 is not\n"
        "                               the profile's is refused\n"
        "\n"
        "On a terminal one line per slot is redrawn in place; in a pipe or a file one\n"
        "line per event is printed. %2 stops the station: a device in the middle of its\n"
        "image is logged as interrupted, every port is closed, and the counts are printed.\n"
        "\n"
        "Exit status: 0 stopped with every line written (or the profile written); 2 bad\n"
        "usage; 3 the firmware file, the log, the profile or the numbers cannot be used;\n"
        "6 a line could not be written to the production log.\n")
        .arg(PortNames::deviceNameWords(), PortNames::stopWords());
}

std::variant<QList<PortSpec>, QString> stationPortSpecs(const QStringList &labels)
{
    QList<PortSpec> ports;
    for (const QString &label : labels) {
        const QString error = readPortArgument(label, ports);
        if (!error.isEmpty())
            return error;
    }
    if (ports.isEmpty())
        return QStringLiteral("no port: give --port");
    const QString twice = sameDeviceTwice(ports, DevicePortResolver());
    if (!twice.isEmpty())
        return twice;
    return ports;
}

std::variant<QList<PortSpec>, int> stationPortsOf(const StationPlan &plan, const StationRequest &request)
{
    std::variant<QList<PortSpec>, QString> ports = stationPortSpecs(plan.ports);
    const QString *why = std::get_if<QString>(&ports);
    if (!why)
        return std::get<QList<PortSpec>>(ports);
    if (request.profilePath.isEmpty())
        return usageError(*why);
    // The ports came from the profile, not from the command line: the
    // profile is what must be mended.
    std::fprintf(stderr, "tarvik-downloader station: the profile %s names a port it cannot use: %s\n",
                 qPrintable(request.profilePath), qPrintable(*why));
    return ExitStatus::FileUnusable;
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
    const StationRequest &request = parsed.request;
    if (!request.saveProfilePath.isEmpty()) {
        const QString why = saveStationProfile(request);
        if (!why.isEmpty()) {
            std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(why));
            return ExitStatus::FileUnusable;
        }
        std::printf("tarvik-downloader station: profile written to %s\n",
                    qPrintable(FlashDisplay::shownPath(request.saveProfilePath)));
        return ExitStatus::Passed;
    }
    std::variant<StationPlan, QString> planned = stationPlanOf(request);
    if (const QString *why = std::get_if<QString>(&planned)) {
        std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(*why));
        return ExitStatus::FileUnusable;
    }
    const StationPlan &plan = std::get<StationPlan>(planned);
    const std::variant<QList<PortSpec>, int> portsRead = stationPortsOf(plan, request);
    if (const int *status = std::get_if<int>(&portsRead))
        return *status;
    const QList<PortSpec> &ports = std::get<QList<PortSpec>>(portsRead);

    std::variant<StationInputs, QString> prepared = readStationInputs(plan);
    if (const QString *reason = std::get_if<QString>(&prepared)) {
        std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(*reason));
        return ExitStatus::FileUnusable;
    }
    StationInputs &inputs = std::get<StationInputs>(prepared);
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
        Station station(stationPorts(ports), inputs.firmware, plan.check, inputs.log.get());
        station.setNumbers(inputs.numbers);
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
