// The operator's commands: a queue under a lock, and the console reader.
#include "gang/operator_input.h"

#include <cstdio>
#include <string>
#include <thread>

namespace {

// A console line longer than this is read in pieces; none of them is a command.
constexpr size_t CONSOLE_LINE_MAX = 256;

std::string trimmed(const std::string& line) {
    const char* const blanks = " \t\r\n";
    const size_t first = line.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// The command a whole console line gives; false for none.
bool command_of(const std::string& line, operator_command* c) {
    const std::string word = trimmed(line);
    if (word.empty()) return *c = operator_command::start, true;
    if (word == "q" || word == "Q") return *c = operator_command::quit, true;
    return false;
}

void read_console(operator_channel* channel, bool quit_at_end) {
    char buf[CONSOLE_LINE_MAX];
    std::string line;
    while (std::fgets(buf, sizeof buf, stdin) != nullptr) {
        line += buf;
        if (line.back() != '\n') continue;
        operator_command c;
        if (line.size() <= CONSOLE_LINE_MAX && command_of(line, &c)) channel->post(c);
        line.clear();
    }
    if (quit_at_end) channel->post(operator_command::quit);
}

}  // namespace

void operator_channel::post(operator_command c) {
    std::lock_guard<std::mutex> hold(lock_);
    commands_.push_back(c);
    changed_.notify_all();
}

bool operator_channel::offer_start() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!waiting_) return false;
    waiting_ = false;  // one start per wait, however many pages press it
    commands_.push_back(operator_command::start);
    changed_.notify_all();
    return true;
}

void operator_channel::set_waiting(bool waiting) {
    std::lock_guard<std::mutex> hold(lock_);
    waiting_ = waiting;
}

bool operator_channel::take(operator_command* c, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return !commands_.empty(); }))
        return false;
    *c = commands_.front();
    commands_.pop_front();
    return true;
}

void operator_console_start(operator_channel& channel, bool quit_at_end) {
    std::thread(read_console, &channel, quit_at_end).detach();
}
