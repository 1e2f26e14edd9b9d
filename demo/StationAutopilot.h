#pragma once

#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class StationWindow;

// The station window's road, walked by itself: the window opens set up and
// started on a fixture's ports, the autopilot waits until the fixture's
// devices have their verdicts, saves a screenshot, closes the window as the
// operator would, and checks that closing it stopped the station and that
// the counts and the production log say what the fixture did.
struct StationRoad
{
    QString ports;        // as the window's ports box takes them: "13"
    QString firmwarePath; // the firmware to send
    QString logPath;      // the production log to write and read back
    QDir screenshots;     // station.png goes here
    // The log's results in the order the devices came: "pass", "fail", ...
    QStringList expectedResults;
    int patienceSeconds = 180; // the longest wait for the verdicts
};

class StationAutopilot : public QObject
{
    Q_OBJECT

public:
    explicit StationAutopilot(StationRoad road);
    ~StationAutopilot() override;

    // Opens the window; once the road is over, ends the program with status
    // 0 when every step showed what it should, 1 otherwise.
    void start();

private:
    void poll();
    void finish();
    void fail(const QString &why);

    StationRoad m_road;
    std::unique_ptr<StationWindow> m_window;
    QTimer m_poll;
    QTimer m_deadline;
    QString m_lastShown;
};
