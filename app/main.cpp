#include "app/Program.h"
#include "cli/FlashCommand.h"
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
    program.start();
    return program.exec();
}
