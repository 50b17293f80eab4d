// flint: flash programming over serial, USB and SWD.
#include <cstring>

#include "batch/options.h"
#include "link/env.h"
#include "platform/console.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
    con_init();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        print_version();
        return 0;
    }
    batch_records records{};
    if (!batch_records_create(&records, argv[0])) return -1;
    int32_t result = options_run(argc, argv, &records);
    options_end_run(&records);
    batch_records_release(&records);
    env_clear();
    return result;
}
