#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// Turns the port number the operator typed into the device path to open.
// An empty result means the number names no serial port of this machine.
class PortResolver
{
public:
    virtual ~PortResolver() = default;
    virtual QString resolve(qint16 number) const = 0;
};

// The machine's own ports. On Windows number n is COM<n>, as Device Manager
// shows it (the roots are not used there). On Linux it is the first of
// /dev/COM<n> (an alias an administrator can make with a udev rule),
// /dev/ttyUSB<n-1>, /dev/ttyACM<n-1> and /dev/ttyS<n-1> that exists. Links are followed: one whose target is gone
// (an adapter unplugged) does not exist. A ttyS node counts only when the
// kernel does not report its port type as 0 (no UART behind it); a node
// without that report counts. `root` stands in for /dev and `sysfsRoot` for
// /sys/class/tty in tests.
class DevicePortResolver : public PortResolver
{
public:
    explicit DevicePortResolver(QString root = QStringLiteral("/dev"),
                                QString sysfsRoot = QStringLiteral("/sys/class/tty"));
    QString resolve(qint16 number) const override;

private:
    bool hasNoHardware(const QString &name) const;

    QString m_root;
    QString m_sysfsRoot;
};

// A fixed table of numbers and paths, for the simulated device.
class FixedPortResolver : public PortResolver
{
public:
    void assign(qint16 number, const QString &path);
    QString resolve(qint16 number) const override;

private:
    QHash<qint16, QString> m_paths;
};
