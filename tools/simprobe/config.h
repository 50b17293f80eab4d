// The simulated probe's settings: read once, when the program first calls
// the library, from a file named by SIMPROBE_CONFIG ("key=value" lines, '#'
// comments) and then from environment variables, which win.
//
//   key           variable             meaning
//   log           SIMPROBE_LOG         call log file (appended), "" for none
//   flash         SIMPROBE_FLASH       backing file of the flash array, "" for memory only
//   flash-base    SIMPROBE_FLASH_BASE  first flash address (0x800000)
//   flash-size    SIMPROBE_FLASH_SIZE  flash size in bytes (0x100000)
//   fault         SIMPROBE_FAULT       faults, comma-separated (below)
//
// Faults: no-probe (SelectUSB fails), open-refused (Open returns an error
// text), device-refused (ExecCommand fills its error buffer), no-target
// (Connect fails), halt-refused (Halt fails), short-write=N (every memory
// write longer than N bytes writes N bytes less), reg-refused=R (writes to
// register R fail), status=N (the loader answers every mailbox request with
// status N and does nothing).
#pragma once
#include <cstdint>
#include <string>

struct simprobe_faults {
    bool no_probe = false;
    bool open_refused = false;
    bool device_refused = false;
    bool no_target = false;
    bool halt_refused = false;
    uint32_t short_write = 0;  // 0: writes are whole
    int reg_refused = -1;      // -1: every register can be written
    uint32_t status = 0;       // 0: the loader does its work
};

struct simprobe_config {
    std::string log_path;
    std::string flash_path;
    uint32_t flash_base = 0x800000;
    uint32_t flash_size = 0x100000;
    simprobe_faults faults;
    std::string error;  // non-empty: a setting could not be read; the probe is then "not found"
};

// Reads the settings file (if named) and the environment.
simprobe_config simprobe_read_config();
