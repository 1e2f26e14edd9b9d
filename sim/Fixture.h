#pragma once

#include "sim/DeviceMemory.h"
#include "sim/FixtureSchedule.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// A station's slot with devices coming and going by a schedule: one serial
// port under a stable name (a symbolic link, as udev's /dev/serial/by-path
// names give a socket), and behind it the simulated device of each visit in
// turn.
//
// The port, visit by visit:
//  - a device on a plain adapter: the pseudo-terminal behind the link stays;
//    while no device is there the line reads and discards what arrives and
//    answers nothing, and each arrival is a fresh device with the protocol
//    from the start;
//  - a device with its own USB chip (`usb`): a new pseudo-terminal and the
//    link appear on its arrival; on leaving the tty is hung up, as the kernel
//    does when a USB adapter goes, and the link is removed. The hang-up waits
//    (up to a second) until the program has read what the device last said:
//    a real device's answer reaches the computer before the bus notices it
//    gone, while a pseudo-terminal's hang-up throws unread bytes away;
//  - an adapter pulled during the image (`pull`): the tty is hung up 64 bytes
//    into the image and the link removed at once; the visit ends there, and
//    the port comes back (a new pseudo-terminal behind the link) with the
//    next visit;
//  - a plain adapter whose next device brings its own chip goes (hung up,
//    link removed) with its device; a plain device that comes to a port
//    without a node brings its adapter: the node appears with it;
//  - after the last visit the port stays as that visit left it.
//
// The clock: every leave and arrival has a deadline computed from the one
// before (an arrival from the planned leave plus the gap, a fixed stay from
// the planned arrival, a verdict stay from the moment the device's answer
// left it), and the fixture's thread waits until it; a thread woken late on a
// busy machine never pushes the rest of the schedule back (a late arrival
// shortens that visit's fixed stay instead).
class Fixture
{
public:
    using Clock = std::chrono::steady_clock;

    // What happened in one visit, for tests to assert on.
    struct Record
    {
        qsizetype index = 0; // in the run, from 0, repeats counted on
        FixtureVisit visit;
        QString portPath; // the pseudo-terminal the link pointed at
        std::optional<Clock::time_point> arrivedAt;
        std::optional<Clock::time_point> firstProbeAt;  // the first "!" heard at its rate
        std::optional<Clock::time_point> firstAnswerAt; // when its first "!" answer left
        std::optional<Clock::time_point> commandsAt;    // the first "dl" heard (its "l" in)
        std::optional<Clock::time_point> verdictAt;     // when its first answer to an image left
        std::optional<Clock::time_point> leftAt;
        int probesHeard = 0;      // "!" at its rate
        int probesAnswered = 0;   // "!" it answered
        int imagesReceived = 0;   // whole images (a pulled one is not whole)
        int answeredOk = 0;       // images answered "OK!"
        int answeredEr = 0;       // images answered "ER"
        QList<QByteArray> images; // every whole image, as received
        bool pulled = false;      // its adapter was pulled during the image
        // Its flash (see SimulatedDevice::memory): as its last whole image
        // left it while it is there, and as it was when it left. Each
        // visit's device starts erased.
        DeviceMemory memory;

        bool flashed() const { return answeredOk > 0; }
    };

    // What the fixture reports as it runs, for a person watching.
    struct Event
    {
        enum class Kind {
            Arrived,  // a device is there; `portPath` is the line behind the link
            Answered, // its first answer to "!"
            Verdict,  // it answered an image (`text`; empty: it said nothing)
            Pulled,   // its adapter was pulled during the image
            Left,     // it has gone (`portPath` empty: the port's node with it)
            Finished, // the schedule has run out
        };
        Kind kind = Kind::Arrived;
        qsizetype visit = -1;
        Clock::time_point at;
        QByteArray text;
        QString portPath;
        DeviceMemory memory; // with Verdict and Left: the device's memory then
    };

    // The link is made at `linkPath` when the run starts; a symbolic link
    // already there is replaced, anything else is refused.
    Fixture(const QString &linkPath, const FixtureSchedule &schedule);
    ~Fixture(); // stops the run, hangs the line up, removes the link
    Fixture(const Fixture &) = delete;
    Fixture &operator=(const Fixture &) = delete;

    // Called as things happen: in start() for the first arrival, then on the
    // fixture's own threads, never with the fixture's lock held. It must be
    // quick; of the fixture it may read schedule() and startedAt() only. Set
    // before start().
    void setObserver(std::function<void(const Event &)> observer);

    // Starts the run: the first visit arrives now. Throws std::runtime_error
    // when the link cannot be made.
    void start();

    QString linkPath() const;
    const FixtureSchedule &schedule() const;
    Clock::time_point startedAt() const;

    // The pseudo-terminal behind the link now; empty while the port has no node.
    QString portPath() const;
    // The index of the visit whose device is there now; -1 between devices.
    qsizetype currentVisit() const;
    // How many visits have begun.
    qsizetype visitsBegun() const;
    bool finished() const;

    // Every visit that has begun, in order.
    QList<Record> records() const;
    Record record(qsizetype index) const;
    // `length` bytes at `address` of each visit's memory (see Record::memory),
    // every visit that has begun in order: one device number each, say.
    QList<QByteArray> memoryRead(quint32 address, int length) const;

    // Block the calling thread (which then handles no events) until the
    // condition holds or the timeout passes; say whether it held. A test
    // that must keep its events going polls the accessors above instead.
    bool waitUntilFinished(std::chrono::milliseconds timeout) const;
    bool waitForArrival(qsizetype index, std::chrono::milliseconds timeout) const;
    bool waitForLeave(qsizetype index, std::chrono::milliseconds timeout) const;

    // A failure of the run that a test should see (the link could not be made
    // again); empty when there was none.
    QString error() const;

private:
    struct Impl;
    Impl *d;
};
