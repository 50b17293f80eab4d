// What the operator asks of the cycle loop, from the console (Enter, q) or
// the status page (Start), handed to the loop through one channel.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

enum class operator_command { start, quit };

class operator_channel {
public:
    void post(operator_command c);
    // From the page: taken only while the loop waits for a start; false otherwise.
    bool offer_start();
    void set_waiting(bool waiting);
    // The next command, waiting up to timeout_ms; false when none came.
    bool take(operator_command* c, uint32_t timeout_ms);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<operator_command> commands_;
    bool waiting_ = false;
};

// Reads the console's lines in a thread of its own: an empty line is a
// start, "q" a quit, anything else is ignored. At the end of the input,
// posts a quit when `quit_at_end` (nothing else could start a cycle then).
void operator_console_start(operator_channel& channel, bool quit_at_end);
