// The environment: 256 named text variables, saved to "diag.env".
#pragma once
#include <cstdint>

constexpr int32_t ENV_SLOTS = 256;
constexpr uint32_t ENV_LINE_BYTES = 256;
extern const char* const ENV_FILE;  // "diag.env" in the working directory

struct env_entry {
    char* name;   // nullptr marks a free slot
    char* value;  // nullptr exactly when name is
};

extern env_entry env_table[ENV_SLOTS];

env_entry* env_find(const char* name);
int32_t env_set(const char* name, const char* value);
int32_t env_unset(const char* name);
int32_t env_print_all();
void env_load();
int32_t env_save();
void env_clear();  // frees every slot

int32_t do_setenv(int32_t argc, char** argv);
int32_t do_saveenv(int32_t argc, char** argv);
int32_t do_unsetenv(int32_t argc, char** argv);
int32_t do_printenv(int32_t argc, char** argv);
