#include "tools/vmodule/event_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {
const auto kStart = std::chrono::steady_clock::now();
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
}

event_log::~event_log() {
    if (file_) std::fclose(file_);
}

std::string event_log::open(const std::string& file, bool echo_stderr) {
    echo_ = echo_stderr;
    if (file.empty()) return "";
    file_ = std::fopen(file.c_str(), "w");
    if (!file_) return "cannot open log " + file + ": " + std::strerror(errno);
    return "";
}

void event_log::bytes(const char* dir, const std::string& where, const uint8_t* b, size_t n) {
    if (!on()) return;
    std::string line;
    line.reserve(n * 3 + 40);
    char head[64];
    std::snprintf(head, sizeof head, "%.6f %s %s", now_s(), dir, where.c_str());
    line = head;
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        line += ' ';
        line += hex[b[i] >> 4];
        line += hex[b[i] & 15];
    }
    emit(line);
}

void event_log::note(const std::string& where, const std::string& text) {
    if (!on()) return;
    char head[64];
    std::snprintf(head, sizeof head, "%.6f -- ", now_s());
    emit(head + where + " " + text);
}

void event_log::emit(const std::string& line) {
    if (file_) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    if (echo_) std::fprintf(stderr, "%s\n", line.c_str());
}
