// The shell's environment commands: setenv, unsetenv, printenv, saveenv.
#include "shell/env.h"

#include <cstdio>

#include "link/env.h"

int32_t env_print_all() {
    for (const env_entry& slot : env_table)
        if (slot.name != nullptr) std::printf("%s=%s\n", slot.name, slot.value);
    return 0;
}

int32_t do_setenv(int32_t argc, char** argv) {
    if (argc != 3) return -1;
    return env_set(argv[1], argv[2]);
}

int32_t do_unsetenv(int32_t argc, char** argv) {
    if (argc != 2) return -1;
    return env_unset(argv[1]);
}

int32_t do_printenv(int32_t argc, char** argv) {
    if (argc == 1) return env_print_all();
    if (argc == 2) {
        const env_entry* slot = env_find(argv[1]);
        if (slot == nullptr) return -1;
        std::printf("%s=%s\n", slot->name, slot->value);
    }
    return 0;
}

int32_t do_saveenv(int32_t argc, char** argv) {
    (void)argc;
    (void)argv;
    return env_save();
}
