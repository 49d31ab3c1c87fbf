// SPDX-License-Identifier: MIT
#pragma once

namespace puzzle {
struct PageChoice;
}

namespace app {

// The whole life of the desktop application: Main, finalize, then the end of the runtime, whose
// result is the exit status. With a `choice` (--window), the window writes that page and opens it
// once it is done; without, it is the window as it always was. A window that cannot reach a
// display ends the process with status 2 and one line on the error output.
int run(int& argc, char** argv, const puzzle::PageChoice* choice = nullptr);

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
