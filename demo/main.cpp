// The program with a simulated device on port 1, for trying it without
// hardware. The device answers at 38400 baud, so the probe has to step.
//
//   tarvik-demo                      the program, to use by hand
//   tarvik-demo --autopilot DIR      walks the typical road by itself, prints
//                                    each step's outcome, saves screenshots in DIR

#include "app/Program.h"
#include "demo/Autopilot.h"
#include "serial/PortResolver.h"
#include "sim/SimulatedDevice.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include <cstdio>

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
    options.process(application);

    SimulatedDevice device;
    device.setOwnRate(38400);
    auto resolver = std::make_shared<FixedPortResolver>();
    resolver->assign(1, device.portPath());
    std::printf("Simulated device on port 1 (%s) at 38400 baud\n", qPrintable(device.portPath()));
    std::fflush(stdout);

    Program program(resolver);
    program.start();
    std::unique_ptr<Autopilot> pilot;
    if (options.isSet(autopilot)) {
        const QString firmware = QDir(QStringLiteral(TARVIK_EXAMPLES_DIR)).filePath(QStringLiteral("firmware-example.txt"));
        pilot = std::make_unique<Autopilot>(program, device, firmware, QDir(options.value(autopilot)));
        pilot->start();
    }
    return program.exec();
}
