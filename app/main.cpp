#include "commandline.h"
#include "startup.h"

int main(int argc, char** argv) {
    if (wantsCommandLine(argc, argv))
        return runCommandLine(argc, argv);
    return app::run(argc, argv);
}
