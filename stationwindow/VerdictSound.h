#pragma once

#include <QObject>
#include <QTimer>

// The short sound on each verdict, so an operator whose eyes are on the
// fixture hears a slot finish. Qt Widgets offers only the system's beep (a
// sound of its own would need Qt Multimedia and the media libraries under
// it), so the two verdicts differ by count: one beep for a pass, three in
// quick succession for a fail. Muted, it plays nothing.
class VerdictSound : public QObject
{
    Q_OBJECT

public:
    explicit VerdictSound(QObject *parent = nullptr);

    void setMuted(bool muted);
    bool muted() const { return m_muted; }

    // One beep for a pass, three for a fail. A verdict that comes while the
    // last one's beeps still play replaces them: a station with many slots
    // never queues a long string of beeps.
    void play(bool passed);

signals:
    // Each beep as it is given, for the tests.
    void beeped();

private:
    void beep();

    QTimer m_next;
    int m_left = 0;
    bool m_muted = false;
};
