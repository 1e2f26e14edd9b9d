#include "engine/Attempt.h"

#include "engine/DeviceLink.h"
#include "engine/Evaluation.h"
#include "engine/LinkOwner.h"
#include "serial/SerialControl.h"

namespace {

// The verdict of the downloader window for a download that returned `reply`:
// a file that passed its check, a download pending, and what the device sent.
bool downloadPassed(const QByteArray &reply)
{
    return evaluate(QStringLiteral("Pass!"), reply, QStringLiteral("?")) == Outcome::DownloadPassed;
}

} // namespace

QString outcomeWord(AttemptOutcome outcome)
{
    switch (outcome) {
    case AttemptOutcome::Passed:
        return QStringLiteral("pass");
    case AttemptOutcome::DownloadFailed:
        return QStringLiteral("fail");
    case AttemptOutcome::NoAnswer:
        return QStringLiteral("no-answer");
    case AttemptOutcome::PortUnavailable:
        return QStringLiteral("port-unavailable");
    case AttemptOutcome::PortLost:
        return QStringLiteral("port-lost");
    case AttemptOutcome::RateRefused:
        return QStringLiteral("rate-refused");
    case AttemptOutcome::WriteRefused:
        return QStringLiteral("write-refused");
    case AttemptOutcome::PortError:
        return QStringLiteral("port-error");
    case AttemptOutcome::NoNumber:
        return QStringLiteral("no-number");
    case AttemptOutcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

QString numberFateWords(NumberFate fate)
{
    switch (fate) {
    case NumberFate::GivenBack:
        return QStringLiteral("given back");
    case NumberFate::Skipped:
        return QStringLiteral("skipped");
    case NumberFate::None:
    case NumberFate::UsedUp:
        return {};
    }
    return {};
}

AttemptOutcome outcomeOfFailure(int number)
{
    switch (number) {
    case SerialError::InvalidPortNumber:
    case SerialError::PortInUse:
    case SerialError::NoPermission:
    case SerialError::NotASerialPort:
    case SerialError::PortGone:
    case SerialError::OpenFailed:
        return AttemptOutcome::PortUnavailable;
    case SerialError::PortFailed:
        return AttemptOutcome::PortLost;
    case SerialError::SettingsRefused:
        return AttemptOutcome::RateRefused;
    case SerialError::WriteFailed:
        return AttemptOutcome::WriteRefused;
    default:
        return AttemptOutcome::PortError;
    }
}

void classifyFailure(int number, const QString &description, bool numberedPort, Attempt &attempt)
{
    attempt.outcome = outcomeOfFailure(number);
    attempt.detail = description;
    if (number == SerialError::InvalidPortNumber)
        attempt.detail = numberedPort ? QStringLiteral("no serial port has this number") : QStringLiteral("no such device");
}

void flashAnsweredDevice(DeviceLink &link, LinkOwner &owner, qint16 number, bool numberedPort, const QByteArray &image,
                         bool check, Attempt &attempt)
{
    const QMetaObject::Connection progress =
        QObject::connect(&link, &DeviceLink::imageProgress, &link, [&attempt](qint64 sent, qint64) {
            attempt.bytesSent = sent;
        });
    // Before the image's first byte is written: a device that failed before
    // this cannot hold any of it.
    const QMetaObject::Connection started =
        QObject::connect(&link, &DeviceLink::stepReached, &link, [&attempt](DeviceLink::Step step) {
            if (step == DeviceLink::Step::SendingImage)
                attempt.imageStarted = true;
        });
    try {
        // As in the downloader window: the port stays open and everything the
        // device sends is kept for the verdict.
        link.setCollecting(true);
        link.open(number);
        attempt.devicePath = link.serial().devicePath();
        attempt.reply = link.download(attempt.rate, image);
        attempt.outcome = downloadPassed(attempt.reply) ? AttemptOutcome::Passed : AttemptOutcome::DownloadFailed;
    } catch (const ExchangeInterrupted &) {
        QObject::disconnect(progress);
        QObject::disconnect(started);
        link.setCollecting(false);
        link.close();
        if (const std::optional<Failure> &failure = owner.unhandledFailure())
            classifyFailure(failure->number(), failure->description(), numberedPort, attempt);
        else
            attempt.outcome = AttemptOutcome::Interrupted;
        return;
    } catch (const Failure &failure) {
        QObject::disconnect(progress);
        QObject::disconnect(started);
        link.setCollecting(false);
        link.close();
        classifyFailure(failure.number(), failure.description(), numberedPort, attempt);
        return;
    }
    QObject::disconnect(progress);
    QObject::disconnect(started);
    link.setCollecting(false);

    attempt.versionAsked = check;
    if (attempt.outcome == AttemptOutcome::Passed && check) {
        try {
            attempt.version = link.queryVersion(attempt.rate);
        } catch (const ExchangeInterrupted &) {
            // The device is programmed: a stop while its version is asked
            // does not make it anything else.
            if (const std::optional<Failure> &failure = owner.unhandledFailure())
                attempt.detail = QStringLiteral("version query: %1").arg(failure->description());
            else
                attempt.versionInterrupted = true;
        } catch (const Failure &failure) {
            // The image is in; a query that fails does not take that back.
            attempt.detail = QStringLiteral("version query: %1").arg(failure.description());
        }
    }
    link.close();
}
