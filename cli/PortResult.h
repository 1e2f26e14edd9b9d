#pragma once

#include "cli/FlashRequest.h"
#include "engine/Attempt.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>

// The command's exit statuses. They are ordered so that with several ports
// the worst one is simply the highest: a device flashed with no record in the
// production log outweighs every port's own trouble, and only a run the
// operator stopped ranks above it, since its results are incomplete anyway
// (its summary and standard error still tell of every line not written).
namespace ExitStatus {
constexpr int Passed = 0;
constexpr int DownloadFailed = 1;
constexpr int Usage = 2;
constexpr int FileUnusable = 3;
constexpr int NoAnswer = 4;
constexpr int PortUnavailable = 5;
constexpr int LogLineLost = 6;   // a port's line could not be written to the production log
constexpr int Interrupted = 130; // as a shell reports a command ended by SIGINT
} // namespace ExitStatus

// How one port's run ended: the outcome of its attempt at the device.
using PortOutcome = AttemptOutcome;

int exitStatusOf(PortOutcome outcome);

struct PortResult : Attempt
{
    PortSpec port;
    QString logError; // why the port's line was not written; empty when it was or no log is kept
};

// The port's status: its outcome's, or LogLineLost when its line is missing
// from the log and nothing worse happened.
int exitStatusOf(const PortResult &result);
Q_DECLARE_METATYPE(PortResult)
