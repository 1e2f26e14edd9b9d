#include "cli/StopSignals.h"

#include <QWinEventNotifier>

#include <atomic>

#include <windows.h>

namespace {

// The handler runs on a thread the system starts for it; its only way to the
// event loop is this event, which a notifier in the loop's thread watches.
// Both live as long as the handler.
HANDLE s_stopEvent = nullptr;
// Set once the event loop has taken the first stop.
std::atomic<bool> s_stopped{false};

BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // A second one is left to the system's own handler, which ends the
        // program at once.
        if (s_stopped)
            return FALSE;
        ::SetEvent(s_stopEvent);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The console is going (or the whole system): Windows ends the
        // process as soon as this returns. Returning only with the process
        // lets the run stop as after Ctrl+C, close its ports and write its
        // log lines; Windows' own time limit still ends a run that cannot.
        ::SetEvent(s_stopEvent);
        ::Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (!s_stopEvent) {
        s_stopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!s_stopEvent)
            return;
        // A program started in a new process group begins with Ctrl+C
        // ignored; the operator's Ctrl+C stops a run all the same, as a
        // SIGINT does on Linux whatever the shell left it at.
        ::SetConsoleCtrlHandler(nullptr, FALSE);
        if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
            ::CloseHandle(s_stopEvent);
            s_stopEvent = nullptr;
            return;
        }
    }
    m_installed = true;
    auto *notifier = new QWinEventNotifier(s_stopEvent, this);
    connect(notifier, &QWinEventNotifier::activated, this, &StopSignals::signalled);
}

StopSignals::~StopSignals() = default;

void StopSignals::treatSecondStops()
{
    s_stopped = true;
}
