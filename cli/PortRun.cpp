#include "cli/PortRun.h"

#include "cli/PortNames.h"

#include "engine/Evaluation.h"
#include "log/ProductionLog.h"
#include "serial/PortResolver.h"
#include "station/Station.h"

#include <QElapsedTimer>

#include <memory>

namespace {

std::unique_ptr<PortResolver> resolverFor(const PortSpec &port)
{
    if (port.number > 0)
        return std::make_unique<DevicePortResolver>();
    // A device's name is opened as it is; the link sees it as port 1.
    auto fixed = std::make_unique<FixedPortResolver>();
    fixed->assign(1, PortNames::openableName(port.path));
    return fixed;
}

qint16 linkNumber(const PortSpec &port)
{
    return port.number > 0 ? port.number : qint16(1);
}

} // namespace

PortRun::PortRun(Job job)
    : m_job(std::move(job))
{}

void PortRun::run()
{
    QElapsedTimer clock;
    clock.start();
    PortResult result;
    result.port = m_job.port;
    result.started = QDateTime::currentDateTime();
    result.versionAsked = m_job.check;

    const std::unique_ptr<PortResolver> resolver = resolverFor(m_job.port);
    {
        DeviceLink link(*resolver);
        attach(link);
        const bool numbered = m_job.port.number > 0;
        try {
            exchange(link, result);
        } catch (const ExchangeInterrupted &) {
            if (const std::optional<Failure> &failure = unhandledFailure())
                classifyFailure(failure->number(), failure->description(), numbered, result);
            else
                result.outcome = PortOutcome::Interrupted;
        } catch (const Failure &failure) {
            classifyFailure(failure.number(), failure.description(), numbered, result);
        }
        if (result.devicePath.isEmpty())
            result.devicePath = link.serial().devicePath();
        detach();
    }
    result.durationMs = clock.elapsed();

    if (m_job.log) {
        QString reason;
        if (!m_job.log->append(attemptRecord(result, result.port.label(), m_job.firmwarePath, m_job.firmwareSha256),
                               &reason))
            result.logError = reason;
    }
    emit finished(m_job.index, result);
}

void PortRun::exchange(DeviceLink &link, PortResult &result)
{
    const int index = m_job.index;
    connect(&link, &DeviceLink::rateTried, this,
            [this, index](int, const QString &rate) { emit rateTried(index, rate); });
    connect(&link, &DeviceLink::imageProgress, this, [this, index, &result](qint64 sent, qint64 total) {
        result.bytesSent = sent;
        emit imageProgress(index, sent, total);
    });
    connect(&link, &DeviceLink::stepReached, this, [this, index, &result](DeviceLink::Step step) {
        emit stepReached(index, step, result.devicePath, result.rate);
    });

    const qint16 number = linkNumber(m_job.port);
    const DeviceLink::ProbeResult probe = link.probe(number);
    result.devicePath = link.serial().devicePath();
    if (!probe.answered()) {
        result.outcome = PortOutcome::NoAnswer;
        result.reply = probe.reply;
        return;
    }
    result.rate = probe.rate();
    flashAnsweredDevice(link, *this, number, m_job.port.number > 0, m_job.image, m_job.check, result);
}
