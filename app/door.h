// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

namespace app {

// How a launch starts, read from its arguments alone, before anything of Qt's is made.
enum class Start {
    Window,       // no arguments of ours: the window as it always was
    ChosenWindow, // --window: the window, writing the page that the other options choose
    CommandLine,  // an option of the command line, or names to cut: a puzzle, an answer or a
                  // usage error, never the window
};

// The arguments as each side takes them. Both lists start with the program's name and end with
// a null, as argv does; they point into the argv they were read from.
struct Door {
    Start start = Start::Window;
    std::vector<char*> ours; // what the command line's parser reads
    std::vector<char*> qt;   // Qt's standard arguments (-platform, -style, -session, ...)

    int ourCount() const { return int(ours.size()) - 1; }
    int qtCount() const { return int(qt.size()) - 1; }
};

// Up to a "--", an argument is the command line's when it is one of its options (or such an
// option's value), and Qt's when it is any other that starts with a dash (with the value that
// Qt's option takes). Anything else is a name to cut, and so is everything after "--": names
// without an option of ours are the command line's, which says that --grid is missing, instead of
// a window that would leave them unused.
Door readDoor(int argc, char** argv);

} // namespace app
