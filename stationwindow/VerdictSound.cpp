#include "stationwindow/VerdictSound.h"

#include <QApplication>

namespace {

// Far enough apart to be heard as three beeps, close enough to be one signal.
constexpr int FailBeepGapMs = 160;
constexpr int FailBeeps = 3;

} // namespace

VerdictSound::VerdictSound(QObject *parent)
    : QObject(parent)
{
    m_next.setInterval(FailBeepGapMs);
    connect(&m_next, &QTimer::timeout, this, [this] {
        beep();
        if (m_left == 0)
            m_next.stop();
    });
}

void VerdictSound::setMuted(bool muted)
{
    m_muted = muted;
    if (muted) {
        m_next.stop();
        m_left = 0;
    }
}

void VerdictSound::play(bool passed)
{
    if (m_muted)
        return;
    m_left = passed ? 1 : FailBeeps;
    beep();
    if (m_left > 0)
        m_next.start();
    else
        m_next.stop();
}

void VerdictSound::beep()
{
    if (m_left <= 0)
        return;
    --m_left;
    QApplication::beep();
    emit beeped();
}
