// The request/answer log: one line per packet or event, with the time since
// start, the direction, the line's state and its rate.
//   0.012345 rx hci 115200 01 2c fc 0c ...
//   0.013001 tx hci 115200 04 0e 04 01 2c fc 00
//   0.013100 -- hci 115200 switch to loader state
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class event_log {
public:
    ~event_log();
    // "" on success, else the reason. With no file and no echo, logging is off.
    std::string open(const std::string& file, bool echo_stderr);
    bool on() const { return file_ || echo_; }
    // dir is "rx", "tx" or "--"; where is "<state> <rate>" of the line.
    void bytes(const char* dir, const std::string& where, const uint8_t* b, size_t n);
    void note(const std::string& where, const std::string& text);

private:
    void emit(const std::string& line);
    FILE* file_ = nullptr;
    bool echo_ = false;
};

// Monotonic seconds since the program started.
double now_s();
