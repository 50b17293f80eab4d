// The environment store and its file "diag.env".
#include "link/env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

const char* const ENV_FILE = "diag.env";

env_entry env_table[ENV_SLOTS];

namespace {

const char* const MSG_SAVE_TOO_LONG = "saveenv: %s is too long for a line of %s, not saved\n";
const char* const MSG_LINE_TOO_LONG =
    "%s: line %u is longer than %u characters and was not loaded\n";

}  // namespace

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

// Reads one file line into `line`, its line end ("\n", or "\r\n" from a
// file written on Windows) dropped; false at the end of the file. *fits is
// false for a line of more than ENV_LINE_MAX characters: the rest of it is
// read and dropped, and the caller refuses it whole.
bool read_line(FILE* file, char (&line)[ENV_LINE_BYTES], bool* fits) {
    int c = std::fgetc(file);
    if (c == EOF) return false;
    size_t n = 0;
    bool over = false;
    // One character more than a line may hold: a "\r" of its line end.
    for (; c != EOF && c != '\n'; c = std::fgetc(file)) {
        if (n < ENV_LINE_MAX + 1)
            line[n++] = static_cast<char>(c);
        else
            over = true;
    }
    if (n > 0 && line[n - 1] == '\r') --n;
    line[n] = '\0';
    *fits = !over && n <= ENV_LINE_MAX;
    return true;
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
    int32_t filled = 0;
    for (uint32_t line_no = 1; filled < ENV_SLOTS; ++line_no) {
        char line[ENV_LINE_BYTES];
        bool fits = true;
        if (!read_line(file, line, &fits)) break;
        // A longer line is not taken in pieces: each piece would become a
        // variable of its own, and the first would hold a cut value.
        if (!fits) {
            con_err(MSG_LINE_TOO_LONG, ENV_FILE, static_cast<unsigned>(line_no),
                    static_cast<unsigned>(ENV_LINE_MAX));
            continue;
        }
        char* eq = std::strchr(line, '=');
        const char* value = "";
        if (eq != nullptr) {
            *eq = '\0';
            value = eq + 1;
        }
        env_entry& slot = env_table[filled++];
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
            con_err(MSG_SAVE_TOO_LONG, slot.name, ENV_FILE);
            result = -1;
            continue;
        }
        if (std::fputs(line, file) == EOF) result = -1;
    }
    if (std::fclose(file) != 0) result = -1;
    return result;
}
