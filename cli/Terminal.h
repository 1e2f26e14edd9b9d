#pragma once

#include <cstdio>

// The operator's terminal, for the live display.

// True when `out` is a terminal that takes the live display's cursor
// movements (on Windows a console, switched to take them); false for a pipe,
// a file, or a console too old to move the cursor that way.
bool isLiveTerminal(std::FILE *out);

// The terminal's width in columns; 80 when it does not say.
int terminalColumns(std::FILE *out);
