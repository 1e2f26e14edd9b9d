#pragma once

#include "cli/PortResult.h"
#include "engine/DeviceLink.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

// What the operator sees while the ports run. On a terminal: one line per
// port, redrawn in place a few times a second. Otherwise (a pipe, a file, a
// log collector): one plain line each time a port finishes a step, and never
// a carriage return.
class FlashDisplay : public QObject
{
    Q_OBJECT

public:
    FlashDisplay(const QList<PortSpec> &ports, bool live, std::FILE *out, QObject *parent = nullptr);

    void rateTried(int index, const QString &rate);
    void stepReached(int index, DeviceLink::Step step, const QString &devicePath, const QString &rate);
    void imageProgress(int index, qint64 sent, qint64 total);
    void finished(int index, const PortResult &result);
    // The last redraw, before the summary takes over the terminal.
    void stop();

    // The table printed at the end, one row per port.
    static QString summary(const QList<PortResult> &results);
    // A port or a device path on the operator's screen: a control character
    // in it (a newline, an escape sequence) is shown escaped, as in the reply
    // column, so that it cannot break a line or steer the terminal.
    static QString shownPath(const QString &path);

private:
    struct Line
    {
        QString state;
        QString devicePath;
        QString rate;
        qint64 sent = -1;
        qint64 total = 0;
        bool done = false;
    };

    QString render(const Line &line, int index) const;
    void changed(int index);
    void redraw();
    void plain(int index, const QString &text);

    QList<PortSpec> m_ports;
    QList<Line> m_lines;
    bool m_live;
    std::FILE *m_out;
    bool m_drawn = false;
    bool m_dirty = false;
    QTimer m_redraw;
    int m_labelWidth = 0;
};
