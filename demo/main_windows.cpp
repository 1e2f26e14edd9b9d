// The program on this machine's own COM ports, driven by the autopilot: on
// Windows the device is outside the program (under Wine, the simulated
// device behind the prefix's COM link).
//
//   tarvik-demo --autopilot DIR --port N --rate R --version V --firmware FILE
//   tarvik-demo --station-autopilot DIR --port N --firmware FILE --log FILE
//               --expect pass,fail,pass
//       the station window on COM<N> until the fixture's devices behind it
//       have the verdicts --expect lists, in the log's words and order

#include "app/Program.h"
#include "demo/Autopilot.h"
#include "demo/StationAutopilot.h"
#include "serial/PortResolver.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Tarvik Downloader's typical road, walked by itself."));
    options.addHelpOption();
    const QCommandLineOption autopilot(QStringLiteral("autopilot"), QStringLiteral("Save screenshots in <dir>."),
                                       QStringLiteral("dir"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The device's port number."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("The device's own line rate."),
                                  QStringLiteral("baud"), QStringLiteral("9600"));
    const QCommandLineOption version(QStringLiteral("version-byte"), QStringLiteral("The device's version byte."),
                                     QStringLiteral("v"), QStringLiteral("17"));
    const QCommandLineOption firmware(QStringLiteral("firmware"), QStringLiteral("The firmware file to send."),
                                      QStringLiteral("file"));
    const QCommandLineOption stationAutopilot(QStringLiteral("station-autopilot"),
                                              QStringLiteral("Walk the station window's road, screenshot in <dir>."),
                                              QStringLiteral("dir"));
    const QCommandLineOption logFile(QStringLiteral("log"), QStringLiteral("The station's production log."),
                                     QStringLiteral("file"));
    const QCommandLineOption expect(QStringLiteral("expect"),
                                    QStringLiteral("The station's results in order, as the log has them."),
                                    QStringLiteral("results"), QStringLiteral("pass,fail,pass"));
    options.addOptions({autopilot, port, rate, version, firmware, stationAutopilot, logFile, expect});
    options.process(application);

    if (options.isSet(stationAutopilot)) {
        if (!options.isSet(firmware) || !options.isSet(logFile)) {
            std::fprintf(stderr, "tarvik-demo: --station-autopilot needs --firmware and --log\n");
            return 2;
        }
        StationRoad road;
        road.ports = options.value(port);
        road.firmwarePath = options.value(firmware);
        road.logPath = options.value(logFile);
        road.screenshots = QDir(options.value(stationAutopilot));
        road.expectedResults = options.value(expect).split(u',', Qt::SkipEmptyParts);
        StationAutopilot pilot(std::move(road));
        pilot.start();
        return QApplication::exec();
    }
    if (!options.isSet(autopilot) || !options.isSet(firmware)) {
        std::fprintf(stderr, "tarvik-demo: --autopilot and --firmware are needed here\n");
        return 2;
    }

    Program program(std::make_shared<DevicePortResolver>());
    program.start();
    const AutopilotDevice device{static_cast<qint16>(options.value(port).toInt()),
                                 options.value(rate).toInt(),
                                 options.value(version).toInt(),
                                 {}};
    Autopilot pilot(program, device, options.value(firmware), QDir(options.value(autopilot)));
    pilot.start();
    return program.exec();
}
