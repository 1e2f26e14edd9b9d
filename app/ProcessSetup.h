#pragma once

// What the process needs from the system before anything else runs, the
// command line and the windows alike.
void setUpProcess();

// Just before the windows open. A console program started from Explorer on
// Windows gets a console window of its own, which would stand empty behind
// the windows for as long as they are open: it is let go. A console the
// program was started from stays, and so does everything on Linux.
void letOwnConsoleGo();

// Whether a window can be shown: `tarvik-downloader station` opens the
// station window when it can and runs in the terminal when it cannot. On
// Linux a display is there when DISPLAY or WAYLAND_DISPLAY names one, or
// QT_QPA_PLATFORM chooses Qt's platform (offscreen, a framebuffer); over SSH
// without X forwarding none of them is set. On Windows there is always one.
bool displayAvailable();
