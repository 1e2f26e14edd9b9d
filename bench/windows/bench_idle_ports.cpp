// Idle open ports on Windows: the processor time of this program while it
// holds COM ports open and nothing comes, as the downloader window holds its
// port between two devices. scripts/bench --windows runs it under Wine against
// silent simulated devices and adds what Wine's server spent meanwhile.
//
//   tarvik-bench-idle-ports SECONDS PORT...
//
// Prints "open" once every port is open, then, after SECONDS of idling,
// "cpu-ms N wall-ms M": this process's user and system time over that span.

#include "engine/DeviceLink.h"
#include "serial/PortResolver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

double processCpuMs()
{
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME &time) { return (quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime; };
    return double(ticks(kernel) + ticks(user)) / 10000.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fputs("usage: tarvik-bench-idle-ports SECONDS PORT...\n", stderr);
        return 2;
    }
    const int seconds = arguments.at(0).toInt();
    DevicePortResolver ports;
    std::vector<std::unique_ptr<DeviceLink>> links;
    for (const QString &port : arguments.mid(1)) {
        links.push_back(std::make_unique<DeviceLink>(ports));
        links.back()->setCollecting(true);
        try {
            links.back()->open(qint16(port.toInt()));
        } catch (const Failure &failure) {
            std::fprintf(stderr, "COM%s: %s\n", qPrintable(port), qPrintable(failure.description()));
            return 1;
        }
    }
    std::puts("open");
    std::fflush(stdout);

    const double cpuBefore = processCpuMs();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, &application, &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpuMs = processCpuMs() - cpuBefore;
    std::printf("cpu-ms %.1f wall-ms %lld\n", cpuMs, wall.elapsed());
    std::fflush(stdout);
    for (const std::unique_ptr<DeviceLink> &link : links)
        link->close();
    return 0;
}
