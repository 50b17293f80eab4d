// The virtual module's command line.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vmodule/faults.h"

enum class boot_state { hci, loader };

struct vm_options {
    std::string pty_link;     // symlink to the pty slave, "" for none
    std::string usb_socket;   // SOCK_SEQPACKET listening path, "" for none
    std::string iflash_file;  // backing files, "" for anonymous memory
    std::string eflash_file;
    std::string efuse_file;
    uint32_t iflash_base = 0x800000;
    uint32_t iflash_size = 0x100000;
    uint32_t eflash_size = 0x400000;
    uint32_t efuse_size = 0x400;
    uint32_t signature = 0x215DF640;
    uint32_t flash_id = 0x00164020;      // internal flash, HCI 32 bits / loader 24 bits
    uint32_t ext_flash_id = 0x001640EF;  // external flash, 24 bits
    boot_state boot = boot_state::hci;
    int probe_status = -1;               // -1: derived from the factory image
    uint32_t prop_id = 0x4420;
    std::string prop_name = "KVL4420B_V3";
    uint32_t prop_ram_start = 0x20000000;
    uint32_t prop_ram_size = 0x8000;
    std::string log_file;
    std::string loader_file;  // where a started loader is saved, "" for nowhere
    bool verbose = false;
    bool pace = false;
    bool flash_times = false;
    double time_scale = 1.0;
    bool follow_rate = true;
    bool reset_on_close = false;  // power-cycle when the last host closes the line
    std::vector<fault_rule> faults;
};

// Parses argv into `opt`. Returns -1 to go on, else the exit code (after --help
// or a refused option, whose message has been printed).
int parse_options(int argc, char** argv, vm_options& opt);
