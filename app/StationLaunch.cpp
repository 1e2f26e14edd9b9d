#include "app/StationLaunch.h"

#include "app/ProcessSetup.h"
#include "base/SystemPath.h"
#include "cli/FlashRequest.h"
#include "cli/PortResult.h"
#include "cli/RunInputs.h"
#include "cli/SameDevice.h"
#include "cli/StationCommand.h"
#include "cli/StopSignals.h"
#include "log/ProductionLog.h"
#include "serial/PortResolver.h"
#include "stationwindow/StationWindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

int usageError(const QString &message)
{
    std::fprintf(stderr, "tarvik-downloader station: %s\nTry 'tarvik-downloader station --help'.\n",
                 qPrintable(message));
    return ExitStatus::Usage;
}

} // namespace

std::variant<QList<StationPort>, QString> readStationPorts(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList values = text.split(separators, Qt::SkipEmptyParts);
    if (values.isEmpty())
        return QStringLiteral("no port given");
    QList<PortSpec> ports;
    for (const QString &value : values) {
        QString error = readPortArgument(value, ports);
        if (!error.isEmpty()) {
            // The box is not an option: "'x' is not a port number ...".
            if (error.startsWith(QStringLiteral("--port ")))
                error.remove(0, 7);
            return error;
        }
    }
    const QString twice = sameDeviceTwice(ports, DevicePortResolver());
    if (!twice.isEmpty())
        return twice;
    return stationPorts(ports);
}

StationWindowSetup emptyStationSetup()
{
    StationWindowSetup setup;
    setup.readPorts = readStationPorts;
    setup.readInputs = readStationInputs;
    return setup;
}

StationWindowSetup plannedStationSetup(const StationPlan &plan, const QString &profilePath)
{
    StationWindowSetup setup = emptyStationSetup();
    setup.ports = plan.ports.join(QStringLiteral(", "));
    setup.firmwarePath = plan.firmwarePath;
    setup.logPath = plan.logPath;
    setup.check = plan.check;
    setup.numbers = plan.numbers;
    setup.firmwareSha256 = plan.firmwareSha256;
    setup.profilePath = profilePath.isEmpty() ? QString() : QFileInfo(profilePath).absoluteFilePath();
    return setup;
}

int runStationWindow(int argc, char *argv[])
{
    const QStringList arguments = systemArguments(argc, argv).mid(1);
    StationWindowSetup setup = emptyStationSetup();
    if (!arguments.isEmpty()) {
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
        if (request.terminal || !request.saveProfilePath.isEmpty())
            return runStationCommand(argc, argv);
        std::variant<StationPlan, QString> planned = stationPlanOf(request);
        if (const QString *why = std::get_if<QString>(&planned)) {
            std::fprintf(stderr, "tarvik-downloader station: %s\n", qPrintable(*why));
            return ExitStatus::FileUnusable;
        }
        const StationPlan &plan = std::get<StationPlan>(planned);
        const std::variant<QList<PortSpec>, int> ports = stationPortsOf(plan, request);
        if (const int *status = std::get_if<int>(&ports))
            return *status;
        setup = plannedStationSetup(plan, request.profilePath);
        setup.startAtOnce = true;
    }

    letOwnConsoleGo();
    QApplication application(argc, argv);
    int status = ExitStatus::Passed;
    {
        StationWindow window(std::move(setup));
        // Ctrl+C in the terminal the window was started from, a SIGTERM at
        // shutdown or the terminal going away stop the station as closing
        // the window does: every port closed, every interrupted image logged.
        StopSignals stopSignals;
        QObject::connect(&stopSignals, &StopSignals::stopRequested, &window, [&window] { window.close(); });
        window.show();
        QApplication::exec();
        // Closing the window stopped every slot; the last run's lost lines
        // make the status, as they do for the terminal view.
        window.stopStation();
        if (window.station() && window.station()->counts().logLinesLost > 0)
            status = ExitStatus::LogLineLost;
    }
    return status;
}
