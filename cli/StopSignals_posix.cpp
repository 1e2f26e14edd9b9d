#include "cli/StopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The signal handler's only way to the event loop: a byte into a pipe that a
// socket notifier watches. The pipe lives as long as the handlers.
int s_signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    (void)!::write(s_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (s_signalPipe[0] < 0 && ::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGHUP: the SSH session or the terminal went away in the middle of a
    // gang; the devices on the bench still need their ports closed and their
    // log lines.
    m_installed = ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0
                  && ::sigaction(SIGHUP, &action, nullptr) == 0;
    if (!m_installed)
        return;
    auto *notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char drained[16];
        while (::read(s_signalPipe[0], drained, sizeof drained) > 0) {
        }
        signalled();
    });
}

StopSignals::~StopSignals() = default;

void StopSignals::treatSecondStops()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_IGN);
}
