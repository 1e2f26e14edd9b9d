#pragma once

#include "engine/DeviceLink.h"
#include "serial/SerialControl.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <functional>

class PortResolver;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The connection window, "Download Tool": the operator types the port number
// and presses "Tessel Download", which probes the device at the five rates and
// hands over to the downloader window when the device answers.
class Form2 : public QWidget
{
    Q_OBJECT

public:
    explicit Form2(const PortResolver &resolver, QWidget *parent = nullptr);

    void Form_Load();
    void Form_Unload();
    void Text1_KeyUp();
    void Command1_Click();
    void TimeDelay(qint16 TimeSpan);

    // The port-number box's tool tip for its text `text`: the device the
    // number opens on this machine, that it opens none, or what to type.
    static QString portToolTip(const QString &text, const PortResolver &resolver);

    // The rates the probe tries, in the order it tries them.
    static inline const QStringList &Rates = DeviceLink::ProbeRates;

    QGroupBox *Frame1;
    QPushButton *Command1;
    QLineEdit *Text1;
    QLabel *Label1;
    QComboBox *Combo1;
    QLabel *Label2;

private:
    // The probe runs on this link; the members below are views of its parts.
    DeviceLink m_link;

public:
    QTimer &Timer1;
    SerialControl &MSComm1;
    qint16 &TickCount; // ticks of the running wait, 0 when none runs

    // What the last probe received; its waits end early while it reads "OK!".
    QByteArray &ProbeReply;

    // Called when the device answered the probe: the program opens the
    // downloader window on the port and at the rate the probe found.
    std::function<void()> HandOff;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    // The sentence an operator can act on for a port that could not be used.
    QString openFailureMessage(const Failure &failure);

    const PortResolver &m_resolver;
};
