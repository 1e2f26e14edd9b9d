#include "cli/PortResult.h"

#include <algorithm>

QString outcomeWord(PortOutcome outcome)
{
    switch (outcome) {
    case PortOutcome::Passed:
        return QStringLiteral("pass");
    case PortOutcome::DownloadFailed:
        return QStringLiteral("fail");
    case PortOutcome::PortLost:
        return QStringLiteral("port-lost");
    case PortOutcome::NoAnswer:
        return QStringLiteral("no-answer");
    case PortOutcome::PortUnavailable:
        return QStringLiteral("port-unavailable");
    case PortOutcome::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

int exitStatusOf(PortOutcome outcome)
{
    switch (outcome) {
    case PortOutcome::Passed:
        return ExitStatus::Passed;
    case PortOutcome::DownloadFailed:
    case PortOutcome::PortLost:
        return ExitStatus::DownloadFailed;
    case PortOutcome::NoAnswer:
        return ExitStatus::NoAnswer;
    case PortOutcome::PortUnavailable:
        return ExitStatus::PortUnavailable;
    case PortOutcome::Interrupted:
        return ExitStatus::Interrupted;
    }
    return ExitStatus::Interrupted;
}

int exitStatusOf(const PortResult &result)
{
    const int status = exitStatusOf(result.outcome);
    return result.logError.isEmpty() ? status : std::max(status, ExitStatus::LogLineLost);
}
