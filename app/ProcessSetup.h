#pragma once

// What the process needs from the system before anything else runs, the
// command line and the windows alike.
void setUpProcess();

// Just before the windows open. A console program started from Explorer on
// Windows gets a console window of its own, which would stand empty behind
// the windows for as long as they are open: it is let go. A console the
// program was started from stays, and so does everything on Linux.
void letOwnConsoleGo();
