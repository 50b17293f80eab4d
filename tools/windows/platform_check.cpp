// Checks of the Win32 platform layer that the end-to-end cases cannot see,
// run under Wine by tests/e2e/test_serial_timing_wine.py:
//   win_platform_check.exe [COMn]
//   win_platform_check.exe --console
// With a port (whose far end echoes every byte) the serial checks run too:
// the line settings as Win32 reports them, the time-out record, every byte
// value through the echo, purge, the poll and total read time-outs (generous
// bounds; the precise figures are the end-to-end timing cases' business).
// Prints one line per check ("ok ..." or "FAIL ..."); the exit code is the
// number of failed checks.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

int failures = 0;

void check(bool good, const char* what, const std::string& detail = std::string()) {
    if (good) {
        std::printf("ok %s\n", what);
    } else {
        std::printf("FAIL %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
        ++failures;
    }
}

bool is_dir(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ends_with_nocase(const std::string& text, const char* tail) {
    size_t n = std::strlen(tail);
    return text.size() >= n && _stricmp(text.c_str() + text.size() - n, tail) == 0;
}

void check_paths() {
    const std::string temp = plat_temp_dir();
    check(!temp.empty() && temp.back() == '\\' && is_dir(temp), "temp folder ends with a separator", temp);

    const std::string dir = temp + "flint_check_" + std::to_string(plat_process_id());
    check(plat_make_dir(dir.c_str()) == 0 && is_dir(dir), "folder created", dir);
    check(plat_make_dir(dir.c_str()) == 0, "existing folder accepted");
    const std::string file = dir + "\\file";
    FILE* f = std::fopen(file.c_str(), "wb");
    if (f != nullptr) std::fclose(f);
    check(plat_make_dir(file.c_str()) == -1, "a file of that name refused");
    check(plat_make_dir((dir + "\\missing\\child").c_str()) == -1, "missing parent refused");
    DeleteFileA(file.c_str());
    RemoveDirectoryA(dir.c_str());

    const std::string exe = plat_exe_path();
    check(ends_with_nocase(exe, "\\win_platform_check.exe"), "own program file", exe);
}

void check_libraries() {
    void* lib = plat_load_library("kernel32.dll");
    check(lib != nullptr, "library loaded");
    check(plat_library_symbol(lib, "GetTickCount") != nullptr, "entry point found");
    check(plat_library_symbol(lib, "NoSuchEntryPoint") == nullptr, "missing entry point is null");
    check(plat_library_symbol(nullptr, "GetTickCount") == nullptr, "no library, no entry point");
    check(plat_load_library("no_such_library_here.dll") == nullptr, "missing library is null");
}

void check_command_interpreter() {
    check(plat_system("exit 3") == 3, "command interpreter result");
}

void check_port_names() {
    check(plat_serial_open("COM250") == nullptr, "unmapped port fails");
    const std::string too_long(300, 'C');
    check(plat_serial_open(too_long.c_str()) == nullptr, "over-long name refused");
    check(plat_serial_read(nullptr, nullptr, 1) == 0 && plat_serial_set_line(nullptr, 115200) == -1,
          "calls on no port fail");
}

std::string dcb_text(const DCB& d) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "baud %lu bits %u parity %u stop %u cts %u dsr %u dtr %u rts %u xon %u/%u sens %u",
                  static_cast<unsigned long>(d.BaudRate), d.ByteSize, d.Parity, d.StopBits,
                  d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDtrControl, d.fRtsControl, d.fOutX, d.fInX,
                  d.fDsrSensitivity);
    return buf;
}

// DTR and RTS are not compared: a pseudo-terminal has no modem lines, and
// Wine then reports both as on whatever was set.
bool line_is(HANDLE h, uint32_t baud, std::string& seen) {
    DCB d;
    std::memset(&d, 0, sizeof d);
    d.DCBlength = sizeof d;
    if (!GetCommState(h, &d)) return false;
    seen = dcb_text(d);
    return d.BaudRate == baud && d.ByteSize == 8 && d.Parity == NOPARITY && d.StopBits == ONESTOPBIT &&
           !d.fOutxCtsFlow && !d.fOutxDsrFlow && !d.fOutX && !d.fInX && !d.fDsrSensitivity;
}

void check_port(const char* name) {
    plat_serial_handle port = plat_serial_open(name);
    check(port != nullptr, "port opened", name);
    if (port == nullptr) return;
    // (Exclusive access is not checked: Wine does not apply the sharing mode
    // to serial devices.)

    // The handle is the first member of the opaque record.
    HANDLE h = *reinterpret_cast<HANDLE*>(port);
    std::string seen;
    for (uint32_t baud : {115200u, 1000000u}) {
        check(plat_serial_set_line(port, baud) == 0 && line_is(h, baud, seen),
              baud == 115200 ? "8N1 at 115200, no flow control" : "8N1 at 1000000", seen);
    }

    const plat_serial_timeouts want = {1000, 1, 700, 500, 2000};
    plat_serial_timeouts got = {};
    check(plat_serial_set_timeouts(port, want) == 0 && plat_serial_get_timeouts(port, got) == 0 &&
              std::memcmp(&want, &got, sizeof want) == 0,
          "time-out record kept");

    // Every byte value, XON, XOFF, CR and LF included, comes back unchanged.
    uint8_t out[256], in[256] = {};
    for (int i = 0; i < 256; ++i) out[i] = static_cast<uint8_t>(i);
    plat_serial_purge(port);
    const uint32_t put = plat_serial_write(port, out, sizeof out);
    const uint32_t back = plat_serial_read(port, in, sizeof in);
    check(put == sizeof out && back == sizeof in && std::memcmp(out, in, sizeof in) == 0,
          "all byte values pass unchanged", std::to_string(put) + " written, " + std::to_string(back) + " read");

    // A purge drops what has arrived and was not read; the near-immediate
    // poll set returns at once on the empty line.
    plat_serial_write(port, out, 16);
    plat_sleep_ms(300);
    plat_serial_purge(port);
    const plat_serial_timeouts poll_set = {1, 1, 1, 0, 0};
    plat_serial_set_timeouts(port, poll_set);
    ULONGLONG start = GetTickCount64();
    check(plat_serial_read(port, in, 16) == 0, "purge discards unread bytes");
    ULONGLONG took = GetTickCount64() - start;
    check(took < 1000, "poll set returns at once", std::to_string(took) + " ms");

    // A silent line ends the read after the total time-out: 200 + 10 x 1 ms.
    const plat_serial_timeouts short_total = {1000, 1, 200, 500, 2000};
    plat_serial_set_timeouts(port, short_total);
    start = GetTickCount64();
    const uint32_t none = plat_serial_read(port, in, 10);
    took = GetTickCount64() - start;
    check(none == 0 && took >= 150 && took < 3000, "total time-out on a silent line",
          std::to_string(took) + " ms");
    plat_serial_close(port);
}

}  // namespace

// The console streams as flint sets them up: text without a line end is not
// held back behind standard error or behind a child's output.
//   win_platform_check.exe --console  prints "partial error\nbefore child\nafter\n"
int console_order() {
    plat_console_init();
    std::printf("partial ");
    std::fputs("error\n", stderr);
    std::printf("before ");
    plat_system("echo child");
    std::printf("after\n");
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--console") == 0) return console_order();
    check_paths();
    check_libraries();
    check_command_interpreter();
    check_port_names();
    if (argc > 1) check_port(argv[1]);
    return failures;
}
