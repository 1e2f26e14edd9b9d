#include "station/StationCounts.h"

#include "base/PrintableBytes.h"

VerdictKind verdictKindOf(const Attempt &attempt)
{
    switch (attempt.outcome) {
    case AttemptOutcome::Passed:
        return VerdictKind::Pass;
    case AttemptOutcome::DownloadFailed:
        return attempt.reply.isEmpty() ? VerdictKind::NoAnswer : VerdictKind::Refused;
    case AttemptOutcome::PortLost:
    case AttemptOutcome::PortUnavailable:
        return VerdictKind::PortLost;
    case AttemptOutcome::Interrupted:
        return VerdictKind::Interrupted;
    case AttemptOutcome::NoNumber:
        return VerdictKind::NoNumber;
    case AttemptOutcome::NoAnswer:
    case AttemptOutcome::RateRefused:
    case AttemptOutcome::WriteRefused:
    case AttemptOutcome::PortError:
        return VerdictKind::PortTrouble;
    }
    return VerdictKind::PortTrouble;
}

QString verdictWords(VerdictKind kind, const QByteArray &reply)
{
    switch (kind) {
    case VerdictKind::Pass:
        return QStringLiteral("PASS");
    case VerdictKind::NoAnswer:
        return QStringLiteral("FAIL: no answer");
    case VerdictKind::Refused:
        return QStringLiteral("FAIL: refused (%1)").arg(QString::fromLatin1(printableBytes(reply.first(std::min<qsizetype>(reply.size(), 40)))));
    case VerdictKind::PortLost:
        return QStringLiteral("port lost");
    case VerdictKind::PortTrouble:
        return QStringLiteral("port trouble");
    case VerdictKind::NoNumber:
        return QStringLiteral("not flashed: no number");
    case VerdictKind::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

void StationCounts::add(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::Pass:
        ++passed;
        break;
    case VerdictKind::NoAnswer:
        ++noAnswer;
        break;
    case VerdictKind::Refused:
        ++refused;
        break;
    case VerdictKind::PortLost:
        ++portLost;
        break;
    case VerdictKind::PortTrouble:
        ++portTrouble;
        break;
    case VerdictKind::NoNumber:
        ++noNumber;
        break;
    case VerdictKind::Interrupted:
        ++interrupted;
        break;
    }
}

void StationCounts::add(NumberFate fate)
{
    switch (fate) {
    case NumberFate::UsedUp:
        ++numbersUsed;
        break;
    case NumberFate::GivenBack:
        ++numbersGivenBack;
        break;
    case NumberFate::Skipped:
        ++numbersSkipped;
        break;
    case NumberFate::None:
        break;
    }
}

StationCounts &StationCounts::operator+=(const StationCounts &other)
{
    passed += other.passed;
    noAnswer += other.noAnswer;
    refused += other.refused;
    portLost += other.portLost;
    portTrouble += other.portTrouble;
    noNumber += other.noNumber;
    interrupted += other.interrupted;
    logLinesLost += other.logLinesLost;
    numbersUsed += other.numbersUsed;
    numbersGivenBack += other.numbersGivenBack;
    numbersSkipped += other.numbersSkipped;
    return *this;
}

double StationCounts::yieldPercent() const
{
    const int judged = passed + failed();
    return judged == 0 ? -1.0 : 100.0 * passed / judged;
}

QString StationCounts::summary() const
{
    QString text = QStringLiteral("%1 passed, %2 failed").arg(passed).arg(failed());
    if (failed() > 0) {
        QStringList kinds;
        if (noAnswer > 0)
            kinds << QStringLiteral("%1 no answer").arg(noAnswer);
        if (refused > 0)
            kinds << QStringLiteral("%1 refused").arg(refused);
        text += QStringLiteral(" (%1)").arg(kinds.join(QStringLiteral(", ")));
    }
    const double yield = yieldPercent();
    text += yield < 0 ? QStringLiteral(", yield -") : QStringLiteral(", yield %1 %").arg(yield, 0, 'f', 1);
    if (portLost > 0)
        text += QStringLiteral(", %1 port lost").arg(portLost);
    if (portTrouble > 0)
        text += QStringLiteral(", %1 port trouble").arg(portTrouble);
    if (noNumber > 0)
        text += QStringLiteral(", %1 not flashed for want of a number").arg(noNumber);
    if (interrupted > 0)
        text += QStringLiteral(", %1 interrupted").arg(interrupted);
    if (logLinesLost > 0)
        text += QStringLiteral(", %1 log lines lost").arg(logLinesLost);
    if (numbersUsed + numbersGivenBack + numbersSkipped > 0) {
        text += QStringLiteral("; numbers: %1 used, %2 given back, %3 skipped")
                    .arg(numbersUsed)
                    .arg(numbersGivenBack)
                    .arg(numbersSkipped);
    }
    return text;
}
