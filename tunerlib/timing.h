// tunerlib's timing model in one place: the time-out set of an opened port
// and the pauses between a request and the first read of its reply. The
// benchmark (tests/bench/tunerlib_bench.cpp) takes its bounds from here.
#pragma once
#include <cstdint>

// The time-out set of an opened port (ms): the gap between two bytes, the
// per-byte part of a read, the read-total constant of each role, and the
// write limit.
constexpr uint32_t READ_INTERVAL_MS = 30;
constexpr uint32_t READ_MULTIPLIER_MS = 100;
constexpr uint32_t GOLDEN_READ_CONSTANT_MS = 30;
constexpr uint32_t DUT_READ_CONSTANT_MS = 2000;
constexpr uint32_t WRITE_MULTIPLIER_MS = 1;
constexpr uint32_t WRITE_CONSTANT_MS = 50;

// Pauses between the request and the first read, in milliseconds.
constexpr uint32_t PAUSE_MS = 50;
constexpr uint32_t VERIFY_PAUSE_MS = 200;
constexpr uint32_t CALIBRATE_PAUSE_MS = 1500;
