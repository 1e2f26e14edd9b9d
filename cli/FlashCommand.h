#pragma once

// `tarvik-downloader flash ...`: flashes without a display, on as many ports
// as given, side by side. Creates its own QCoreApplication; returns the exit
// status. `argv[1]` is "flash".
int runFlashCommand(int argc, char *argv[]);
