// The simulated J-Link probe library: the 14 JLINKARM_* entry points over a
// simulated target (target.h), with a log of every call and its time, and the
// faults its settings ask for (config.h). Loaded by flint instead of the probe
// maker's library: put it beside the program under the maker's file name.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/crc16.h"
#include "tools/simprobe/config.h"
#include "tools/simprobe/target.h"

namespace {

const char* const DEVICE_COMMAND_PREFIX = "device = ";
const char* const OPEN_REFUSED_TEXT = "Cannot connect to J-Link (simulated fault)";

class sim_probe {
public:
    sim_probe()
        : config_(simprobe_read_config()),
          start_(std::chrono::steady_clock::now()),
          target_(config_.flash_base, config_.flash_size, config_.faults.status,
                  [this](const std::string& line) { log("%s", line.c_str()); }) {
        if (!config_.log_path.empty()) log_ = std::fopen(config_.log_path.c_str(), "a");
        if (!config_.log_path.empty() && log_ == nullptr)
            std::fprintf(stderr, "simprobe: cannot write the log %s\n", config_.log_path.c_str());
        if (!config_.error.empty()) {
            std::fprintf(stderr, "simprobe: %s; the probe acts as not found\n", config_.error.c_str());
            log("settings refused: %s", config_.error.c_str());
        }
        load_flash();
    }
    ~sim_probe() {
        if (log_ != nullptr) std::fclose(log_);
    }

    // One log line: milliseconds since the library was first called, then the text.
    void log(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (log_ == nullptr) return;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        std::fprintf(log_, "%.3f ", ms);
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(log_, fmt, ap);
        va_end(ap);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    const simprobe_faults& faults() const { return config_.faults; }
    bool settings_refused() const { return !config_.error.empty(); }
    sim_target& target() { return target_; }

    bool selected = false;
    bool opened = false;
    bool device_set = false;
    int interface = -1;
    uint32_t speed = 0;
    bool connected = false;

    // Writes what the last loader request changed back to the flash file.
    void save_flash() {
        sim_target& t = target_;
        if (t.dirty_begin == t.dirty_end) return;
        if (!config_.flash_path.empty()) {
            FILE* f = std::fopen(config_.flash_path.c_str(), "r+b");
            if (f == nullptr || std::fseek(f, static_cast<long>(t.dirty_begin), SEEK_SET) != 0 ||
                std::fwrite(t.flash().data() + t.dirty_begin, 1, t.dirty_end - t.dirty_begin, f) !=
                    t.dirty_end - t.dirty_begin)
                std::fprintf(stderr, "simprobe: cannot write the flash file %s\n", config_.flash_path.c_str());
            if (f != nullptr) std::fclose(f);
        }
        t.dirty_begin = t.dirty_end = 0;
    }

private:
    // The flash file's bytes, or an erased array (and a new file) when it is missing.
    void load_flash() {
        if (config_.flash_path.empty()) return;
        std::vector<uint8_t>& flash = target_.flash();
        if (FILE* f = std::fopen(config_.flash_path.c_str(), "rb")) {
            const size_t got = std::fread(flash.data(), 1, flash.size(), f);
            std::fclose(f);
            if (got == flash.size()) return;
            std::fill(flash.begin() + static_cast<long>(got), flash.end(), sim_target::ERASED);
        }
        FILE* f = std::fopen(config_.flash_path.c_str(), "wb");
        if (f == nullptr || std::fwrite(flash.data(), 1, flash.size(), f) != flash.size())
            std::fprintf(stderr, "simprobe: cannot write the flash file %s\n", config_.flash_path.c_str());
        if (f != nullptr) std::fclose(f);
    }

    simprobe_config config_;
    std::chrono::steady_clock::time_point start_;
    FILE* log_ = nullptr;
    sim_target target_;
};

sim_probe& probe() {
    static sim_probe p;
    return p;
}

// Memory and run control need a probe that is open and connected to the target.
bool attached() { return probe().connected; }

}  // namespace

extern "C" {

int JLINKARM_SelectUSB(int port) {
    sim_probe& p = probe();
    p.selected = port == 0 && !p.faults().no_probe && !p.settings_refused();
    p.log("JLINKARM_SelectUSB(%d) = %d", port, p.selected ? 0 : 1);
    return p.selected ? 0 : 1;
}

const char* JLINKARM_Open(void) {
    sim_probe& p = probe();
    const char* error = nullptr;
    if (!p.selected) error = "No J-Link selected";
    else if (p.faults().open_refused) error = OPEN_REFUSED_TEXT;
    p.opened = error == nullptr;
    p.log("JLINKARM_Open() = %s", error ? error : "0");
    return error;
}

int JLINKARM_ExecCommand(const char* command, char* error, int error_size) {
    sim_probe& p = probe();
    std::string text;
    const size_t prefix = std::strlen(DEVICE_COMMAND_PREFIX);
    if (command == nullptr) {
        text = "No command";
    } else if (!p.opened) {
        text = "J-Link is not open";
    } else if (std::strncmp(command, DEVICE_COMMAND_PREFIX, prefix) != 0) {
        text = std::string("Unknown command: ") + command;
    } else if (p.faults().device_refused) {
        text = std::string("Unknown device \"") + (command + prefix) + "\" (simulated fault)";
    } else if (std::strcmp(command + prefix, "Cortex-M0") != 0) {
        text = std::string("Unknown device \"") + (command + prefix) + "\"";
    }
    p.device_set = text.empty();
    if (error != nullptr && error_size > 0) std::snprintf(error, static_cast<size_t>(error_size), "%s", text.c_str());
    p.log("JLINKARM_ExecCommand(\"%s\", %d) = \"%s\"", command ? command : "", error_size, text.c_str());
    return text.empty() ? 0 : -1;
}

int JLINKARM_TIF_Select(int interface) {
    sim_probe& p = probe();
    p.interface = interface;
    p.log("JLINKARM_TIF_Select(%d) = 0", interface);
    return 0;
}

void JLINKARM_SetSpeed(uint32_t khz) {
    sim_probe& p = probe();
    p.speed = khz;
    p.log("JLINKARM_SetSpeed(%u)", khz);
}

int JLINKARM_Connect(void) {
    sim_probe& p = probe();
    p.connected = p.opened && p.device_set && p.interface == 1 && p.speed > 0 && !p.faults().no_target;
    p.log("JLINKARM_Connect() = %d", p.connected ? 0 : -1);
    return p.connected ? 0 : -1;
}

int JLINKARM_Halt(void) {
    sim_probe& p = probe();
    const bool ok = attached() && !p.faults().halt_refused;
    if (ok) p.target().halt();
    p.log("JLINKARM_Halt() = %d", ok ? 0 : 1);
    return ok ? 0 : 1;
}

void JLINKARM_Go(void) {
    sim_probe& p = probe();
    p.log("JLINKARM_Go()");
    if (!attached()) return;
    p.target().go();
    p.save_flash();
}

int JLINKARM_Reset(void) {
    sim_probe& p = probe();
    if (attached()) p.target().reset();
    p.log("JLINKARM_Reset() = %d", attached() ? 0 : -1);
    return attached() ? 0 : -1;
}

int JLINKARM_WriteMem(uint32_t addr, uint32_t count, const void* data) {
    sim_probe& p = probe();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t n = count;
    if (p.faults().short_write > 0 && n > p.faults().short_write) n -= p.faults().short_write;
    const int result = attached() && bytes != nullptr ? p.target().write(addr, n, bytes) : -1;
    const uint16_t crc = result > 0 ? crc16(0, bytes, static_cast<uint32_t>(result)) : 0;
    if (count >= 12 && result >= 12)
        p.log("JLINKARM_WriteMem(0x%08X, %u) = %d crc16=%04X head=%08X,%08X,%08X", addr, count, result, crc,
              bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24,
              bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<uint32_t>(bytes[7]) << 24,
              bytes[8] | bytes[9] << 8 | bytes[10] << 16 | static_cast<uint32_t>(bytes[11]) << 24);
    else
        p.log("JLINKARM_WriteMem(0x%08X, %u) = %d crc16=%04X", addr, count, result, crc);
    return result;
}

int JLINKARM_ReadMem(uint32_t addr, uint32_t count, void* dest) {
    sim_probe& p = probe();
    const int got = attached() && dest != nullptr ? p.target().read(addr, count, static_cast<uint8_t*>(dest)) : -1;
    const int result = got == static_cast<int>(count) ? 0 : -1;
    p.log("JLINKARM_ReadMem(0x%08X, %u) = %d", addr, count, result);
    return result;
}

int JLINKARM_ReadMemU32(uint32_t addr, uint32_t words, uint32_t* dest, uint8_t* status) {
    sim_probe& p = probe();
    int result = -1;
    if (attached() && dest != nullptr && words > 0 && words <= 0x10000) {
        result = 0;
        for (uint32_t i = 0; i < words; ++i) {
            uint8_t b[4];
            const bool ok = p.target().read(addr + 4 * i, 4, b) == 4;
            if (status != nullptr) status[i] = ok ? 0 : 1;
            if (!ok) break;
            dest[i] = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
            ++result;
        }
        if (result == 0) result = -1;
    }
    if (result > 0)
        p.log("JLINKARM_ReadMemU32(0x%08X, %u) = %d [0x%08X]", addr, words, result, dest[0]);
    else
        p.log("JLINKARM_ReadMemU32(0x%08X, %u) = %d", addr, words, result);
    return result;
}

int JLINKARM_WriteReg(int reg, uint32_t value) {
    sim_probe& p = probe();
    const bool ok = attached() && reg != p.faults().reg_refused && p.target().write_reg(reg, value);
    p.log("JLINKARM_WriteReg(%d, 0x%08X) = %d", reg, value, ok ? 0 : 1);
    return ok ? 0 : 1;
}

void JLINKARM_Close(void) {
    sim_probe& p = probe();
    p.log("JLINKARM_Close()");
    p.opened = p.connected = p.device_set = false;
    p.selected = false;
    p.interface = -1;
}

}  // extern "C"
