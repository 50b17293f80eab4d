// Runs a call with standard output and standard error captured, so a test
// can check the result and both streams' text.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

struct captured {
    int64_t result;
    std::string out;
    std::string err;
};

template <typename F>
captured run_captured(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int64_t r = f();
    captured c{r, "", ""};
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}
