// The command line side by side: `tarvik-downloader flash` on 1, 4, 8 and 16
// simulated devices, each a device-sim process of its own at wire speed; the
// wall time against one device, the same for 16 with a production log, the
// command's processor share while all its ports wait, and its peak memory per
// port.
//
//   tarvik-bench-flash FIRMWARE [RUNS]
//   tarvik-bench-flash FIRMWARE RUNS COUNT...   only the wall time for one
//                                              device and for each COUNT side
//                                              by side (an emulated run, where
//                                              the whole table takes too long)

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Measured
{
    int status = -1;
    double wallMs = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
};

// Runs the command as a process of its own, with no display, and takes its
// own peak memory and processor time from the system as it ends.
Measured runFlash(const QStringList &ports, const QString &firmware, const QStringList &extra = {})
{
    QStringList arguments{QCoreApplication::applicationDirPath() + QStringLiteral("/tarvik-downloader"),
                          QStringLiteral("flash"), QStringLiteral("--file"), firmware};
    for (const QString &port : ports)
        arguments << QStringLiteral("--port") << port;
    arguments += extra;
    std::vector<QByteArray> argumentBytes;
    for (const QString &argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &bytes : argumentBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "DISPLAY=", 8) != 0 && std::strncmp(*entry, "QT_QPA_PLATFORM=", 16) != 0)
            envp.push_back(*entry);
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    Measured measured;
    const Bench::Clock::time_point start = Bench::Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), envp.data()) != 0)
        qFatal("cannot start %s", argv.front());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        qFatal("lost the command");
    measured.wallMs = Bench::msBetween(start, Bench::Clock::now());
    measured.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    measured.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                          + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measured.peakMiB = double(usage.ru_maxrss) / 1024.0;
    return measured;
}

struct Devices
{
    std::vector<std::unique_ptr<Bench::DeviceProcess>> processes;
    QStringList paths;
    Devices(int count, const QStringList &options)
    {
        for (int i = 0; i < count; ++i) {
            processes.push_back(std::make_unique<Bench::DeviceProcess>(options));
            paths.append(processes.back()->portPath());
        }
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        qFatal("usage: tarvik-bench-flash FIRMWARE [RUNS [COUNT...]]");
    const QString firmware = arguments.at(0);
    const int runs = arguments.size() > 1 ? arguments.at(1).toInt() : 3;
    const QString of = QStringLiteral("median of %1").arg(runs);
    std::vector<int> counts{1, 4, 8, 16};
    const bool wallTimesOnly = arguments.size() > 2;
    if (wallTimesOnly) {
        counts = {1};
        for (const QString &count : arguments.mid(2))
            counts.push_back(std::max(2, count.toInt()));
    }

    // Wall time and peak memory for each count, fresh devices for every run.
    struct Figures
    {
        double wallMs;
        double peakMiB;
        int passed;
    };
    std::vector<std::pair<int, Figures>> figures;
    for (const int count : counts) {
        std::vector<double> walls;
        std::vector<double> peaks;
        int passed = 0;
        for (int run = 0; run < runs; ++run) {
            const Devices devices(count, {});
            const Measured measured = runFlash(devices.paths, firmware);
            passed += measured.status == 0 ? 1 : 0;
            walls.push_back(measured.wallMs);
            peaks.push_back(measured.peakMiB);
        }
        figures.emplace_back(count, Figures{Bench::median(walls), Bench::median(peaks), passed});
    }
    const Figures one = figures.front().second;
    for (const auto &[count, figure] : figures) {
        const QString what =
            QStringLiteral("`flash`, %1 (20 KB image each), wall ms (%2; %3 of %4 "
                           "runs passed on every port)")
                .arg(count == 1 ? QStringLiteral("one device") : QStringLiteral("%1 devices side by side").arg(count))
                .arg(of)
                .arg(figure.passed)
                .arg(runs);
        if (count == 1)
            Bench::row(what, Bench::fixed(figure.wallMs, 0), QString(), QString());
        else
            Bench::row(what, Bench::fixed(figure.wallMs, 0),
                       QStringLiteral("one device: %1").arg(Bench::fixed(one.wallMs, 0)),
                       Bench::fixed(figure.wallMs / one.wallMs, 3));
    }
    if (wallTimesOnly)
        return 0;
    Bench::row(QStringLiteral("target"), QStringLiteral("ratio at most 1.05 for 8, at most 1.10 for 16"), QString(),
               QString());

    // Sixteen devices that all write their line to one production log on
    // the local disk (beside the program), each line under the log's lock and
    // flushed, against one device without a log.
    {
        const QString log = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-flash-production.csv");
        std::vector<double> walls;
        int passed = 0;
        for (int run = 0; run < runs; ++run) {
            QFile::remove(log);
            const Devices devices(16, {});
            const Measured measured = runFlash(devices.paths, firmware, {QStringLiteral("--log"), log});
            passed += measured.status == 0 ? 1 : 0;
            walls.push_back(measured.wallMs);
        }
        QFile::remove(log);
        const double wall = Bench::median(walls);
        Bench::row(QStringLiteral("`flash`, 16 devices side by side with `--log` on the local disk, wall ms (%1; %2 of "
                                  "%3 runs passed on every port)")
                       .arg(of)
                       .arg(passed)
                       .arg(runs),
                   Bench::fixed(wall, 0),
                   QStringLiteral("one device without a log: %1").arg(Bench::fixed(one.wallMs, 0)),
                   Bench::fixed(wall / one.wallMs, 3));
        Bench::row(QStringLiteral("target"), QStringLiteral("ratio at most 1.02"), QString(), QString());
    }

    // Sixteen silent devices: the whole run is the probe's ten ticks on every
    // port, nothing but waits.
    std::vector<double> shares;
    for (int run = 0; run < runs; ++run) {
        const Devices devices(16, {QStringLiteral("--silent")});
        const Measured measured = runFlash(devices.paths, firmware);
        shares.push_back(100.0 * measured.cpuSeconds * 1000.0 / measured.wallMs);
    }
    const double share = Bench::median(shares);
    Bench::row(
        QStringLiteral("CPU of `flash` on 16 silent devices (10 ticks of waits each, start-up included), % of one "
                       "core (%1)")
            .arg(of),
        Bench::fixed(share, 2), QStringLiteral("target: 5"), Bench::fixed(share / 5.0, 3));

    const Figures sixteen = figures.back().second;
    const double perPort = (sixteen.peakMiB - one.peakMiB) / 15.0;
    Bench::row(QStringLiteral("Peak resident memory of `flash`, 1 device, MiB (%1)").arg(of),
               Bench::fixed(one.peakMiB, 1), QString(), QString());
    Bench::row(QStringLiteral("Peak resident memory of `flash`, 16 devices, MiB (%1)").arg(of),
               Bench::fixed(sixteen.peakMiB, 1), QString(), QString());
    Bench::row(QStringLiteral("Memory per port above one, MiB"), Bench::fixed(perPort, 2), QStringLiteral("target: 20"),
               Bench::fixed(perPort / 20.0, 3));
    return 0;
}
