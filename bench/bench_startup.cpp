// Start-up: from starting the program's process to its connection window
// shown, on the display the benchmark runs on (a virtual one under xvfb-run).
//
//   tarvik-bench-startup [RUNS]
//
// Starts tarvik-demo (the program with its simulated device on port 1) with
// --startup-report and the steady clock read just before the start; the demo
// prints the time once the window is exposed and painted, and exits. One
// unmeasured start first fills the page cache. Prints a Markdown table row.

#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

using namespace Bench;

namespace {

constexpr double TargetMs = 300;

// Milliseconds the demo reported, or a negative number when it reported none.
double oneStart(const QString &demo)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 launchedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    process.start(demo, {QStringLiteral("--startup-report"), QString::number(launchedNs)});
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    static const QRegularExpression report(QStringLiteral("^startup-ms: ([0-9.]+)$"),
                                           QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = report.match(QString::fromLocal8Bit(process.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const QString demo = QCoreApplication::applicationDirPath() + QStringLiteral("/tarvik-demo");

    oneStart(demo);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const double ms = oneStart(demo);
        if (ms < 0) {
            std::fprintf(stderr, "tarvik-bench-startup: the demo reported no start-up time\n");
            return 1;
        }
        times.push_back(ms);
    }
    const double value = median(times);
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb"));
    row(QStringLiteral("Start-up to the connection window shown (%1), ms (median of %2)").arg(platform).arg(count),
        fixed(value, 0), QStringLiteral("target: %1").arg(fixed(TargetMs, 0)), fixed(value / TargetMs, 3));
    return 0;
}
