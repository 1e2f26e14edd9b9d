#pragma once

#include "engine/DeviceLink.h"
#include "log/ProductionLog.h"
#include "serial/SerialControl.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QWidget>


#include <array>
#include <functional>

class PortResolver;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

// The downloader window, "Tarvik Downloader": load a firmware file, send it to
// device after device, and read the microcontroller's version.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(const PortResolver &resolver, QWidget *parent = nullptr);

    void Form_Load();
    void Form_Unload();
    void Command2_Click();
    void Command3_Click();
    void Command7_Click();
    void TimeDelay(qint16 TimeSpan);
    void process();

    // "Open File" after the dialog: reads the chosen file, checks its marker
    // line and shows the outcome. No path or an unreadable file changes
    // nothing but emptying FileText.
    void loadFirmwareFile(const QString &path);

    QPushButton *Command2; // "Open File"
    QPushButton *Command3; // "Download Flash"
    QPushButton *Command7; // "Check"
    std::array<QLabel *, 2> Label3; // file-check and download-result indicators
    QLabel *Label4;
    QLabel *Label5;
    QLabel *Label2;
    QGroupBox *Frame2;
    QGroupBox *Frame3;
    // Under the prompt, only while the image is on the wire: its share that
    // has left the port.
    QProgressBar *ImageProgress;

    // Called after each download and each version query with what the
    // production log keeps of it, also when the exchange ends with the window
    // closed or the port lost; unset when no log is kept.
    std::function<void(const AttemptRecord &)> AttemptLogged;

private:
    // The exchanges run on this link; the members below are views of its parts.
    DeviceLink m_link;

public:
    QTimer &Timer1;
    SerialControl &MSComm1;
    qint16 &TickCount; // ticks of the running wait, 0 when none runs

    QByteArray FileText;  // the image as it is sent: every line followed by CR
    QString Pending;      // "?" while a download waits for its verdict
    QByteArray &RxBuffer; // everything received since it was last cleared

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildLayout();
    void showResult(QLabel *indicator, bool passed);
    AttemptRecord attemptRecord(const QDateTime &started) const;

    QString m_firmwarePath; // of the loaded image, for the log
    QByteArray m_firmwareSha256;
    qint64 m_bytesSent = 0; // of the last image sent

};
