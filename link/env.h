// The environment store: 256 named text variables of the process, saved to
// "diag.env". It sits at the bottom of flint's layers because the link reads
// DATA_SIZE_PER_PACKET at every open; the shell's commands that show and
// change it (setenv, printenv, ...) are in shell/env.h.
#pragma once
#include <cstdint>

constexpr int32_t ENV_SLOTS = 256;
constexpr uint32_t ENV_LINE_BYTES = 256;
// Characters of a file line, its line end not counted; a longer line is
// refused when the file is loaded.
constexpr uint32_t ENV_LINE_MAX = ENV_LINE_BYTES - 2;
extern const char* const ENV_FILE;  // "diag.env" in the working directory

struct env_entry {
    char* name;   // nullptr marks a free slot
    char* value;  // nullptr exactly when name is
};

extern env_entry env_table[ENV_SLOTS];

env_entry* env_find(const char* name);
int32_t env_set(const char* name, const char* value);
int32_t env_unset(const char* name);
void env_load();
int32_t env_save();
void env_clear();  // frees every slot
