// flint: flash programming over serial, USB and SWD.
#include <cstring>

#include "batch/options.h"
#include "platform/console.h"
#include "link/env.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
    con_init();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        print_version();
        return 0;
    }
    int32_t result = options_run(argc, argv);
    env_clear();
    return result;
}
