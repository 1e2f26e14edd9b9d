#include "app/Program.h"
#include "serial/PortResolver.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    Program program(std::make_shared<DevicePortResolver>());
    program.start();
    return program.exec();
}
