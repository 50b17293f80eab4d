// The environment store and its file "diag.env".
#include "link/env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

const char* const ENV_FILE = "diag.env";

env_entry env_table[ENV_SLOTS];

namespace {

char* copy_text(const char* text, size_t cap) {
    size_t len = std::strlen(text);
    if (cap < len + 1) cap = len + 1;
    char* copy = static_cast<char*>(std::calloc(cap, 1));
    if (copy != nullptr) std::memcpy(copy, text, len);
    return copy;
}

void free_slot(env_entry& slot) {
    std::free(slot.name);
    std::free(slot.value);
    slot.name = nullptr;
    slot.value = nullptr;
}

// Drops the line end a file line may carry ("\n", or "\r\n" from a file
// written on Windows).
void strip_line_end(char* line) {
    size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
}

// After a line that filled the buffer: the line end right behind it belongs
// to that line, not to an empty line of its own.
void take_line_end(FILE* file) {
    int next = std::fgetc(file);
    if (next == '\r') next = std::fgetc(file);
    if (next != '\n' && next != EOF) std::ungetc(next, file);
}

}  // namespace

env_entry* env_find(const char* name) {
    for (env_entry& slot : env_table)
        if (slot.name != nullptr && std::strcmp(slot.name, name) == 0) return &slot;
    return nullptr;
}

int32_t env_set(const char* name, const char* value) {
    if (env_entry* slot = env_find(name)) {
        char* copy = copy_text(value, 0);
        if (copy == nullptr) return -1;
        std::free(slot->value);
        slot->value = copy;
        return 0;
    }
    for (env_entry& slot : env_table) {
        if (slot.name != nullptr) continue;
        char* name_copy = copy_text(name, 0);
        char* value_copy = copy_text(value, 0);
        if (name_copy == nullptr || value_copy == nullptr) {
            std::free(name_copy);
            std::free(value_copy);
            return -1;
        }
        slot.name = name_copy;
        slot.value = value_copy;
        return 0;
    }
    return -1;
}

int32_t env_unset(const char* name) {
    env_entry* slot = env_find(name);
    if (slot == nullptr) return -1;
    free_slot(*slot);
    return 0;
}

void env_clear() {
    for (env_entry& slot : env_table) free_slot(slot);
}

void env_load() {
    env_clear();
    FILE* file = std::fopen(ENV_FILE, "r");
    if (file == nullptr) return;
    for (env_entry& slot : env_table) {
        char line[ENV_LINE_BYTES] = {};
        if (std::fgets(line, ENV_LINE_BYTES - 1, file) == nullptr) break;
        size_t len = std::strlen(line);
        if (len == ENV_LINE_BYTES - 2 && line[len - 1] != '\n') take_line_end(file);
        strip_line_end(line);
        char* eq = std::strchr(line, '=');
        const char* value = "";
        if (eq != nullptr) {
            *eq = '\0';
            value = eq + 1;
        }
        slot.name = copy_text(line, ENV_LINE_BYTES);
        slot.value = copy_text(value, ENV_LINE_BYTES);
        if (slot.name == nullptr || slot.value == nullptr) {
            free_slot(slot);
            break;
        }
    }
    std::fclose(file);
}

int32_t env_save() {
    FILE* file = std::fopen(ENV_FILE, "w");
    if (file == nullptr) return -1;
    int32_t result = 0;
    for (const env_entry& slot : env_table) {
        if (slot.name == nullptr) continue;
        char line[ENV_LINE_BYTES];
        int n = std::snprintf(line, sizeof line - 1, "%s=%s\n", slot.name, slot.value);
        if (n < 0 || static_cast<size_t>(n) >= sizeof line - 1) {
            con_err("saveenv: %s is too long for a line of %s, not saved\n", slot.name, ENV_FILE);
            result = -1;
            continue;
        }
        if (std::fputs(line, file) == EOF) result = -1;
    }
    if (std::fclose(file) != 0) result = -1;
    return result;
}
