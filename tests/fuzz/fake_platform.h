// The fuzz targets' platform: a serial port whose answers come from the fuzz
// input, a sleep that only counts, and a command interpreter that only
// records. Everything else of the platform is the real one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct plat_serial;

namespace fake {

// Reads the fuzz input from the front: bytes, little-endian words, the rest.
class input {
public:
    input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    uint8_t u8() { return n_ != 0 ? (--n_, *p_++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    // Up to n bytes (fewer when the input ends).
    std::vector<uint8_t> bytes(size_t n) {
        if (n > n_) n = n_;
        std::vector<uint8_t> b(p_, p_ + n);
        p_ += n;
        n_ -= n;
        return b;
    }
    std::vector<uint8_t> rest() { return bytes(n_); }
    const uint8_t* data() const { return p_; }
    size_t size() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

// What the module answers: each read of the serial port takes one record of
// the stream. A record is a control byte and then the answer bytes: below
// 0x80 the read gets all the bytes it asks for (as far as the stream goes);
// from 0x80 it gets at most (control & 0x7F) bytes, as when the module falls
// silent inside an answer. An ended stream is a module that says nothing.
struct serial_read {
    uint32_t asked;
    std::vector<uint8_t> got;
    size_t writes_before;  // writes made before this read
};

// Starts a new module behind the port (the port counts as open).
void serve(const uint8_t* stream, size_t size);
// Every read and write since serve(), in order.
const std::vector<serial_read>& reads();
const std::vector<std::vector<uint8_t>>& writes();
// The ports opened, the line rates set, the sleeps and the command lines
// handed to the interpreter since serve().
const std::vector<std::string>& opened();
uint64_t slept_ms();
const std::vector<std::string>& commands();

// Makes a fresh folder (in memory where the machine allows it) the working
// folder for the rest of the process, removed with its files at exit: for
// targets that read or write files by name.
void work_in_own_folder(const char* name);

// tunerlib's log lines go to /dev/null unless TUNERLIB_LOG is set (they
// would go to syslog); call from LLVMFuzzerInitialize.
void quiet_tunerlib_log();

// A port handle that is never a real one.
plat_serial* port();

}  // namespace fake
