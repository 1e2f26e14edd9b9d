#include "demo/StationAutopilot.h"

#include "app/StationLaunch.h"
#include "station/Station.h"
#include "stationwindow/SlotTile.h"
#include "stationwindow/StationWindow.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QWindow>

#include <cstdio>

namespace {

// Every attempt the station has judged or cut short.
int attemptsOf(const StationCounts &counts)
{
    return counts.passed + counts.noAnswer + counts.refused + counts.portLost + counts.portTrouble + counts.interrupted;
}

// One line of the production log split at its commas; a field in quotes may
// hold commas and doubled quotes.
QStringList csvFields(const QString &line)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < line.size() && line.at(i + 1) == u'"') {
                field += c;
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
}

// The log's `result` column, line after line; why not, in `error`.
QStringList loggedResults(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot read the log %1: %2").arg(path, file.errorString());
        return {};
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    if (lines.isEmpty()) {
        error = QStringLiteral("the log %1 is empty").arg(path);
        return {};
    }
    const qsizetype column = csvFields(lines.first()).indexOf(QStringLiteral("result"));
    if (column < 0) {
        error = QStringLiteral("the log's header has no result column");
        return {};
    }
    QStringList results;
    for (qsizetype i = 1; i < lines.size(); ++i)
        results << csvFields(lines.at(i)).value(column);
    return results;
}

} // namespace

StationAutopilot::StationAutopilot(StationRoad road)
    : m_road(std::move(road))
{}

StationAutopilot::~StationAutopilot() = default;

void StationAutopilot::start()
{
    m_road.screenshots.mkpath(QStringLiteral("."));
    // The road ends with the window closed; the program ends when the checks
    // after it are done, not when its last window goes.
    QApplication::setQuitOnLastWindowClosed(false);
    StationWindowSetup setup = emptyStationSetup();
    setup.ports = m_road.ports;
    setup.firmwarePath = m_road.firmwarePath;
    setup.logPath = m_road.logPath;
    setup.startAtOnce = true;
    m_window = std::make_unique<StationWindow>(std::move(setup));
    m_window->show();
    std::printf("Station window on port %s, firmware %s\n", qPrintable(m_road.ports), qPrintable(m_road.firmwarePath));
    std::fflush(stdout);

    connect(&m_poll, &QTimer::timeout, this, &StationAutopilot::poll);
    m_poll.start(100);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("after %1 s the station has not judged %2 devices")
                 .arg(m_road.patienceSeconds)
                 .arg(m_road.expectedResults.size()));
    });
    m_deadline.start(m_road.patienceSeconds * 1000);
}

void StationAutopilot::poll()
{
    const Station *station = m_window->station();
    // What the operator reads: the header's counts and message, each tile's
    // state and verdict. Printed when it changes.
    QString shown = station ? station->counts().summary() : QStringLiteral("not started");
    if (!m_window->message().isEmpty())
        shown += QStringLiteral(" | ") + m_window->message();
    for (const SlotTile *tile : m_window->tiles()) {
        shown += QStringLiteral(" | ") + tile->stateText();
        if (!tile->verdictText().isEmpty())
            shown += QStringLiteral(", ") + tile->verdictText();
    }
    if (shown != m_lastShown) {
        m_lastShown = shown;
        std::printf("   %s\n", qPrintable(shown));
        std::fflush(stdout);
    }
    if (station && attemptsOf(station->counts()) >= m_road.expectedResults.size())
        finish();
}

void StationAutopilot::finish()
{
    m_poll.stop();
    m_deadline.stop();
    QStringList problems;

    const QWindow *handle = m_window->windowHandle();
    if (!handle || !handle->handle())
        problems << QStringLiteral("the window is on no screen");
    // The header's boxes: what the station runs on, fixed while it runs.
    for (const QLineEdit *box : m_window->findChildren<QLineEdit *>()) {
        if (!box->objectName().isEmpty())
            std::printf("   %s: \"%s\"%s\n", qPrintable(box->objectName()), qPrintable(box->text()),
                        box->isReadOnly() ? " (read-only)" : "");
    }
    const QString file = m_road.screenshots.filePath(QStringLiteral("station.png"));
    if (!m_window->grab().save(file))
        problems << QStringLiteral("cannot save %1").arg(file);

    // Closed as the operator closes it: every slot stopped, every port
    // closed, nothing left in the middle of an image.
    m_window->close();
    if (m_window->running())
        problems << QStringLiteral("closing the window left the station running");
    const StationCounts counts = m_window->station()->counts();
    std::printf("   closed: %s\n", qPrintable(counts.summary()));
    const int passes = int(m_road.expectedResults.count(QStringLiteral("pass")));
    const int fails = int(m_road.expectedResults.count(QStringLiteral("fail")));
    if (counts.passed != passes || counts.failed() != fails || attemptsOf(counts) != m_road.expectedResults.size())
        problems << QStringLiteral("the counts are not %1 passed, %2 failed").arg(passes).arg(fails);
    if (counts.logLinesLost > 0)
        problems << QStringLiteral("%1 log lines lost").arg(counts.logLinesLost);

    QString error;
    const QStringList results = loggedResults(m_road.logPath, error);
    if (!error.isEmpty())
        problems << error;
    else if (results != m_road.expectedResults)
        problems << QStringLiteral("the log's results are %1, not %2")
                        .arg(results.join(u' '), m_road.expectedResults.join(u' '));
    std::printf("   the log: %s\n", qPrintable(results.join(u' ')));

    if (!problems.isEmpty()) {
        fail(problems.join(QStringLiteral("; ")));
        return;
    }
    std::printf("Station road: OK, screenshot %s\n", qPrintable(file));
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

void StationAutopilot::fail(const QString &why)
{
    m_poll.stop();
    m_deadline.stop();
    std::printf("Station road: FAILED: %s\n", qPrintable(why));
    std::fflush(stdout);
    if (m_window)
        m_window->close();
    QCoreApplication::exit(1);
}
