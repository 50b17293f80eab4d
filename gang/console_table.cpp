// The loop's console table.
#include "gang/console_table.h"

#include <algorithm>

namespace {

const char* const CURSOR_UP = "\033[%zuA";
const char* const LINE_START = "\r\033[K";
const char* const SUMMARY =
    "flint-gang: cycle %llu: %llu modules, %llu passed, %llu failed; in all %llu cycles, %llu modules, %llu passed, "
    "%llu failed, first-pass yield %.1f %%, %.0f modules per hour\n";

std::string number(double value, const char* fmt) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

std::string console_detail(const slot_state& s) {
    if (s.state == SLOT_RUNNING) {
        if (s.step.empty() || s.total == 0) return s.line_text;
        return s.step + " " + number(100.0 * static_cast<double>(s.done) / static_cast<double>(s.total), "%.0f %%");
    }
    if (s.state != SLOT_FAILED) return "";
    if (s.failure_class.empty()) return "exit " + s.result;
    std::string where = s.failure_line >= 0 ? "line " + std::to_string(s.failure_line) + " " + s.failure_text : "";
    return (where.empty() ? std::string() : where + ": ") + s.failure_class;
}

std::string console_table::line(const slot_state& s) const {
    std::string out = padded(std::to_string(s.number), 3) + " ";
    if (label_width_ > 0) out += padded(s.label, label_width_) + " ";
    out += padded(s.port, port_width_) + " " + padded(s.state, 8) + " " + padded(console_detail(s), 28);
    out += " " + padded(s.address, 17) + number(s.seconds, " %6.1f s");
    return out;
}

void console_table::begin(const std::vector<slot_state>& slots) {
    for (const slot_state& s : slots) {
        label_width_ = std::max(label_width_, s.label.size());
        port_width_ = std::max(port_width_, s.port.size());
    }
    if (!terminal_) return;
    for (size_t i = 0; i < slots.size(); ++i) std::fputs("\n", out_);
    drawn_ = slots.size();
    redraw(slots);
}

void console_table::redraw(const std::vector<slot_state>& slots) {
    if (!terminal_ || drawn_ == 0) return;
    std::fprintf(out_, CURSOR_UP, drawn_);
    for (const slot_state& s : slots) std::fprintf(out_, "%s%s\n", LINE_START, line(s).c_str());
    std::fflush(out_);
}

void console_table::ended(const std::vector<slot_state>& slots, size_t slot) {
    if (terminal_) return redraw(slots);
    std::fprintf(out_, "%s\n", line(slots.at(slot)).c_str());
    std::fflush(out_);
}

void console_table::summary(const station_counters& before, const station_counters& now) {
    drawn_ = 0;
    std::fprintf(out_, SUMMARY, ull(now.cycles), ull(now.modules - before.modules), ull(now.passed - before.passed),
                 ull(now.failed - before.failed), ull(now.cycles), ull(now.modules), ull(now.passed),
                 ull(now.failed), board_yield_percent(now), board_modules_per_hour(now));
    std::fflush(out_);
}
