// SPDX-License-Identifier: MIT
#include "app/commandline.h"
#include "app/door.h"
#include "app/startup.h"

#include <optional>

int main(int argc, char** argv) {
    app::Door door = app::readDoor(argc, argv);
    if (door.start == app::Start::CommandLine)
        return runCommandLine(door.ourCount(), door.ours.data());
    std::optional<puzzle::PageChoice> choice;
    if (door.start == app::Start::ChosenWindow) {
        choice.emplace();
        if (const int status = readWindowChoice(door.ourCount(), door.ours.data(), *choice);
            status != kStartWindow)
            return status;
    }
    int qtArgc = door.qtCount();
    return app::run(qtArgc, door.qt.data(), choice ? &*choice : nullptr);
}
