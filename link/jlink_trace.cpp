// The probe calls in the byte trace. When the trace is on, every entry point
// that jlink_need resolves is kept in jlink_untraced and `jlink` gets a
// wrapper in its place that forwards the call and writes it, with its
// arguments, its result and the bytes it moved, to the trace. With the trace
// off nothing is wrapped.
#include <cstdarg>
#include <cstdio>

#include "link/jlink.h"
#include "link/trace.h"

jlink_entry_points jlink_untraced = {};

namespace {

const char* const TRACE_LINK = "swd";
constexpr uint32_t BYTES_PER_WORD = 4;

// The probe's speed as last set, for the rate column; 0 until set.
uint32_t traced_speed_khz = 0;

struct speed_text {
    char text[16];
    speed_text() {
        if (traced_speed_khz == 0)
            std::snprintf(text, sizeof text, "-");
        else
            std::snprintf(text, sizeof text, "%ukHz", traced_speed_khz);
    }
};

void call_line(const char* dir, const char* fmt, ...) __attribute__((format(gnu_printf, 2, 3)));

// Formats the call text, then writes it as one trace line.
void call_line(const char* dir, const char* fmt, ...) {
    char text[1200];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    trace_text(dir, TRACE_LINK, speed_text().text, "%s", text);
}

// The wrappers, named as the entry points they stand for.
namespace traced {

void Close() {
    jlink_untraced.Close();
    call_line("--", "JLINKARM_Close()");
}

int Connect() {
    const int r = jlink_untraced.Connect();
    call_line("--", "JLINKARM_Connect() = %d", r);
    return r;
}

int ExecCommand(const char* command, char* error, int error_size) {
    const int r = jlink_untraced.ExecCommand(command, error, error_size);
    // The error text as far as it ends inside its buffer.
    int shown = 0;
    while (error != nullptr && shown < error_size && error[shown] != '\0') ++shown;
    call_line("--", "JLINKARM_ExecCommand(\"%s\", %d) = %d, error \"%.*s\"", command, error_size, r, shown,
              error != nullptr ? error : "");
    return r;
}

void Go() {
    jlink_untraced.Go();
    call_line("--", "JLINKARM_Go()");
}

int Halt() {
    const int r = jlink_untraced.Halt();
    call_line("--", "JLINKARM_Halt() = %d", r);
    return r;
}

const char* Open() {
    const char* r = jlink_untraced.Open();
    if (r == nullptr)
        call_line("--", "JLINKARM_Open() = NULL");
    else
        call_line("--", "JLINKARM_Open() = \"%.1000s\"", r);
    return r;
}

int ReadMem(uint32_t addr, uint32_t count, void* dest) {
    const int r = jlink_untraced.ReadMem(addr, count, dest);
    char text[80];
    std::snprintf(text, sizeof text, "JLINKARM_ReadMem(0x%08X, %u) = %d", addr, count, r);
    trace_text_bytes("rx", TRACE_LINK, speed_text().text, text, static_cast<const uint8_t*>(dest),
                     r == 0 ? count : 0);
    return r;
}

int ReadMemU32(uint32_t addr, uint32_t words, uint32_t* dest, uint8_t* status) {
    const int r = jlink_untraced.ReadMemU32(addr, words, dest, status);
    char text[80];
    std::snprintf(text, sizeof text, "JLINKARM_ReadMemU32(0x%08X, %u) = %d", addr, words, r);
    const uint32_t got = r > 0 && static_cast<uint32_t>(r) <= words ? static_cast<uint32_t>(r) : 0;
    trace_text_bytes("rx", TRACE_LINK, speed_text().text, text, reinterpret_cast<const uint8_t*>(dest),
                     got * BYTES_PER_WORD);
    return r;
}

int Reset() {
    const int r = jlink_untraced.Reset();
    call_line("--", "JLINKARM_Reset() = %d", r);
    return r;
}

int SelectUSB(int port) {
    const int r = jlink_untraced.SelectUSB(port);
    call_line("--", "JLINKARM_SelectUSB(%d) = %d", port, r);
    return r;
}

void SetSpeed(uint32_t khz) {
    jlink_untraced.SetSpeed(khz);
    traced_speed_khz = khz;
    call_line("--", "JLINKARM_SetSpeed(%u)", khz);
}

int WriteMem(uint32_t addr, uint32_t count, const void* data) {
    const int r = jlink_untraced.WriteMem(addr, count, data);
    char text[80];
    std::snprintf(text, sizeof text, "JLINKARM_WriteMem(0x%08X, %u) = %d", addr, count, r);
    trace_text_bytes("tx", TRACE_LINK, speed_text().text, text, static_cast<const uint8_t*>(data), count);
    return r;
}

int WriteReg(int reg, uint32_t value) {
    const int r = jlink_untraced.WriteReg(reg, value);
    call_line("tx", "JLINKARM_WriteReg(%d, 0x%08X) = %d", reg, value, r);
    return r;
}

int TIF_Select(int interface) {
    const int r = jlink_untraced.TIF_Select(interface);
    call_line("--", "JLINKARM_TIF_Select(%d) = %d", interface, r);
    return r;
}

}  // namespace traced

// Moves the resolved entry point behind its wrapper.
template <typename F>
void wrap(F& member, F& untraced, F wrapper) {
    if (member == nullptr || member == wrapper) return;
    untraced = member;
    member = wrapper;
}

}  // namespace

void jlink_trace_wrap(jlink_entry entry) {
    if (!trace_on()) return;
    switch (entry) {
#define JLINK_WRAP(NAME, ID, RESULT, PARAMETERS) \
    case JLINK_##ID: wrap(jlink.NAME, jlink_untraced.NAME, &traced::NAME); break;
        JLINK_ENTRY_POINTS(JLINK_WRAP)
#undef JLINK_WRAP
        case JLINK_ENTRY_COUNT: break;
    }
}
