// The program with a simulated device on port 1, for trying it without
// hardware. The device answers at 38400 baud, so the probe has to step.

#include "app/Program.h"
#include "serial/PortResolver.h"
#include "sim/SimulatedDevice.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SimulatedDevice device;
    device.setOwnRate(38400);
    auto resolver = std::make_shared<FixedPortResolver>();
    resolver->assign(1, device.portPath());
    std::printf("Simulated device on port 1 (%s) at 38400 baud\n", qPrintable(device.portPath()));
    std::fflush(stdout);

    Program program(resolver);
    program.start();
    return program.exec();
}
