#include "cli/StopSignals.h"

void StopSignals::signalled()
{
    if (m_stopped)
        return;
    m_stopped = true;
    treatSecondStops();
    emit stopRequested();
}
