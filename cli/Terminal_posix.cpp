#include "cli/Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool isLiveTerminal(std::FILE *out)
{
    return ::isatty(fileno(out)) == 1;
}

int terminalColumns(std::FILE *out)
{
    winsize size{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
