#pragma once

#include "engine/Attempt.h"
#include "engine/DeviceImages.h"
#include "engine/DeviceLink.h"
#include "engine/LinkOwner.h"
#include "engine/SlotLoop.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class PortResolver;

// One slot of the station: one port and its loop (see SlotLoop), on a
// DeviceLink of its own. The object is moved to the slot's thread and run()
// is called there; it returns only when the slot is stopped. Every step of
// the loop goes through SlotLoop::next; this object only carries out its
// actions on the port and the clock and reports what happens, through
// signals queued to whoever listens.
class Slot : public QObject, public LinkOwner
{
    Q_OBJECT

public:
    struct Setup
    {
        int index = 0;
        std::shared_ptr<const PortResolver> resolver;
        qint16 number = 1;        // the port's number for the resolver
        bool numberedPort = true; // the operator gave a number, not a device's name
        QByteArray image;         // what is sent, as read once at the start
        bool check = false;       // ask for the version after a pass
        // When set, every device gets an image of its own from here (its
        // number in it) in place of `image`.
        std::shared_ptr<DeviceImages> images;
    };

    // Takes every attempt that touched a device before it is reported (the
    // production log), on the slot's thread; returns why it could not be
    // kept, empty when it was.
    using Recorder = std::function<QString(const Attempt &attempt)>;

    Slot(Setup setup, Recorder recorder);

    // Runs the loop on the slot's thread until requestStop(); emits
    // finished() at the end, the port closed.
    void run();

    SlotLoop::State state() const { return m_position.state; }

signals:
    // The slot's state changed; `detail` says more in words: why the port
    // cannot be used, or the rate a device answered at.
    void stateChanged(int index, SlotLoop::State state, const QString &detail);
    void stepReached(int index, DeviceLink::Step step);
    void imageProgress(int index, qint64 sent, qint64 total);
    // One attempt at a device ended; `logError` is why its record was not
    // kept, empty when it was.
    void attemptEnded(int index, const Attempt &attempt, const QString &logError);
    // The device whose verdict was shown is gone: silent twice, or its port
    // went away (`portGone`).
    void deviceGone(int index, bool portGone);
    void finished(int index);

private:
    void carryOut(DeviceLink &link, SlotLoop::Action action);
    void feed(DeviceLink &link, SlotLoop::Event event, AttemptOutcome outcome = AttemptOutcome::Passed);
    void probeForDevice(DeviceLink &link);
    void flash(DeviceLink &link);
    void probeAtRate(DeviceLink &link);
    void setState(SlotLoop::State state, const QString &detail);

    Setup m_setup;
    Recorder m_recorder;
    SlotLoop::Position m_position;
    SlotLoop::Action m_pending = SlotLoop::Action::None;
    QString m_rate;     // the rate the last device answered at
    QString m_waitWhy;  // why the port could not be used, while it is waited for
    bool m_lastEventPortGone = false;
};

// Words for a failure that keeps a slot from its port: "no such port",
// "port in use by another program", and so on.
QString portTroubleWords(int number, const QString &description);
