#pragma once

#include <QObject>

// The operator's ways of stopping a run of the command line: on Linux
// SIGINT (Ctrl+C), SIGTERM and SIGHUP (the terminal or the SSH session went
// away); on Windows Ctrl+C, Ctrl+Break, the console window closed and
// the system shutting down. (A user logging off is no stop on Windows: the
// event does not say whose session ends, and the operator's own logging off
// ends the program anyway.)
//
// The first of them emits stopRequested, once, in this object's thread. A
// second Ctrl+C (or SIGTERM, or Ctrl+Break) then ends the program at once,
// without its summary. A second hang-up is ignored: it often comes twice,
// and must not cut the ending short. Windows ends a program whose console
// closes as soon as the handler returns (and after a few seconds anyway),
// so that handler returns only with the program: the run stops, the ports
// are closed and the log lines written before the process ends.
//
// The handlers stay in place for the rest of the process; one object at a
// time receives them.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // False when the system refused a handler.
    bool installed() const { return m_installed; }

signals:
    void stopRequested();

private:
    // A handler reached this object's thread: the first time, the stop is
    // requested.
    void signalled();
    // From the first stop on, a second Ctrl+C ends the program and a second
    // hang-up is ignored.
    static void treatSecondStops();

    bool m_installed = false;
    bool m_stopped = false;
};
