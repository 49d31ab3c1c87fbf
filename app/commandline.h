// SPDX-License-Identifier: MIT
#pragma once

#include "puzzle/request.h"

// Makes one puzzle folder from the command line, without a window or a display:
//   tilemaven --grid N [--solve-button] PICTURE FOLDER
// Returns the process exit status: 0 written, 1 failed, 2 bad usage.
int runCommandLine(int argc, char** argv);

// What readWindowChoice() gives when the window is to start.
inline constexpr int kStartWindow = -1;

// The page the window is to write, from --window and the page's options (Qt's own arguments left
// out): kStartWindow with `choice` filled, or the exit status of a bad usage, already reported.
int readWindowChoice(int argc, char** argv, puzzle::PageChoice& choice);
