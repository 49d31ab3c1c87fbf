// SPDX-License-Identifier: MIT
#include "app/commandline.h"
#include "app/startup.h"

int main(int argc, char** argv) {
    if (wantsCommandLine(argc, argv))
        return runCommandLine(argc, argv);
    return app::run(argc, argv);
}
