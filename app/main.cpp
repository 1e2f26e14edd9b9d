#include "app/Program.h"
#include "cli/FlashCommand.h"
#include "cli/PortResult.h"
#include "serial/PortResolver.h"

#include <QApplication>

#include <cstring>

int main(int argc, char *argv[])
{
    // The command line runs without a display: no QApplication, no platform.
    if (argc > 1 && std::strcmp(argv[1], "flash") == 0)
        return runFlashCommand(argc, argv);

    QApplication application(argc, argv);
    Program program(std::make_shared<DevicePortResolver>());
    const QString logPath = Program::logPathArgument(QApplication::arguments());
    if (!logPath.isEmpty() && !program.openProductionLog(logPath))
        return ExitStatus::FileUnusable;
    program.start();
    return program.exec();
}
