// The station at work: the gang's cycles one after the other (--loop), each
// started by the operator, with the console table and the status page
// (--http) following the slots.
#pragma once
#include <cstdio>
#include <functional>

#include "gang/board.h"
#include "gang/gang_options.h"
#include "gang/observer.h"
#include "gang/loop_options.h"

struct station_hooks {
    // Runs one cycle of the gang with `observer` following it; its exit
    // code, or -1 (after a message) when it could not run: the loop ends then.
    std::function<int(gang_observer* observer)> run_cycle;
    // The station database's view after a cycle; false when there is none.
    std::function<bool(stored_view* view)> stored;
};

// The exit code: without --loop the cycle's; with it the number of modules
// that failed in all cycles (0 when every one passed), at most 254; 255 when
// the page cannot be served or a cycle could not run.
int station_run(const gang_job& job, const loop_options& options, FILE* out, const station_hooks& hooks);

// The largest exit code that counts failed modules (255 is a refusal).
constexpr int STATION_FAILED_MAX = 254;
