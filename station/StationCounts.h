#pragma once

#include "engine/Attempt.h"

#include <QByteArray>
#include <QString>

// What became of one attempt, as the station counts and shows it.
enum class VerdictKind {
    Pass,
    NoAnswer,    // the device took the image and said nothing, or stopped taking it
    Refused,     // the device answered the image with something other than "OK!"
    PortLost,    // the port went away under the device: not a failed device
    PortTrouble, // the port refused a rate or the text, or failed otherwise
    NoNumber,    // no number could be taken for the device: it was not flashed
    Interrupted, // the station was stopped in the middle of the image
};

VerdictKind verdictKindOf(const Attempt &attempt);
// "PASS", "FAIL: no answer", "FAIL: refused (ER)", "port lost", "no number", ...
QString verdictWords(VerdictKind kind, const QByteArray &reply);

// The counts of a slot, or of the whole station, since the start.
struct StationCounts
{
    int passed = 0;
    int noAnswer = 0;
    int refused = 0;
    int portLost = 0;
    int portTrouble = 0;
    int noNumber = 0;
    int interrupted = 0;
    int logLinesLost = 0;
    // What became of the devices' numbers: kept by a passed device, given
    // back for the next one, or skipped.
    int numbersUsed = 0;
    int numbersGivenBack = 0;
    int numbersSkipped = 0;

    void add(VerdictKind kind);
    void add(NumberFate fate);
    StationCounts &operator+=(const StationCounts &other);
    bool operator==(const StationCounts &) const = default;

    // Devices that were flashed and did not pass; a lost port is not a
    // failed device.
    int failed() const { return noAnswer + refused; }
    // Passed devices among the devices with a verdict, in percent; none: -1.
    double yieldPercent() const;
    // "12 passed, 1 failed (1 no answer), yield 92.3 %" and, when there were
    // any, the lost ports and the port's other trouble, and the numbers.
    QString summary() const;
};
