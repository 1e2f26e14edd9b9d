#pragma once

#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class Program;
class QWidget;

// What the autopilot knows of the device it drives: its own line rate, its
// version byte and, when the device is in this process, how many images it
// has accepted.
struct AutopilotDevice
{
    qint16 portNumber = 1;
    qint32 ownRate = 9600;
    int version = 17;
    std::function<int()> imagesAccepted; // empty: not known here
};

// Drives the demo through the operator's typical road with real clicks and
// key presses: port number, "Tessel Download", "Open File" with the example
// firmware, "Download Flash", "Check". After every step it prints what an
// operator would read on the screen, saves a screenshot, and checks it.
class Autopilot : public QObject
{
    Q_OBJECT

public:
    Autopilot(Program &program, AutopilotDevice device, QString firmwarePath, QDir screenshots);

    // Runs the road once the event loop runs; ends the program with status 0
    // when every step showed what it should, 1 otherwise.
    void start();

private:
    void run();
    // Prints the step's outcome, saves `window` as <name>.png and records
    // whether the step showed what it should.
    void report(const QString &name, QWidget *window, const QString &seen, bool ok);
    void answerMessageBoxes();

    Program &m_program;
    AutopilotDevice m_device;
    QString m_firmwarePath;
    QDir m_screenshots;
    QStringList m_messages;
    bool m_allOk = true;
};
