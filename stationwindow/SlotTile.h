#pragma once

#include "station/Station.h"

#include <QColor>
#include <QFrame>
#include <QString>

class QLabel;
class QProgressBar;
class QStackedWidget;

// One slot of the station window: its port and device path, its state in
// words, the image's progress while it is on the wire, and the last verdict,
// large and coloured while the device is still in the slot, smaller once it
// has been taken away, with the version and the slot's counts. Colour is
// never the only signal: every verdict is also in words, and the tile's
// accessible description tells a screen reader the whole of it. The tile
// takes the keyboard focus, so a screen reader user can walk the slots.
class SlotTile : public QFrame
{
    Q_OBJECT

public:
    explicit SlotTile(QWidget *parent = nullptr);

    // Shows `view`; `check` tells whether versions are asked.
    void display(const SlotView &view, bool check);

    // The state in words: "waiting for a device", "found at 38400 baud",
    // "sending", "remove the device", "no such port", ...
    static QString stateWords(const SlotView &view);
    // The port as the operator named it: "Port 3", or the device's name.
    static QString portWords(const StationPort &port);

    // What the tile shows, for the tests and the screenshots.
    QString stateText() const;
    QString verdictText() const;  // the large verdict; empty when none is shown
    QColor verdictColour() const; // the large verdict's background
    QString lastText() const;
    bool progressShown() const;
    int progressPercent() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void showVerdict(const SlotView &view);
    void fitNames();
    QString devicePathOf(const SlotView &view);

    QLabel *m_port = nullptr;
    QLabel *m_path = nullptr;
    QLabel *m_state = nullptr;
    QStackedWidget *m_middle = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_verdict = nullptr;
    QLabel *m_last = nullptr;
    QLabel *m_counts = nullptr;
    QString m_portName; // in full; the labels show what fits
    QString m_pathName;
    SlotLoop::State m_resolvedIn = SlotLoop::State::Stopped;
    QString m_resolvedPath;
};
