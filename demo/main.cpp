// The program with a simulated device on port 1, for trying it without
// hardware. The device answers at 38400 baud, so the probe has to step.
//
//   tarvik-demo                      the program, to use by hand
//   tarvik-demo --autopilot DIR      walks the typical road by itself, prints
//                                    each step's outcome, saves screenshots in DIR
//   tarvik-demo --station-autopilot DIR --fixture FILE --expect pass,fail,pass
//                                    the station window on one slot where the
//                                    fixture's devices come and go, until they
//                                    have the verdicts --expect lists (the log's
//                                    words, in order); screenshot and log in DIR
//   tarvik-demo --startup-report NS  prints the start-up time, from NS (the
//                                    steady clock in nanoseconds, as the launcher
//                                    read it before starting this process) to the
//                                    connection window shown, then exits

#include "app/Program.h"
#include "connect/Form2.h"
#include "demo/Autopilot.h"
#include "demo/StationAutopilot.h"
#include "serial/PortResolver.h"
#include "sim/Fixture.h"
#include "sim/SimulatedDevice.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <cstdio>

namespace {

// Prints "startup-ms: <ms>" once the window is exposed and its first paint
// has gone out, then ends the program.
class StartupReport : public QObject
{
public:
    StartupReport(QWidget &window, qint64 launchedNs)
        : m_launchedNs(launchedNs)
    {
        window.windowHandle()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Expose || m_reported || !static_cast<QWindow *>(watched)->isExposed())
            return false;
        m_reported = true;
        // Posted now, run after the expose has been painted.
        QMetaObject::invokeMethod(
            this,
            [this] {
                const qint64 nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
                std::printf("startup-ms: %.2f\n", double(nowNs - m_launchedNs) / 1e6);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            },
            Qt::QueuedConnection);
        return false;
    }

private:
    qint64 m_launchedNs;
    bool m_reported = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Tarvik Downloader with a simulated device on port 1."));
    options.addHelpOption();
    const QCommandLineOption autopilot(QStringLiteral("autopilot"),
                                       QStringLiteral("Walk the typical road and save screenshots in <dir>."),
                                       QStringLiteral("dir"));
    options.addOption(autopilot);
    const QCommandLineOption startupReport(
        QStringLiteral("startup-report"),
        QStringLiteral("Print the time from <ns> (steady clock) to the window shown, then exit."),
        QStringLiteral("ns"));
    options.addOption(startupReport);
    const QCommandLineOption stationAutopilot(
        QStringLiteral("station-autopilot"),
        QStringLiteral("Walk the station window's road on --fixture; screenshot and log in <dir>."),
        QStringLiteral("dir"));
    const QCommandLineOption fixtureFile(QStringLiteral("fixture"),
                                         QStringLiteral("The schedule of the devices that come and go."),
                                         QStringLiteral("file"));
    const QCommandLineOption expect(QStringLiteral("expect"),
                                    QStringLiteral("The station's results in order, as the log has them."),
                                    QStringLiteral("results"), QStringLiteral("pass,fail,pass"));
    options.addOptions({stationAutopilot, fixtureFile, expect});
    options.process(application);

    if (options.isSet(stationAutopilot)) {
        QFile text(options.value(fixtureFile));
        QString error;
        std::optional<FixtureSchedule> schedule;
        if (text.open(QIODevice::ReadOnly))
            schedule = FixtureSchedule::parse(text.readAll(), &error);
        else
            error = text.errorString();
        if (!schedule) {
            std::fprintf(stderr, "tarvik-demo: --fixture %s: %s\n", qPrintable(options.value(fixtureFile)),
                         qPrintable(error));
            return 2;
        }
        // The slot's port under a stable name, as a fixture's socket has.
        const QTemporaryDir links;
        Fixture fixture(links.filePath(QStringLiteral("slot1")), *schedule);
        fixture.start();
        const QDir dir(options.value(stationAutopilot));
        dir.mkpath(QStringLiteral("."));
        QFile::remove(dir.filePath(QStringLiteral("station.csv")));
        StationRoad road;
        road.ports = fixture.linkPath();
        road.firmwarePath = QDir(QStringLiteral(TARVIK_EXAMPLES_DIR)).filePath(QStringLiteral("firmware-example.txt"));
        road.logPath = dir.filePath(QStringLiteral("station.csv"));
        road.screenshots = dir;
        road.expectedResults = options.value(expect).split(u',', Qt::SkipEmptyParts);
        StationAutopilot pilot(std::move(road));
        pilot.start();
        return QApplication::exec();
    }

    SimulatedDevice device;
    device.setOwnRate(38400);
    device.setReplyLatency(20); // as late as a real device behind a USB adapter
    auto resolver = std::make_shared<FixedPortResolver>();
    resolver->assign(1, device.portPath());
    std::printf("Simulated device on port 1 (%s) at 38400 baud\n", qPrintable(device.portPath()));
    std::fflush(stdout);

    Program program(resolver);
    program.start();
    std::unique_ptr<StartupReport> startup;
    if (options.isSet(startupReport))
        startup =
            std::make_unique<StartupReport>(program.connectionWindow(), options.value(startupReport).toLongLong());
    std::unique_ptr<Autopilot> pilot;
    if (options.isSet(autopilot)) {
        const QString firmware =
            QDir(QStringLiteral(TARVIK_EXAMPLES_DIR)).filePath(QStringLiteral("firmware-example.txt"));
        const AutopilotDevice facts{1, device.ownRate(), 17, [&device] { return device.imagesAccepted(); }};
        pilot = std::make_unique<Autopilot>(program, facts, firmware, QDir(options.value(autopilot)));
        pilot->start();
    }
    return program.exec();
}
