// Running a gang: one flint per port, all at once, their output in a log of
// their own, status lines while they run, a summary at the end.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "gang/gang_options.h"
#include "gang/observer.h"

struct gang_settings {
    std::string flint;       // the flint program to run
    std::string logs_dir;    // existing folder for the logs
    std::string trace_dir;   // existing folder for the traces ("" for none)
    std::string temp_base;   // where each child's temporary folder is made, ending with a separator
    bool terminal = false;   // redraw the status lines in place
    uint32_t redraw_ms = 250;
    gang_observer* observer = nullptr;  // the loop and the status page, when they follow the run
};

// The exit code: 0 when every module passed, else the number that failed
// (a child stopped by Ctrl-C, ended by a signal or not started has failed).
int gang_run(const gang_job& job, const gang_settings& settings, FILE* out);
