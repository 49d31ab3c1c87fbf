// SPDX-License-Identifier: MIT
#pragma once

// Makes one puzzle folder from the command line, without a window or a display:
//   tilemaven --grid N [--solve-button] PICTURE FOLDER
// Returns the process exit status: 0 written, 1 failed, 2 bad usage.
int runCommandLine(int argc, char** argv);

// Whether the arguments ask for the command line: one of its own options stands among them (before
// a "--"). Anything else, Qt's standard arguments such as -platform, -style or the session
// manager's -session included, is the desktop application's.
bool wantsCommandLine(int argc, char** argv);
