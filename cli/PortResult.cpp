#include "cli/PortResult.h"

#include <algorithm>

int exitStatusOf(PortOutcome outcome)
{
    switch (outcome) {
    case PortOutcome::Passed:
        return ExitStatus::Passed;
    case PortOutcome::DownloadFailed:
    // The port failed under a device that answered: it may be half flashed.
    case PortOutcome::PortLost:
    case PortOutcome::RateRefused:
    case PortOutcome::WriteRefused:
    case PortOutcome::PortError:
    // The flash command gives no numbers; a device without one was not flashed.
    case PortOutcome::NoNumber:
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
