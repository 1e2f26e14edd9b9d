#pragma once

#include "cli/FlashRequest.h"

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

// How one port's run ended.
enum class PortOutcome {
    Passed,          // the device answered the image "OK!"
    DownloadFailed,  // the device answered the probe, then anything but "OK!" to the image
    PortLost,        // the port failed while in use: the adapter or the device went away
    NoAnswer,        // no device answered the probe with "!"
    PortUnavailable, // the port could not be opened: missing, in use, no permission
    Interrupted,     // the command was stopped before the port's run ended
};

// The word for an outcome in the summary and the log.
QString outcomeWord(PortOutcome outcome);
int exitStatusOf(PortOutcome outcome);

struct PortResult
{
    PortSpec port;
    QString devicePath;
    QString rate; // the rate the device answered at
    PortOutcome outcome = PortOutcome::Interrupted;
    QByteArray reply; // to the image, or to the probe when it was not "!"
    bool versionAsked = false;
    std::optional<quint8> version;
    bool versionInterrupted = false; // stopped while the version was asked, after a pass
    qint64 bytesSent = 0;            // of the image
    QDateTime started;
    qint64 durationMs = 0;
    QString detail;   // why the port failed, in words
    QString logError; // why the port's log line was not written; empty when it was or no log is kept
};

// The port's status: its outcome's, or LogLineLost when its line is missing
// from the log and nothing worse happened.
int exitStatusOf(const PortResult &result);
Q_DECLARE_METATYPE(PortResult)
