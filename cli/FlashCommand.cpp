#include "cli/FlashCommand.h"

#include "base/Guard.h"
#include "cli/FlashDisplay.h"
#include "cli/FlashRequest.h"
#include "cli/PortRun.h"
#include "cli/RunInputs.h"
#include "cli/SameDevice.h"
#include "cli/StopSignals.h"
#include "cli/Terminal.h"
#include "engine/LinkOwner.h"
#include "base/SystemPath.h"
#include "serial/PortResolver.h"
#include "log/ProductionLog.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <memory>
#include <variant>
#include <vector>

namespace {

// A failure that reached a link's event boundary ends that port's run only;
// the command itself has no window to report to.
void portDefaultHandling(int number, const QString &description)
{
    if (LinkOwner::routeUnhandled(number, description))
        return;
    std::fprintf(stderr, "tarvik-downloader: failure %d: %s\n", number, qPrintable(description));
    std::fflush(stderr);
    std::_Exit(1);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "tarvik-downloader flash: %s\nTry 'tarvik-downloader flash --help'.\n", qPrintable(message));
    return ExitStatus::Usage;
}

int fileError(const QString &message)
{
    std::fprintf(stderr, "tarvik-downloader flash: %s\n", qPrintable(message));
    return ExitStatus::FileUnusable;
}

// Reads and checks the firmware file and opens the log; an exit status when
// either is refused.
std::variant<RunInputs, int> prepare(const FlashRequest &request)
{
    std::variant<RunInputs, QString> read = readRunInputs(request);
    if (const QString *reason = std::get_if<QString>(&read))
        return fileError(*reason);
    RunInputs &inputs = std::get<RunInputs>(read);
    if (!inputs.notice.isEmpty())
        std::fprintf(stderr, "tarvik-downloader flash: %s\n", qPrintable(inputs.notice));
    return std::move(inputs);
}

// Runs every port on a thread of its own until all have ended, or, after a
// stop signal, until all have stopped.
QList<PortResult> runSideBySide(const FlashRequest &request, const RunInputs &inputs, FlashDisplay &display,
                                StopSignals &stopSignals)
{
    const int count = int(request.ports.size());
    QList<PortResult> results(count);
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<std::unique_ptr<PortRun>> runs;
    int running = count;

    for (int index = 0; index < count; ++index) {
        PortRun::Job job{index,         request.ports.at(index), inputs.image, request.check, inputs.firmwarePath,
                         inputs.sha256, inputs.log.get()};
        results[index].port = job.port;
        auto run = std::make_unique<PortRun>(std::move(job));
        auto thread = std::make_unique<QThread>();
        run->moveToThread(thread.get());
        QObject::connect(run.get(), &PortRun::rateTried, &display, &FlashDisplay::rateTried);
        QObject::connect(run.get(), &PortRun::stepReached, &display, &FlashDisplay::stepReached);
        QObject::connect(run.get(), &PortRun::imageProgress, &display, &FlashDisplay::imageProgress);
        QObject::connect(run.get(), &PortRun::finished, &display,
                         [&display, &results, &running](int at, const PortResult &result) {
                             results[at] = result;
                             display.finished(at, result);
                             if (!result.logError.isEmpty()) {
                                 std::fprintf(stderr,
                                              "tarvik-downloader flash: port %s: %s, but its line could not be "
                                              "written to the production log: %s\n",
                                              qPrintable(FlashDisplay::shownPath(result.port.label())),
                                              qPrintable(outcomeWord(result.outcome)), qPrintable(result.logError));
                             }
                             if (--running == 0)
                                 QCoreApplication::quit();
                         });
        thread->start();
        QMetaObject::invokeMethod(run.get(), &PortRun::run, Qt::QueuedConnection);
        threads.push_back(std::move(thread));
        runs.push_back(std::move(run));
    }

    const QMetaObject::Connection stopping =
        QObject::connect(&stopSignals, &StopSignals::stopRequested, &display, [&runs] {
            for (const std::unique_ptr<PortRun> &run : runs)
                run->requestStop();
        });

    if (running > 0)
        QCoreApplication::exec();
    // The runs go with this function; a stop signal after it has nothing to
    // stop.
    QObject::disconnect(stopping);
    for (const std::unique_ptr<QThread> &thread : threads) {
        thread->quit();
        thread->wait();
    }
    return results;
}

} // namespace

int runFlashCommand(int argc, char *argv[])
{
    // Taken as the system gives them: a device or file path need not be
    // UTF-8 on Linux, nor in the code page on Windows.
    const QStringList arguments = systemArguments(argc, argv).mid(1);
    QCoreApplication application(argc, argv);
    const ParsedCommandLine parsed = parseFlashArguments(arguments);
    switch (parsed.kind) {
    case ParsedCommandLine::Kind::Help:
        std::fputs(qPrintable(flashUsage()), stdout);
        return ExitStatus::Passed;
    case ParsedCommandLine::Kind::Version:
        std::printf("tarvik-downloader %s\n", TARVIK_VERSION);
        return ExitStatus::Passed;
    case ParsedCommandLine::Kind::Error:
        return usageError(parsed.error);
    case ParsedCommandLine::Kind::Flash:
        break;
    }
    const FlashRequest &request = parsed.request;
    const QString twice = sameDeviceTwice(request.ports, DevicePortResolver());
    if (!twice.isEmpty())
        return usageError(twice);

    std::variant<RunInputs, int> prepared = prepare(request);
    if (const int *status = std::get_if<int>(&prepared))
        return *status;
    const RunInputs &inputs = std::get<RunInputs>(prepared);
    StopSignals stopSignals;
    if (!stopSignals.installed()) {
        std::fprintf(stderr, "tarvik-downloader flash: cannot install the signal handlers\n");
        return ExitStatus::Usage;
    }

    Guard::setDefaultHandling(portDefaultHandling);
    FlashDisplay display(request.ports, isLiveTerminal(stdout), stdout);
    const QList<PortResult> results = runSideBySide(request, inputs, display, stopSignals);
    display.stop();
    Guard::setDefaultHandling(nullptr);

    std::fputs("\n", stdout);
    std::fputs(qPrintable(FlashDisplay::summary(results)), stdout);
    int status = ExitStatus::Passed;
    for (const PortResult &result : results)
        status = std::max(status, exitStatusOf(result));
    std::printf("exit status %d\n", status);
    std::fflush(stdout);
    return status;
}
