// The program on this machine's own COM ports, driven by the autopilot: on
// Windows the device is outside the program (under Wine, the simulated
// device behind the prefix's COM link).
//
//   tarvik-demo --autopilot DIR --port N --rate R --version V --firmware FILE

#include "app/Program.h"
#include "demo/Autopilot.h"
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
    options.addOptions({autopilot, port, rate, version, firmware});
    options.process(application);
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
