#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

// One device's visit to a fixture's port: who it is, how it behaves, how long
// it stays and how long the port is empty after it.
struct FixtureVisit
{
    // How the device answers an image.
    enum class Reply {
        Check,  // "OK!" or "ER" by its own check of the image
        Refuse, // "ER" to every image
        Silent, // nothing at all, not even "!"
        Text,   // `replyText` to every image
    };
    // What the device does once it has answered an image.
    enum class After {
        Keep,  // keeps answering "!" at its rate until it leaves
        Reset, // restarts into its new firmware: hears nothing until it leaves
    };

    int rate = 9600;           // its own line rate, one of the probe's five
    std::uint8_t version = 17; // answered to "r"
    int latencyMs = 20;        // how late it answers every command
    Reply reply = Reply::Check;
    QByteArray replyText; // with Reply::Text
    After after = After::Keep;
    // How long it stays: from its arrival, or with `stayFromVerdict` from the
    // moment its answer to an image left it. A device that never answers
    // (Reply::Silent) counts that time from the first "!" it heard at its
    // rate, the moment the station could have found it. The program shows an
    // answer other than "OK!" only after its twelve ticks (6 s): a device
    // taken away sooner than that after such an answer, and its successor
    // put in, look to the station like one device that never left.
    bool stayFromVerdict = true;
    std::chrono::milliseconds stay{1000};
    // With a stay from the verdict: a device that has had no answer to give
    // this long after its arrival (a station that missed it) is taken away
    // unflashed, so one missed device never stalls the schedule.
    std::chrono::milliseconds patience{60000};
    std::chrono::milliseconds gap{1000}; // the port without a device after it
    // It carries its own USB serial chip: the port's node exists only while
    // it is there.
    bool usb = false;
    // Its adapter is pulled 64 bytes into its image; the port's node goes
    // with it and comes back with the next visit.
    bool pull = false;
    // The line of the text form it was read from; 0 when made in code.
    int line = 0;

    // The visit in the text form, every key written out.
    QString text() const;

    friend bool operator==(const FixtureVisit &, const FixtureVisit &) = default;
};

// Visits in order, the whole list run `repeat` times.
//
// The text form: one visit a line, words separated by blanks, `#` to the end
// of the line a comment, blank lines ignored.
//
//   rate=9600|19200|38400|57600|115200   default 9600
//   version=0..255                       default 17
//   latency=MS                           default 20
//   reply=check|refuse|silent|text:BYTES default check; BYTES may hold \xNN,
//                                        \r, \n, \\ (a blank is \x20)
//   after=keep|reset                     default keep
//   stay=SECONDS|verdict+SECONDS         default verdict+1
//   patience=SECONDS                     default 60; see FixtureVisit::patience
//   gap=SECONDS                          default 1
//   usb, pull                            bare words
//
// Seconds may have a fraction (0.5); a fixed stay is more than zero. A line
// `repeat=N` alone sets how often the list runs (default once).
struct FixtureSchedule
{
    QList<FixtureVisit> visits;
    int repeat = 1;

    // The number of visits in a whole run.
    qsizetype length() const { return visits.size() * repeat; }
    // The visit at `index` of a whole run (repeats counted on).
    const FixtureVisit &visitAt(qsizetype index) const { return visits.at(index % visits.size()); }

    // Reads the text form. On bad input returns nothing and, if `error` is
    // given, says why and on which line: "line 3: rate must be one of ...".
    static std::optional<FixtureSchedule> parse(QByteArrayView text, QString *error = nullptr);
};
