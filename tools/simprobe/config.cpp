// Reading the simulated probe's settings from its file and the environment.
#include "tools/simprobe/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr uint32_t FLASH_SIZE_MAX = 0x4000000;  // 64 MiB is plenty for a module's flash

bool parse_number(const std::string& text, uint32_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-') return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    const size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

void fail(simprobe_config& c, const std::string& what) {
    if (c.error.empty()) c.error = what;
}

void parse_faults(simprobe_config& c, const std::string& list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string word = trim(list.substr(start, comma - start));
        start = comma + 1;
        if (word.empty()) continue;
        const size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
        uint32_t n = 0;
        simprobe_faults& f = c.faults;
        if (name == "no-probe" && value.empty()) {
            f.no_probe = true;
        } else if (name == "open-refused" && value.empty()) {
            f.open_refused = true;
        } else if (name == "device-refused" && value.empty()) {
            f.device_refused = true;
        } else if (name == "no-target" && value.empty()) {
            f.no_target = true;
        } else if (name == "halt-refused" && value.empty()) {
            f.halt_refused = true;
        } else if (name == "short-write" && parse_number(value, n) && n > 0) {
            f.short_write = n;
        } else if (name == "reg-refused" && parse_number(value, n) && n < 32) {
            f.reg_refused = static_cast<int>(n);
        } else if (name == "status" && parse_number(value, n) && n > 0) {
            f.status = n;
        } else {
            fail(c, "unknown fault '" + word + "'");
        }
    }
}

void apply(simprobe_config& c, const std::string& key, const std::string& value) {
    uint32_t n = 0;
    if (key == "log") {
        c.log_path = value;
    } else if (key == "flash") {
        c.flash_path = value;
    } else if (key == "flash-base") {
        if (parse_number(value, n)) c.flash_base = n; else fail(c, "flash-base '" + value + "' is no number");
    } else if (key == "flash-size") {
        if (parse_number(value, n) && n > 0 && n <= FLASH_SIZE_MAX)
            c.flash_size = n;
        else
            fail(c, "flash-size '" + value + "' is not from 1 to 0x4000000");
    } else if (key == "fault") {
        parse_faults(c, value);
    } else {
        fail(c, "unknown setting '" + key + "'");
    }
}

void read_file(simprobe_config& c, const char* path) {
    std::ifstream in(path);
    if (!in) {
        fail(c, std::string("cannot read the settings file ") + path);
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            fail(c, "settings line '" + line + "' has no '='");
            continue;
        }
        apply(c, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
}

}  // namespace

simprobe_config simprobe_read_config() {
    simprobe_config c;
    if (const char* file = std::getenv("SIMPROBE_CONFIG")) read_file(c, file);
    const struct {
        const char* variable;
        const char* key;
    } vars[] = {{"SIMPROBE_LOG", "log"},
                {"SIMPROBE_FLASH", "flash"},
                {"SIMPROBE_FLASH_BASE", "flash-base"},
                {"SIMPROBE_FLASH_SIZE", "flash-size"},
                {"SIMPROBE_FAULT", "fault"}};
    for (const auto& v : vars)
        if (const char* value = std::getenv(v.variable)) apply(c, v.key, value);
    if (static_cast<uint64_t>(c.flash_base) + c.flash_size > 0x100000000ULL)
        fail(c, "the flash runs past the end of the address space");
    return c;
}
