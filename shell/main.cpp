// flint: flash programming over serial, USB and SWD.
#include <cstring>

#include "batch/options.h"
#include "link/env.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "record/run_record.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
    con_init();
    plat_args_begin(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        print_version();
        return 0;
    }
    record_begin(argc, argv);
    batch_records records{};
    int32_t result = -1;
    if (batch_records_create(&records, argv[0])) {
        result = options_run(argc, argv, &records);
        options_end_run(&records);
        batch_records_release(&records);
    }
    env_clear();
    record_end(result);
    return result;
}
