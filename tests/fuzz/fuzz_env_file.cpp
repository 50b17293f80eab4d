// The environment file: the fuzz input as diag.env, loaded, saved and loaded
// again. The load must give exactly the variables of the file's whole lines
// (a line of more than 254 characters is refused, never taken in pieces),
// and what saveenv wrote must load back into the same variables.
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
        if (std::strlen(slot.name) + std::strlen(slot.value) > ENV_LINE_MAX) std::abort();
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

// The variables a load should give: the first 256 lines that fit, each
// split at its first "=" (the texts end at a NUL, as C text does).
table expected(const uint8_t* data, size_t size) {
    table t;
    const std::string file(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    while (at < file.size() && t.size() < static_cast<size_t>(ENV_SLOTS)) {
        size_t end = file.find('\n', at);
        if (end == std::string::npos) end = file.size();
        std::string line = file.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > ENV_LINE_MAX) continue;
        line = line.substr(0, line.find('\0'));
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            t.emplace_back(line, "");
        else
            t.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return t;
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
    if (loaded != expected(data, size)) std::abort();
    if (env_save() == 0 && round_trip_safe(loaded)) {
        env_load();
        if (snapshot() != loaded) std::abort();
    }
    env_clear();
    return 0;
}
