#include "app/ProcessSetup.h"
#include "app/Program.h"
#include "app/StationLaunch.h"
#include "base/SystemPath.h"
#include "cli/FlashCommand.h"
#include "cli/PortResult.h"
#include "cli/StationCommand.h"
#include "serial/PortResolver.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char Usage[] = "Usage: tarvik-downloader [--log FILE]\n"
                     "       tarvik-downloader flash --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
                     "       tarvik-downloader station [--port PORT... --file FIRMWARE [--check] [--log FILE]]\n"
                     "\n"
                     "Without a command the program opens its windows; --log FILE appends a CSV line\n"
                     "per download and per version check to FILE. 'tarvik-downloader flash --help'\n"
                     "tells how to flash from the command line; 'tarvik-downloader station --help' how\n"
                     "to run a station that flashes device after device (with a display, in the\n"
                     "station window; without arguments the window opens for you to set it up).\n";

} // namespace

int main(int argc, char *argv[])
{
    setUpProcess();

    // The command line runs without a display: no QApplication, no platform.
    if (argc > 1 && std::strcmp(argv[1], "flash") == 0)
        return runFlashCommand(argc, argv);
    // A station opens its window where there is a display to show it on,
    // and runs in the terminal where there is none.
    if (argc > 1 && std::strcmp(argv[1], "station") == 0)
        return displayAvailable() ? runStationWindow(argc, argv) : runStationCommand(argc, argv);

    // The windows' arguments are read before any window, and before a
    // display is needed to tell a mistyped option.
    const Program::Arguments arguments = Program::readArguments(systemArguments(argc, argv));
    switch (arguments.kind) {
    case Program::Arguments::Kind::Help:
        std::fputs(Usage, stdout);
        return 0;
    case Program::Arguments::Kind::Version:
        std::printf("tarvik-downloader %s\n", TARVIK_VERSION);
        return 0;
    case Program::Arguments::Kind::Error:
        std::fprintf(stderr, "tarvik-downloader: %s; try 'tarvik-downloader --help'\n", qPrintable(arguments.error));
        return ExitStatus::Usage;
    case Program::Arguments::Kind::Windows:
        break;
    }

    letOwnConsoleGo();
    QApplication application(argc, argv);
    Program program(std::make_shared<DevicePortResolver>());
    if (!arguments.logPath.isEmpty() && !program.openProductionLog(arguments.logPath))
        return ExitStatus::FileUnusable;
    program.start();
    return program.exec();
}
