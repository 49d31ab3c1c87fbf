// SPDX-License-Identifier: MIT
#pragma once

namespace app {

// The whole life of the desktop application: Main, finalize, then the end of the runtime, whose
// result is the exit status.
int run(int& argc, char** argv);

// Start-up and the event loop; returns 0.
int Main(int& argc, char** argv);
void InitFileTypes();
void NewAppInstance(int& argc, char** argv);
void ApplicationAddMenuHandlers();
void MakeDefaultView();
// After the event loop: the windows, the file types, then the menu bar.
void finalize();
// Deletes the application object; gives the status the event loop ended with.
int endRuntime();

} // namespace app
