// flint-gang's command line: flint's one-shot options with a list of ports
// for -c (and of device addresses for -x), plus the gang's own --logs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The most ports of one gang (the most children Windows waits for at once).
constexpr size_t GANG_PORTS_MAX = 64;

// The exit code of a refused command line.
constexpr int GANG_REFUSED = 255;

struct gang_port {
    std::string port;              // the -c text of this module
    std::string address;           // its -x address ("" without -x)
    std::vector<std::string> args; // flint's arguments (without the program name)
    std::string log_name;          // file name stem of its log and trace ("COM6")
};

struct gang_job {
    std::vector<gang_port> ports;
    std::string logs_dir;  // --logs; "" for the dated default
    bool help = false;     // -h: print the usage and end with 0
    bool version = false;  // -V: print the version and end with 0
};

// Reads the words behind the program name. Returns "" and fills `job`, or
// the message of the refusal (ending with a newline).
std::string gang_read_options(const std::vector<std::string>& words, gang_job* job);

// Splits a comma-separated list; empty items are kept (as "").
std::vector<std::string> gang_split(const std::string& list);

// A file name stem for a port text: letters, digits, '.', '-' and '_' kept,
// everything else '_', leading '_' and '.' dropped ("/dev/pts/3" is
// "dev_pts_3"); names already taken get "-2", "-3"... behind them.
std::string gang_log_name(const std::string& port, const std::vector<std::string>& taken);

extern const char* const GANG_USAGE;
