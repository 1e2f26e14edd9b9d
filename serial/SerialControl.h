#pragma once

#include "base/Failure.h"
#include "serial/SerialLine.h"
#include "serial/SerialSettings.h"

#include <QByteArray>
#include <QObject>

#include <memory>
#include <optional>

class PortResolver;

// Error numbers of the serial layer.
namespace SerialError {
constexpr int InvalidPortNumber = 8002; // the number names no serial port of this machine
constexpr int PortInUse = 8005;         // already open here, or held by another program
constexpr int NoPermission = 8006;      // the user may not open the device
constexpr int NotASerialPort = 8008;    // the path names a file, a folder, a FIFO or a device that is no tty
constexpr int PortGone = 8010;          // the device node is there but its device is not (EIO, ENXIO)
constexpr int OpenFailed = 8011;        // the port could not be opened for another reason of the system's
constexpr int PortNotOpen = 8012;       // an operation that needs the open port
constexpr int SettingsRefused = 8015;   // the port would not take the line settings
constexpr int PortFailed = 8020;        // the port failed while in use (device unplugged)
constexpr int WriteFailed = 8021;       // the port refused the text
constexpr int WriteStalled = 8022;      // the line stopped taking bytes in the middle of a text
} // namespace SerialError

// One window's serial-port control. Its members are the operations the
// windows use; text on the wire is bytes and is never re-encoded.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    enum : qint16 { SendEvent = 1, ReceiveEvent = 2 };

    explicit SerialControl(const PortResolver &resolver, QObject *parent = nullptr);
    ~SerialControl() override;

    void setCommPort(qint16 number);
    qint16 CommPort() const { return m_commPort; }

    // true: opens the port on CommPort with the current settings, exclusively.
    // false: closes it; never fails.
    void setPortOpen(bool open);
    // A port that failed while open stays open to its user, with the
    // failure, until closed: its descriptor is let go at once (a hung-up tty
    // reads as ready for ever), and the next operation reports the failure.
    bool PortOpen() const { return m_line->isOpen() || m_failure.has_value(); }

    // Throws the failure of the open port, if it has one.
    void throwIfFailed() const;

    void setSettings(const QString &settings);
    QString Settings() const { return m_settingsText; }

    // Sends every byte in order, nothing added, and returns once the text has
    // left the port: the system has taken every byte and the text's time on
    // the wire at the current rate has passed. Handles events meanwhile, like
    // a wait, and reports the share that has left through outputProgress.
    // Throws ExchangeInterrupted when the port is closed meanwhile. When no
    // byte leaves for StallLimitMs, discards what is still queued and throws
    // a WriteStalled failure.
    void Output(const QByteArray &text);

    // Twelve ticks of 500 ms, the time a device has to answer an image: a line
    // that takes no byte for as long as that is not going to take the rest.
    static constexpr qint64 StallLimitMs = 12 * 500;

    qint16 InBufferCount();
    QByteArray Input();

    void setInputMode(int mode) { m_inputMode = mode; }
    int InputMode() const { return m_inputMode; }

    // 0: no receive events; 1: a receive event whenever data is waiting.
    void setRThreshold(qint16 threshold);
    qint16 RThreshold() const { return m_rThreshold; }

    qint16 CommEvent() const { return m_commEvent; }

    // Raises OnComm for the given reason.
    void raiseCommEvent(qint16 event);

    // The device path the last open resolved the port number to.
    QString devicePath() const { return m_devicePath; }

signals:
    void OnComm();
    // During Output: how many of the text's bytes have left the port, by the
    // line's wire time, rising to `total` before Output returns.
    void outputProgress(qint64 sent, qint64 total);

private:
    void requireUsable();
    void applySettings();
    void onReadyRead();
    // Records that the open port failed and lets its descriptor go.
    void recordFailure();

    const PortResolver &m_resolver;
    std::unique_ptr<SerialLine> m_line;
    qint16 m_commPort = 1;
    QString m_devicePath;
    SerialSettings m_settings;
    QString m_settingsText = QStringLiteral("9600,n,8,1");
    int m_inputMode = 0;
    qint16 m_rThreshold = 1;
    qint16 m_commEvent = 0;
    // A failure of the open port that came while no operation ran (the cable
    // pulled during a wait); the next operation fails with it.
    std::optional<Failure> m_failure;
};
