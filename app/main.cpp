#include "startup.h"

#ifdef TILEMAVEN_HAS_COMMAND_LINE
#include "commandline.h"
#endif

int main(int argc, char** argv) {
#ifdef TILEMAVEN_HAS_COMMAND_LINE
    if (argc > 1)
        return runCommandLine(argc, argv);
#endif
    return app::run(argc, argv);
}
