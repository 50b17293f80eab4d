// Progress of a long step of the running line (erase, program, verify,
// read, loader download): progress events, at most ten a second, the last
// one of a completed step with done == total. Cheap when no events are
// written: every call returns at once.
#pragma once
#include <cstdint>

// A step begins: `step` is "erase", "program", "verify", "read" or "loader";
// `address` null when the step has none.
void progress_begin(const char* step, const uint32_t* address, uint64_t total);
// `done` bytes of the step's total are done.
void progress_at(uint64_t done);
// The step ends; a completed one reports done == total.
void progress_end(bool completed);
