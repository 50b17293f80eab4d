// Running a gang: one flint per port, all at once, their output in a log of
// their own, status lines while they run, a summary at the end.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "gang/gang_options.h"
#include "gang/observer.h"
#include "platform/platform.h"

// A child that has ended or could not be started, as the gang saw it; its
// temporary folder (with the run record) is still there.
struct gang_child_end {
    size_t index = 0;            // its position in -c
    std::string temp_dir;        // "" when it had none
    std::string start_error;     // why it could not be started ("" when it started)
    bool started = false;
    bool stopped = false;        // stopped by the gang after Ctrl-C
    plat_child_status status{};
    double seconds = 0;
};

struct gang_settings {
    std::string flint;       // the flint program to run
    std::string logs_dir;    // existing folder for the logs
    std::string trace_dir;   // existing folder for the traces ("" for none)
    std::string temp_base;   // where each child's temporary folder is made, ending with a separator
    bool terminal = false;   // redraw the status lines in place
    uint32_t redraw_ms = 250;
    // Told of each child when it has ended, before its temporary folder goes.
    std::function<void(const gang_child_end&)> child_ended;
    gang_observer* observer = nullptr;  // the loop and the status page, when they follow the run
};

// The name of a child's run record in its temporary folder (FLINT_RECORD).
extern const char* const GANG_RECORD_FILE;

// The exit code: 0 when every module passed, else the number that failed
// (a child stopped by Ctrl-C, ended by a signal or not started has failed).
int gang_run(const gang_job& job, const gang_settings& settings, FILE* out);
