// The fake serial port, sleep and command interpreter (see fake_platform.h).
#include "fake_platform.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>

#include "platform/platform.h"

namespace fake {
namespace {

struct module_side {
    const uint8_t* stream = nullptr;
    size_t size = 0;
    std::vector<serial_read> reads;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::string> opened;
    std::vector<std::string> commands;
    uint64_t slept = 0;
    plat_serial_timeouts timeouts{};
};

module_side side;
// Any address that is not null serves as the one port.
int port_tag;

size_t take(size_t want) {
    if (want > side.size) want = side.size;
    return want;
}

}  // namespace

void serve(const uint8_t* stream, size_t size) {
    side = module_side{};
    side.stream = stream;
    side.size = size;
}

const std::vector<serial_read>& reads() { return side.reads; }
const std::vector<std::vector<uint8_t>>& writes() { return side.writes; }
const std::vector<std::string>& opened() { return side.opened; }
uint64_t slept_ms() { return side.slept; }
const std::vector<std::string>& commands() { return side.commands; }
plat_serial* port() { return reinterpret_cast<plat_serial*>(&port_tag); }

namespace {
std::string own_folder;
}

void work_in_own_folder(const char* name) {
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    dir += name;
    dir += "-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) std::abort();
    own_folder = dir;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(own_folder, ignored);
    });
}

void quiet_tunerlib_log() {
    if (setenv("TUNERLIB_LOG", "/dev/null", 0) != 0) std::abort();
}

}  // namespace fake

using fake::side;

plat_serial_handle plat_serial_open(const char* name) {
    side.opened.emplace_back(name);
    return fake::port();
}

// tunerlib opens its ports by a wide device path; the path is recorded as
// its UTF-8 text would read ('?' for what is not plain ASCII).
bool plat_serial_port_path(const wchar_t* name, wchar_t* path, size_t cap) {
    const std::wstring p = std::wstring(L"/dev/") + name;
    if (p.size() + 1 > cap) return false;
    std::wmemcpy(path, p.c_str(), p.size() + 1);
    return true;
}

plat_serial_handle plat_serial_open_path(const wchar_t* path) {
    std::string narrow;
    for (const wchar_t* c = path; *c != L'\0'; ++c) narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
    side.opened.push_back(narrow);
    return fake::port();
}

int plat_serial_update_line(plat_serial_handle port, uint32_t baud) { return plat_serial_set_line(port, baud); }

int plat_serial_set_line(plat_serial_handle port, uint32_t baud) {
    return port != nullptr && baud != 0 ? 0 : -1;
}

int plat_serial_set_timeouts(plat_serial_handle port, const plat_serial_timeouts& t) {
    if (port == nullptr) return -1;
    side.timeouts = t;
    return 0;
}

int plat_serial_get_timeouts(plat_serial_handle port, plat_serial_timeouts& t) {
    if (port == nullptr) return -1;
    t = side.timeouts;
    return 0;
}

void plat_serial_purge(plat_serial_handle) {}

uint32_t plat_serial_read(plat_serial_handle port, uint8_t* buf, uint32_t n) {
    fake::serial_read r{n, {}, side.writes.size()};
    if (port != nullptr && side.size != 0) {
        const uint8_t control = *side.stream++;
        --side.size;
        size_t want = n;
        if (control >= 0x80 && (control & 0x7F) < want) want = control & 0x7F;
        want = fake::take(want);
        r.got.assign(side.stream, side.stream + want);
        if (want != 0) std::memcpy(buf, side.stream, want);
        side.stream += want;
        side.size -= want;
    }
    side.reads.push_back(r);
    return static_cast<uint32_t>(r.got.size());
}

uint32_t plat_serial_write(plat_serial_handle port, const uint8_t* buf, uint32_t n) {
    if (port == nullptr) return 0;
    side.writes.emplace_back(buf, buf + n);
    return n;
}

void plat_serial_close(plat_serial_handle) {}

void plat_sleep_ms(uint32_t ms) { side.slept += ms; }

int plat_system(const char* command) {
    side.commands.emplace_back(command);
    return 0;
}

// tunerlib's reads and writes, which report their count through `done`.
int plat_serial_read_some(plat_serial_handle port, uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = plat_serial_read(port, buf, n);
    return 0;
}

int plat_serial_write_some(plat_serial_handle port, const uint8_t* buf, uint32_t n, uint32_t* done) {
    *done = plat_serial_write(port, buf, n);
    return 0;
}

void plat_serial_purge_input(plat_serial_handle, bool) {}

// The fake port never fails, so there is no error number to give.
uint32_t plat_last_error() { return 0; }
