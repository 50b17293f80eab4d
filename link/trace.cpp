// The byte trace: the file named by FLINT_TRACE and the lines written to it.
// Every line is flushed as it is written, so a run that is killed still
// leaves its trace up to the last transfer.
#include "link/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/trace_variable.h"
#include "platform/console.h"
#include "platform/platform.h"

int8_t trace_state = -1;

namespace {

const char* const MSG_CANNOT_OPEN = "%s=%s cannot be opened for appending: no trace is written\n";

// The trace file while tracing.
FILE* trace_file = nullptr;

// The program's start, for the time column.
const std::chrono::steady_clock::time_point trace_epoch = std::chrono::steady_clock::now();

// Bytes are turned into hex in pieces of this many.
constexpr uint32_t HEX_PIECE = 4096;

void put_head(const char* dir, const char* link, const char* rate) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - trace_epoch).count();
    std::fprintf(trace_file, "%.3f %s %s %s", ms, dir, link, rate);
}

void put_hex(const uint8_t* bytes, uint32_t n) {
    static const char digits[] = "0123456789abcdef";
    char text[HEX_PIECE * 3];
    for (uint32_t at = 0; at < n;) {
        const uint32_t piece = n - at < HEX_PIECE ? n - at : HEX_PIECE;
        char* p = text;
        for (uint32_t i = 0; i < piece; ++i) {
            const uint8_t b = bytes[at + i];
            *p++ = ' ';
            *p++ = digits[b >> 4];
            *p++ = digits[b & 0x0F];
        }
        std::fwrite(text, 1, static_cast<size_t>(p - text), trace_file);
        at += piece;
    }
}

void end_line() {
    std::fputc('\n', trace_file);
    std::fflush(trace_file);
}

}  // namespace

bool trace_start() {
    trace_state = 0;
    const char* path = std::getenv(TRACE_VARIABLE);
    if (path == nullptr || *path == '\0') return false;
    trace_file = std::fopen(path, "ab");
    if (trace_file == nullptr) {
        con_err(MSG_CANNOT_OPEN, TRACE_VARIABLE, path);
        return false;
    }
    trace_state = 1;
    // A run's first line names the program, its process and the wall clock,
    // since runs append to the same file one after another.
    char when[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* t = std::localtime(&now)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", t);
    put_head("--", "flint", "-");
    std::fprintf(trace_file, " trace of flint %s, process %u, started %s", FLINT_VERSION,
                 plat_process_id(), when);
    end_line();
    return true;
}

void trace_bytes(const char* dir, const char* link, const char* rate, const uint8_t* bytes, uint32_t n) {
    if (trace_file == nullptr) return;
    put_head(dir, link, rate);
    put_hex(bytes, n);
    end_line();
}

void trace_text(const char* dir, const char* link, const char* rate, const char* fmt, ...) {
    if (trace_file == nullptr) return;
    put_head(dir, link, rate);
    std::fputc(' ', trace_file);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(trace_file, fmt, args);
    va_end(args);
    end_line();
}

void trace_text_bytes(const char* dir, const char* link, const char* rate, const char* text,
                      const uint8_t* bytes, uint32_t n) {
    if (trace_file == nullptr) return;
    put_head(dir, link, rate);
    std::fprintf(trace_file, " %s:", text);
    put_hex(bytes, n);
    end_line();
}

void trace_stop() {
    if (trace_file != nullptr) std::fclose(trace_file);
    trace_file = nullptr;
    trace_state = -1;
}
