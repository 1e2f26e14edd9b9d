#include "cli/PortRun.h"

#include "cli/PortNames.h"

#include "engine/Evaluation.h"
#include "log/ProductionLog.h"
#include "serial/PortResolver.h"

#include <QElapsedTimer>

#include <memory>

namespace {

thread_local PortRun *t_current = nullptr;

// The verdict of the downloader window for a download that returned `reply`:
// a file that passed its check, a download pending, and what the device sent.
bool downloadPassed(const QByteArray &reply)
{
    return evaluate(QStringLiteral("Pass!"), reply, QStringLiteral("?")) == Outcome::DownloadPassed;
}

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

PortRun *PortRun::current()
{
    return t_current;
}

void PortRun::requestStop()
{
    m_stop = true;
    const std::lock_guard lock(m_linkMutex);
    if (m_link)
        m_link->requestStop();
}

void PortRun::takeUnhandledFailure(int number, const QString &description)
{
    if (!m_unhandled)
        m_unhandled.emplace(number, description);
    const std::lock_guard lock(m_linkMutex);
    if (m_link)
        m_link->requestStop();
}

void PortRun::run()
{
    t_current = this;
    QElapsedTimer clock;
    clock.start();
    PortResult result;
    result.port = m_job.port;
    result.started = QDateTime::currentDateTime();
    result.versionAsked = m_job.check;

    const std::unique_ptr<PortResolver> resolver = resolverFor(m_job.port);
    {
        DeviceLink link(*resolver);
        {
            const std::lock_guard lock(m_linkMutex);
            m_link = &link;
            if (m_stop)
                link.requestStop();
        }
        try {
            exchange(link, result);
        } catch (const ExchangeInterrupted &) {
            if (m_unhandled)
                classify(*m_unhandled, result);
            else
                result.outcome = PortOutcome::Interrupted;
        } catch (const Failure &failure) {
            classify(failure, result);
        }
        if (result.devicePath.isEmpty())
            result.devicePath = link.serial().devicePath();
        const std::lock_guard lock(m_linkMutex);
        m_link = nullptr;
    }
    result.durationMs = clock.elapsed();
    t_current = nullptr;

    if (m_job.log) {
        AttemptRecord record;
        record.started = result.started;
        record.port = result.port.label();
        record.devicePath = result.devicePath;
        record.rate = result.rate;
        record.firmwarePath = m_job.firmwarePath;
        record.firmwareSha256 = m_job.firmwareSha256;
        record.bytesSent = result.bytesSent;
        record.result = outcomeWord(result.outcome);
        record.reply = result.reply;
        record.version = result.version;
        record.versionInterrupted = result.versionInterrupted;
        record.durationMs = result.durationMs;
        QString reason;
        if (!m_job.log->append(record, &reason))
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

    // From here on, as in the downloader window: the port stays open and
    // everything the device sends is kept for the verdict.
    link.setCollecting(true);
    link.open(number);
    const QByteArray reply = link.download(result.rate, m_job.image);
    result.reply = reply;
    result.outcome = downloadPassed(reply) ? PortOutcome::Passed : PortOutcome::DownloadFailed;

    if (result.outcome == PortOutcome::Passed && m_job.check) {
        try {
            result.version = link.queryVersion(result.rate);
        } catch (const ExchangeInterrupted &) {
            // The device is programmed: a stop while its version is asked
            // does not make it anything else.
            if (m_unhandled)
                result.detail = QStringLiteral("version query: %1").arg(m_unhandled->description());
            else
                result.versionInterrupted = true;
            return;
        } catch (const Failure &failure) {
            // The image is in; a query that fails does not take that back.
            result.detail = QStringLiteral("version query: %1").arg(failure.description());
        }
    }
    link.close();
}

void PortRun::classify(const Failure &failure, PortResult &result)
{
    result.detail = failure.description();
    switch (failure.number()) {
    case SerialError::InvalidPortNumber:
        result.outcome = PortOutcome::PortUnavailable;
        result.detail =
            m_job.port.number > 0 ? QStringLiteral("no serial port has this number") : QStringLiteral("no such device");
        break;
    case SerialError::PortInUse:
    case SerialError::NoPermission:
    case SerialError::NotASerialPort:
    case SerialError::PortGone:
        result.outcome = PortOutcome::PortUnavailable;
        break;
    default:
        result.outcome = PortOutcome::PortLost;
        break;
    }
}
