#include "base/Guard.h"

#include <cstdio>
#include <cstdlib>

namespace Guard {

namespace {
DefaultHandling s_handling = nullptr;
}

void setDefaultHandling(DefaultHandling handling)
{
    s_handling = handling;
}

void reportUnhandled(int number, const QString &description)
{
    if (s_handling) {
        s_handling(number, description);
        return;
    }
    std::fprintf(stderr, "tarvik-downloader: failure %d: %s\n", number, qPrintable(description));
    std::exit(1);
}

void endAtOnce() noexcept
{
    std::fputs("tarvik-downloader: cannot report a failure; ending\n", stderr);
    std::_Exit(1);
}

} // namespace Guard
