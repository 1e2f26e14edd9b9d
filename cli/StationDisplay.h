#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class Station;

// What the operator sees of a station without a window. On a terminal: a
// header (the firmware file, its digest, the station's counts) and one line
// per slot (its state, the image's progress while it is sent, the last
// verdict and the slot's counts), redrawn in place a few times a second.
// Otherwise (a pipe, a file, a log collector): one plain line per event, a
// device found, a verdict, a device gone, a port gone or back, and never a
// carriage return.
class StationDisplay : public QObject
{
    Q_OBJECT

public:
    StationDisplay(const Station &station, bool live, std::FILE *out, QObject *parent = nullptr);

    // The last redraw, before the summary takes over the terminal.
    void stop();

    // Printed when the station has stopped: each slot's counts, then the
    // station's.
    static QString summary(const Station &station);
    // The header's first lines: the file, its digest, and a warning when the
    // file on disk has changed since it was read.
    static QStringList headerLines(const Station &station);
    // One slot's line on the terminal.
    static QString slotLine(const Station &station, int index, int labelWidth);

private:
    void redraw();
    void plain(int index, const QString &text);
    void plainEvent(const QString &text);

    const Station &m_station;
    bool m_live;
    std::FILE *m_out;
    int m_drawnLines = 0;
    bool m_dirty = false;
    QTimer m_redraw;
    int m_labelWidth = 0;
};
