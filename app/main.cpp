#include "app/Program.h"
#include "cli/FlashCommand.h"
#include "cli/PortResult.h"
#include "serial/PortResolver.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

const char Usage[] = "Usage: tarvik-downloader [--log FILE]\n"
                     "       tarvik-downloader flash --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
                     "\n"
                     "Without a command the program opens its windows; --log FILE appends a CSV line\n"
                     "per download and per version check to FILE. 'tarvik-downloader flash --help'\n"
                     "tells how to flash from the command line.\n";

bool is(const char *argument, const char *shortForm, const char *longForm)
{
    return std::strcmp(argument, shortForm) == 0 || std::strcmp(argument, longForm) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line runs without a display: no QApplication, no platform.
    if (argc > 1 && std::strcmp(argv[1], "flash") == 0)
        return runFlashCommand(argc, argv);
    if (argc > 1 && is(argv[1], "-h", "--help")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc > 1 && is(argv[1], "-V", "--version")) {
        std::printf("tarvik-downloader %s\n", TARVIK_VERSION);
        return 0;
    }

    QApplication application(argc, argv);
    Program program(std::make_shared<DevicePortResolver>());
    const QString logPath = Program::logPathArgument(QApplication::arguments());
    if (!logPath.isEmpty() && !program.openProductionLog(logPath))
        return ExitStatus::FileUnusable;
    program.start();
    return program.exec();
}
