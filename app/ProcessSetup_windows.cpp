#include "app/ProcessSetup.h"

#include <windows.h>

// Nothing to do on Windows. Files are opened as handles, never as the C
// runtime's numbered descriptors, so a missing standard output cannot hand
// its number to the production log as it can on Linux: printing to it only
// fails. A reader that goes away, or a full disk, is a failed write there
// already; no signal ends the program for it.
void setUpProcess() {}

void letOwnConsoleGo()
{
    // A console shared with no other process (a command prompt, a script)
    // was made for this program alone.
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) == 1)
        ::FreeConsole();
}

// A Windows session always has a desktop to show a window on; a service or
// a console over SSH is not where an operator stands.
bool displayAvailable()
{
    return true;
}
