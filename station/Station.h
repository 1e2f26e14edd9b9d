#pragma once

#include "engine/Attempt.h"
#include "engine/DeviceLink.h"
#include "engine/SlotLoop.h"
#include "log/ProductionLog.h"
#include "station/StationCounts.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class PortResolver;
class QThread;
class Slot;
class StationNumbers;

// The production log's record of an attempt on the port the operator named
// `port`, with the firmware it sent.
AttemptRecord attemptRecord(const Attempt &attempt, const QString &port, const QString &firmwarePath,
                            const QByteArray &firmwareSha256);

// One port of the station, as the operator named it.
struct StationPort
{
    QString label;        // "3", "/dev/ttyUSB0", "COM17": as given
    qint16 number = 0;    // 1 to 16 for a port given by number; 0 for a device's name
    QString openablePath; // for a device's name: the path to open
};

// The firmware a station sends, read once at its start.
struct StationFirmware
{
    QString path; // absolute
    QByteArray image;
    QByteArray sha256; // hex, of the file's bytes as read
};

// What a slot is doing, for the views.
struct SlotView
{
    StationPort port;
    QString devicePath;
    SlotLoop::State state = SlotLoop::State::Idle;
    QString detail;                 // why the port waits, or the rate found
    std::optional<DeviceLink::Step> step; // while flashing
    qint64 sent = 0;
    qint64 total = 0;
    std::optional<Attempt> last; // the last attempt's verdict
    QString lastNumberUsed;      // the number of the last device that passed with one
    QString lastLogError;
    bool lastFromChangedFile = false; // the file on disk had changed by the last verdict
    StationCounts counts;
};

// The station: one slot per port, each on a thread of its own, each waiting
// for a device, flashing it, showing its verdict until it is gone and
// waiting for the next, until stopped. Every attempt is written to the
// production log on its slot's thread before it is counted, and the counts
// are made from those same reports, so the counts and the log cannot
// disagree. The firmware is read once: what is sent is what was read, and a
// file changed on the disk meanwhile is noticed and reported, never sent.
//
// Lives on the thread that made it (the views' thread); its signals are
// emitted there.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(QList<StationPort> ports, StationFirmware firmware, bool check, ProductionLog *log,
            QObject *parent = nullptr);
    ~Station() override;

    // Every device gets a number of its own from `numbers`; before start().
    void setNumbers(std::shared_ptr<StationNumbers> numbers) { m_numbers = std::move(numbers); }
    StationNumbers *numbers() const { return m_numbers.get(); }

    // Starts every slot. Once only.
    void start();
    // Stops every slot at once and returns when all have stopped, their
    // ports closed and their interrupted attempts logged.
    void stop();
    bool running() const { return m_running; }

    const QList<SlotView> &slotViews() const { return m_views; }
    StationCounts counts() const;
    const StationFirmware &firmware() const { return m_firmware; }
    // The firmware file on disk is no longer the one read at the start.
    bool fileChanged() const { return m_fileChanged; }
    bool checksVersion() const { return m_check; }

signals:
    void slotChanged(int index);
    // A device answered at a rate: the slot starts flashing it.
    void deviceFound(int index, const QString &rate);
    void verdict(int index);
    void deviceGone(int index, bool portGone);
    void portTrouble(int index, const QString &why);
    void portBack(int index);
    void countsChanged();
    void fileChangedOnDisk();
    void stopped();

private:
    void onStateChanged(int index, SlotLoop::State state, const QString &detail);
    void onAttemptEnded(int index, const Attempt &attempt, const QString &logError);
    void checkFileOnDisk();
    QString record(int index, const Attempt &attempt);

    QList<StationPort> m_ports;
    StationFirmware m_firmware;
    bool m_check = false;
    ProductionLog *m_log = nullptr;
    std::shared_ptr<StationNumbers> m_numbers;
    QList<SlotView> m_views;
    std::vector<std::unique_ptr<QThread>> m_threads;
    std::vector<std::unique_ptr<Slot>> m_slots;
    bool m_running = false;
    int m_runningSlots = 0;
    bool m_fileChanged = false;
    QTimer m_fileWatch;
    qint64 m_fileSize = -1;
    QDateTime m_fileModified;
};
