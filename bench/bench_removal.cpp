// A device that goes away: the adapter pulled (the kernel hangs the tty up)
// or the line closed, on a link driven as the windows drive it:
//
//   - in a download, 100 ms into the 12-tick wait for the device's verdict:
//     the time from the pull until download() throws the port's failure, and
//     the processor share of the next 2 s of wall time (the rest of the
//     download, then the link's thread running its event loop, the failed
//     port left open as the window leaves it);
//   - on a port held open and idle, collecting, as the downloader window
//     holds it between downloads: the processor share of the 2 s after the
//     pull, the thread running its event loop.
//
// The device is simulated in this process, answering 20 ms late as a real
// one behind a USB adapter does; once gone, its thread sleeps, so the
// processor time after the pull is the link's.
//
//   tarvik-bench-removal [--quick] FIRMWARE
//
// Prints Markdown table rows: figure | value | reference | ratio. --quick:
// one run of each (a trial of the benchmark itself).

#include "bench/BenchSupport.h"

#include "engine/DeviceLink.h"
#include "engine/FirmwareFile.h"
#include "engine/TickWait.h"
#include "serial/SerialControl.h"
#include "sim/SimulatedDevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <thread>

using namespace Bench;
using namespace std::chrono_literals;

namespace {

constexpr int ReplyLatencyMs = 20;
constexpr auto PullIntoVerdictWait = 100ms;
constexpr auto Watched = 2000ms;
constexpr double VerdictTargetMs = TickWait::TickIntervalMs;
constexpr double ShareTargetPercent = 2.0;

using Removal = SimulatedDevice::Removal;

QString removalName(Removal how)
{
    return how == Removal::AdapterPulled ? QStringLiteral("adapter pulled") : QStringLiteral("line closed");
}

// CPU time over wall time, in percent of one core.
double sharePercent(double cpuSeconds, double wallMs)
{
    return 100.0 * cpuSeconds / (wallMs / 1000);
}

// The moment of the pull, from the thread that pulled.
struct Pull
{
    Clock::time_point at;
    double cpuSeconds = 0;
};

Pull pullNow(SimulatedDevice &device, Removal how)
{
    // Read before the pull: the link may see it before hangUp() returns.
    const Pull pull{Clock::now(), processCpuSeconds()};
    device.hangUp(how);
    return pull;
}

// Runs this thread's events until `until`, as the program's thread does once
// the exchange is over.
void runEventsUntil(Clock::time_point until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(left, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct DownloadRun
{
    double pullToVerdictMs = 0;
    double sharePercent = 0;
    int failureNumber = 0; // 0: download() returned instead of throwing
};

DownloadRun downloadPulled(const QByteArray &image, Removal how)
{
    SimulatedDevice device;
    device.setReplyLatency(ReplyLatencyMs);
    // The device is still checking the image when it goes: no verdict ends
    // the wait before the pull does.
    SimulatedDevice::Reply checking;
    checking.silent = true;
    device.setImageReply(checking);
    FixedPortResolver resolver;
    resolver.assign(1, device.portPath());
    DeviceLink link(resolver);
    const DeviceLink::ProbeResult probe = link.probe(1);
    if (!probe.answered())
        qFatal("the device did not answer the probe");
    link.setCollecting(true);
    link.open(1);

    std::optional<Pull> pull;
    std::thread puller;
    QObject::connect(&link, &DeviceLink::stepReached, &link, [&](DeviceLink::Step step) {
        if (step != DeviceLink::Step::AwaitingVerdict)
            return;
        puller = std::thread([&device, &pull, how] {
            std::this_thread::sleep_for(PullIntoVerdictWait);
            pull = pullNow(device, how);
        });
    });

    DownloadRun run;
    Clock::time_point verdictAt;
    try {
        link.download(probe.rate(), image);
        verdictAt = Clock::now();
    } catch (const Failure &failure) {
        verdictAt = Clock::now();
        run.failureNumber = failure.number();
    }
    if (!puller.joinable())
        qFatal("the download did not reach its verdict wait");
    puller.join();
    if (!pull)
        qFatal("the device was not pulled");
    run.pullToVerdictMs = msBetween(pull->at, verdictAt);

    const Clock::time_point end = pull->at + Watched;
    runEventsUntil(end);
    const Clock::time_point now = Clock::now();
    run.sharePercent = sharePercent(processCpuSeconds() - pull->cpuSeconds, msBetween(pull->at, now));
    return run;
}

struct IdleRun
{
    double sharePercent = 0;
    int failureNumber = 0; // what the port reports afterwards; 0: nothing
};

IdleRun idlePulled(Removal how)
{
    SimulatedDevice device;
    device.setReplyLatency(ReplyLatencyMs);
    FixedPortResolver resolver;
    resolver.assign(1, device.portPath());
    DeviceLink link(resolver);
    link.setCollecting(true);
    link.open(1);
    // The port settles before the pull, as a window that has been open a while.
    settle(300);
    const Pull pull = pullNow(device, how);
    runEventsUntil(pull.at + Watched);
    const Clock::time_point now = Clock::now();
    IdleRun run;
    run.sharePercent = sharePercent(processCpuSeconds() - pull.cpuSeconds, msBetween(pull.at, now));
    // The next download on this port must fail as a lost port, not hang.
    try {
        link.serial().throwIfFailed();
    } catch (const Failure &failure) {
        run.failureNumber = failure.number();
    }
    return run;
}

void measure(const QByteArray &image, int count)
{
    for (const Removal how : {Removal::AdapterPulled, Removal::LineClosed}) {
        std::vector<double> latencies, shares;
        int failedAsLost = 0;
        QStringList others;
        for (int i = 0; i < count; ++i) {
            const DownloadRun run = downloadPulled(image, how);
            latencies.push_back(run.pullToVerdictMs);
            shares.push_back(run.sharePercent);
            if (run.failureNumber == SerialError::PortFailed)
                ++failedAsLost;
            else
                others << (run.failureNumber ? QString::number(run.failureNumber) : QStringLiteral("returned"));
        }
        const QString outcome = others.isEmpty()
                                    ? QStringLiteral("%1 of %1 failed with %2").arg(count).arg(SerialError::PortFailed)
                                    : QStringLiteral("%1 of %2 failed with %3; others: %4")
                                          .arg(failedAsLost)
                                          .arg(count)
                                          .arg(SerialError::PortFailed)
                                          .arg(others.join(QStringLiteral(", ")));
        const double latency = median(latencies);
        row(QStringLiteral("Download, %1 100 ms into the verdict wait: the pull to download()'s failure, ms "
                           "(median of %2; %3)")
                .arg(removalName(how))
                .arg(count)
                .arg(outcome),
            fixed(latency, 2), QStringLiteral("target: %1").arg(fixed(VerdictTargetMs, 0)),
            fixed(latency / VerdictTargetMs, 4));
        const double share = median(shares);
        row(QStringLiteral("CPU in the 2 s after that pull, % of one core (median of %1)").arg(count), fixed(share, 2),
            QStringLiteral("target: %1").arg(fixed(ShareTargetPercent, 0)), fixed(share / ShareTargetPercent, 4));
    }
    for (const Removal how : {Removal::AdapterPulled, Removal::LineClosed}) {
        std::vector<double> shares;
        int failedAsLost = 0;
        for (int i = 0; i < count; ++i) {
            const IdleRun run = idlePulled(how);
            shares.push_back(run.sharePercent);
            if (run.failureNumber == SerialError::PortFailed)
                ++failedAsLost;
        }
        const double share = median(shares);
        row(QStringLiteral("CPU in the 2 s after the %1 on an idle open port, % of one core (median of %2; "
                           "the port held failure %3 after it in %4 of %2)")
                .arg(removalName(how))
                .arg(count)
                .arg(SerialError::PortFailed)
                .arg(failedAsLost),
            fixed(share, 2), QStringLiteral("target: %1").arg(fixed(ShareTargetPercent, 0)),
            fixed(share / ShareTargetPercent, 4));
    }
}

int usage()
{
    std::fputs("usage: tarvik-bench-removal [--quick] FIRMWARE\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool quick = arguments.removeAll(QStringLiteral("--quick")) > 0;
    if (arguments.size() != 1)
        return usage();
    QString reason;
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(arguments[0], &reason);
    if (!bytes)
        qFatal("cannot read %s: %s", qPrintable(arguments[0]), qPrintable(reason));
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    if (!image.passed)
        qFatal("the firmware file %s did not pass its check", qPrintable(arguments[0]));
    measure(image.text, quick ? 1 : 5);
    return 0;
}
