// SPDX-License-Identifier: MIT
#include "app/door.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace app {
namespace {

// The command line's options as they may be written on it; those that take a value say so.
struct OwnOption {
    std::string_view name;
    bool takesValue;
};
constexpr OwnOption kOwnOptions[] = {
    {"--grid", true},      {"--page", true},          {"--title", true},
    {"--fit", true},       {"--solve-button", false}, {"--single-file", false},
    {"--window", false},   {"--help", false},         {"-h", false},
    {"--help-all", false}, {"--version", false},      {"-v", false},
};

// Options that answer a question, whatever else is asked.
constexpr std::string_view kQuestions[] = {"--help", "-h", "--help-all", "--version", "-v"};

// Qt's standard options that take the next argument as their value (QGuiApplication's,
// QApplication's and the X11 platform's), written with one dash or two.
constexpr std::string_view kQtValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",     "geometry",           "title",         "icon",   "name",
    "visual",
};

// The name of an option written as --name=value or -name=value.
std::string_view nameOf(std::string_view arg) {
    return arg.substr(0, arg.find('='));
}

const OwnOption* ownOption(std::string_view arg) {
    const std::string_view name = nameOf(arg);
    for (const OwnOption& own : kOwnOptions)
        if (own.name == name)
            return &own;
    return nullptr;
}

bool qtTakesValue(std::string_view arg) {
    if (arg.find('=') != std::string_view::npos)
        return false;
    arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
    return std::find(std::begin(kQtValueOptions), std::end(kQtValueOptions), arg) !=
           std::end(kQtValueOptions);
}

bool isOption(std::string_view arg) {
    return arg.size() > 1 && arg.front() == '-';
}

// What the arguments hold, read argument by argument.
struct Reading {
    bool question = false, window = false, otherOwn = false, names = false;

    void note(const OwnOption& own) {
        const bool isQuestion = std::find(std::begin(kQuestions), std::end(kQuestions), own.name) !=
                                std::end(kQuestions);
        question = question || isQuestion;
        window = window || own.name == "--window";
        otherOwn = otherOwn || (!isQuestion && own.name != "--window");
    }

    Start start() const {
        if (question || (otherOwn && !window))
            return Start::CommandLine;
        if (window)
            return Start::ChosenWindow;
        return names ? Start::CommandLine : Start::Window;
    }
};

} // namespace

Door readDoor(int argc, char** argv) {
    Door door;
    door.ours.push_back(argv[0]);
    door.qt.push_back(argv[0]);
    Reading reading;
    bool afterDashes = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        const bool dashes = !afterDashes && arg == "--";
        const OwnOption* own = afterDashes || dashes ? nullptr : ownOption(arg);
        if (!afterDashes && !dashes && !own && isOption(arg)) {
            door.qt.push_back(argv[i]);
            if (qtTakesValue(arg) && i + 1 < argc)
                door.qt.push_back(argv[++i]);
            continue;
        }
        door.ours.push_back(argv[i]);
        afterDashes = afterDashes || dashes;
        if (own) {
            reading.note(*own);
            // The value is the option's, even when it looks like an option or a name.
            if (own->takesValue && arg.find('=') == std::string_view::npos && i + 1 < argc)
                door.ours.push_back(argv[++i]);
        } else if (!dashes) {
            reading.names = true;
        }
    }

    door.start = reading.start();
    // Asked for by its own options, the command line reads every argument, so that one it does not
    // know is named rather than left to Qt.
    if (door.start == Start::CommandLine && (reading.question || reading.otherOwn))
        door.ours.assign(argv, argv + argc);
    door.ours.push_back(nullptr);
    door.qt.push_back(nullptr);
    return door;
}

} // namespace app
