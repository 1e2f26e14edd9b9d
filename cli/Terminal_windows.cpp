#include "cli/Terminal.h"

#include <io.h>
#include <windows.h>

namespace {

// The console behind `out`, or nullptr when it is no console (a pipe, a file,
// the null device, which _isatty also counts as a character device).
HANDLE consoleOf(std::FILE *out)
{
    const int descriptor = _fileno(out);
    if (descriptor < 0 || !_isatty(descriptor))
        return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

} // namespace

bool isLiveTerminal(std::FILE *out)
{
    const HANDLE console = consoleOf(out);
    if (!console)
        return false;
    // The live display moves the cursor with the terminal's escape
    // sequences, which a console takes once asked to (Windows 10 and later);
    // an older one gets the plain lines.
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode)
           && ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
               || ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

int terminalColumns(std::FILE *out)
{
    const HANDLE console = consoleOf(out);
    CONSOLE_SCREEN_BUFFER_INFO information{};
    if (console && ::GetConsoleScreenBufferInfo(console, &information)) {
        // The window's width, not the buffer's, which is often far wider.
        const int columns = information.srWindow.Right - information.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
    return 80;
}
