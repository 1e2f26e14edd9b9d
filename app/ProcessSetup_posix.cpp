#include "app/ProcessSetup.h"

#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A program started with standard output or error closed (`>&-`) would get
// the production log as descriptor 1 or 2, and print its summary into it.
void keepStandardDescriptorsTaken()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) < 0) {
            const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != descriptor) {
                ::dup2(opened, descriptor);
                ::close(opened);
            }
        }
    }
}

} // namespace

void setUpProcess()
{
    keepStandardDescriptorsTaken();
    // A reader of the output that goes away (`| head -1`), or a log that is a
    // pipe whose collector ended, or a file size limit, is a failed write the
    // program reports, never a signal that ends it while a device takes its
    // image.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void letOwnConsoleGo() {}

bool displayAvailable()
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}
