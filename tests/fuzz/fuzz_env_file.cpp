// The environment file: the fuzz input as diag.env, loaded, saved and loaded
// again. Every slot must hold a bounded name and value pair, and what saveenv
// wrote must load back into the same variables.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "link/env.h"

namespace {

using table = std::vector<std::pair<std::string, std::string>>;

table snapshot() {
    table t;
    bool free_seen = false;
    for (const env_entry& slot : env_table) {
        if ((slot.name == nullptr) != (slot.value == nullptr)) std::abort();
        if (slot.name == nullptr) {
            free_seen = true;
            continue;
        }
        if (free_seen) std::abort();  // a load fills the slots in order
        // A file line holds at most 254 characters, name and value together.
        if (std::strlen(slot.name) + std::strlen(slot.value) > ENV_LINE_BYTES - 2) std::abort();
        t.emplace_back(slot.name, slot.value);
    }
    return t;
}

void write_file(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(ENV_FILE, "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

// Variables that a save and a load carry unchanged: no carriage return at a
// value's end (it would be taken as part of the line end).
bool round_trip_safe(const table& t) {
    for (const auto& nv : t)
        if (!nv.second.empty() && nv.second.back() == '\r') return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fake::work_in_own_folder("flint-fuzz-env");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 300) return -1;
    write_file(data, size);
    env_load();
    const table loaded = snapshot();
    if (loaded.size() > static_cast<size_t>(ENV_SLOTS)) std::abort();
    if (env_save() == 0 && round_trip_safe(loaded)) {
        env_load();
        if (snapshot() != loaded) std::abort();
    }
    env_clear();
    return 0;
}
