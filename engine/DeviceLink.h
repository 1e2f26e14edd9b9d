#pragma once

#include "serial/SerialControl.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <optional>

class PortResolver;

// The link to one device on one port, and the three exchanges the program
// has with it: the probe for its rate, the download of an image and the query
// of its microcontroller's version. Both windows and the command line run
// their exchanges through a link of their own; none of them copies a step.
//
// A link lives on one thread and its exchanges run there, handling that
// thread's events while they wait, so several links on several threads run
// side by side without touching each other. Each link counts its own ticks.
//
// Exchanges throw Failure for a port that cannot be used and
// ExchangeInterrupted once a stop was requested; everything else they return.
class DeviceLink : public QObject
{
    Q_OBJECT

public:
    // What an exchange is doing, reported as it starts doing it.
    enum class Step {
        SendingCommands, // the download's commands, before the image
        SendingImage,    // the image is on the wire; imageProgress follows
        AwaitingVerdict, // the image has left; the device has 12 ticks to answer
        VersionNoAnswer, // the query's request got no byte back
        VersionAnswered, // the version byte is in; one more tick before it counts
    };
    Q_ENUM(Step)

    // The rates the probe tries, in the order it tries them.
    static const QStringList ProbeRates;

    struct ProbeResult
    {
        QByteArray reply;   // what the device sent after the last rate tried
        int rateIndex = -1; // the last rate tried, in the list probed; -1 when none was
        QString lastRate;   // the last rate tried
        // The device answered the probe; `rate` is the one it answered at.
        bool answered() const;
        QString rate() const;
    };

    explicit DeviceLink(const PortResolver &resolver, QObject *parent = nullptr);
    ~DeviceLink() override;

    SerialControl &serial() { return m_serial; }
    QTimer &timer() { return m_timer; }
    // The watched text: every wait ends early in the cycle in which it reads
    // exactly "OK!". While collecting, what the device sends is appended.
    QByteArray &received() { return m_received; }
    qint16 &tickCount() { return m_tickCount; }

    // Appends whatever arrives on a receive event to received().
    void setCollecting(bool collecting) { m_collecting = collecting; }

    // Opens the port `portNumber` resolves to, at the current settings.
    void open(qint16 portNumber);
    void close();

    // Opens `portNumber`, tries the rates in turn until a byte comes back or
    // every rate was tried, and closes the port again. Reports each rate
    // through rateTried before it is set.
    ProbeResult probe(qint16 portNumber, const QStringList &rates = ProbeRates);

    // On the open port: the download commands at the device's `rate`, the
    // image at 115200 baud, and the device's answer within 12 ticks of the
    // image's last byte. Returns what the device sent after the commands;
    // empty when the line stopped taking the image.
    QByteArray download(const QString &rate, const QByteArray &image);

    // On the open port: asks the device at its `rate` for its version byte.
    // Nothing received, nothing returned. What the device sends meanwhile is
    // read here and never appended to received(), and its waits do not end
    // on a reply that came before it (the "OK!" of the download just made).
    std::optional<quint8> queryVersion(const QString &rate);

    // Waits `ticks` ticks of 500 ms, ending early on "OK!" in received(), and
    // at once with the port's failure when the port fails meanwhile.
    void wait(qint16 ticks);

    // Safe from any thread: the running exchange ends at once with
    // ExchangeInterrupted, the port is closed, and every later wait and
    // write ends the same way until clearStop().
    void requestStop();
    void clearStop() { m_stop = false; }
    bool stopRequested() const { return m_stop; }

signals:
    void rateTried(int index, const QString &rate);
    void stepReached(DeviceLink::Step step);
    void imageProgress(qint64 sent, qint64 total);
    // The device's reply to an image, as it stood when its time was up.
    void replyReceived(const QByteArray &reply);

private:
    void Timer1_Timer();
    void MSComm1_OnComm();
    void waitWatching(qint16 ticks, const QByteArray &watched);

    SerialControl m_serial;
    QTimer m_timer;
    QByteArray m_received;
    qint16 m_tickCount = 0;
    bool m_collecting = false;
    bool m_sendingImage = false;
    std::atomic<bool> m_stop = false;
};
