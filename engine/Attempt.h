#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

class DeviceLink;
class LinkOwner;

// How one attempt at a device ended. The word of each is what the command
// line prints and the production log keeps; an operator acts on it, so each
// kind of trouble has its own.
enum class AttemptOutcome {
    Passed,          // the device answered the image "OK!"
    DownloadFailed,  // the device answered the probe, then anything but "OK!" to the image
    NoAnswer,        // no device answered the probe with "!"
    PortUnavailable, // the port could not be opened: missing, in use, no permission, no tty
    PortLost,        // the port went away while in use: the adapter or the device was pulled
    RateRefused,     // the port would not take a line rate (an adapter that cannot do 115200 baud)
    WriteRefused,    // the port refused the text while it was still there
    PortError,       // any other failure of the port
    NoNumber,        // no number could be taken for the device, so it was not flashed
    Interrupted,     // stopped before the attempt ended
};

// What became of the number a device was given.
enum class NumberFate {
    None,      // the attempt had no number
    UsedUp,    // the device passed and keeps it
    GivenBack, // no byte of the image left the port: the next device gets it
    Skipped,   // the device may hold it, or giving it back failed: nobody gets it again
};

// "", "", "given back", "skipped": what the log and the views add to a number.
QString numberFateWords(NumberFate fate);

// "pass", "fail", "no-answer", "port-unavailable", "port-lost",
// "rate-refused", "write-refused", "port-error", "no-number", "interrupted".
QString outcomeWord(AttemptOutcome outcome);

// The outcome of an attempt that a failure of the serial layer ended.
AttemptOutcome outcomeOfFailure(int number);

// What one attempt at a device did, as the log and the views need it.
struct Attempt
{
    QString devicePath;
    QString rate; // the rate the device answered at
    AttemptOutcome outcome = AttemptOutcome::Interrupted;
    QByteArray reply; // to the image, or to the probe when it was not "!"
    bool versionAsked = false;
    std::optional<quint8> version;
    bool versionInterrupted = false; // stopped while the version was asked, after a pass
    qint64 bytesSent = 0;            // of the image
    bool imageStarted = false;       // the image began to go to the port: the device may hold any of it
    QString number;                  // the device's own number; empty without one
    NumberFate numberFate = NumberFate::None;
    QDateTime started;
    qint64 durationMs = 0;
    QString detail; // why the port failed, in words
};

// On a device that has just answered the probe at `attempt.rate`: opens the
// port `number` again (`numberedPort`: the operator gave it by number, not
// by a device's name), downloads `image` as the downloader window does, takes
// the window's verdict and, after a pass when `check` is set, asks for the
// version. Fills `attempt`; a failure of the port or a stop ends the download
// and is classified into the attempt (a failure that reached the link's event
// boundary comes from `owner`). The image's progress is in
// `attempt.bytesSent` as it goes. The port is closed when it returns.
void flashAnsweredDevice(DeviceLink &link, LinkOwner &owner, qint16 number, bool numberedPort, const QByteArray &image,
                         bool check, Attempt &attempt);

// Classifies a failure that ended an attempt; `numberedPort` says whether
// the port was given by number (for the words of a port that is not there).
void classifyFailure(int number, const QString &description, bool numberedPort, Attempt &attempt);
