#pragma once

// Makes one puzzle folder from the command line, without a window or a display:
//   tilemaven --grid N [--solve-button] PICTURE FOLDER
// Returns the process exit status: 0 written, 1 failed, 2 bad usage.
int runCommandLine(int argc, char** argv);
