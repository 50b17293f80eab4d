// What every flash command shares: the opening of a handler (connection
// guard, word count, usage text), number parsing, the messages and results
// of reading a file, and the one way to get a payload buffer.
#pragma once
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/flash_ops.h"

// ---------------------------------------------------------------- opening

// The shape of a command line as its handler accepts it.
struct cmd_form {
    const char* usage;      // printed when the word count is wrong
    int32_t min_words;      // counting the command word itself
    int32_t max_words;
    bool guarded;           // the connection guard runs first
    int32_t usage_result;   // what the handler returns after the usage text
};

constexpr int32_t CMD_ANY_WORDS = 8;   // a line holds at most 8 words
constexpr int32_t CMD_USAGE_RESULT = 1;

// A guarded command of exactly `words` words (the command word included).
constexpr cmd_form cmd_exactly(const char* usage, int32_t words) {
    return {usage, words, words, true, CMD_USAGE_RESULT};
}

// A guarded command of at least `words` words.
constexpr cmd_form cmd_at_least(const char* usage, int32_t words) {
    return {usage, words, CMD_ANY_WORDS, true, CMD_USAGE_RESULT};
}

// The opening of every flash command: the connection guard (when the form
// asks for it), then the word count, printing the usage text when it is
// wrong. 0 when the handler goes on; otherwise the result to return.
int32_t cmd_opening(const cmd_form& form, int32_t argc);

// Prints a usage text on standard output.
void cmd_usage(const char* usage);

// The opening, then the slot of the table in force that the command needs:
// the operation, or nullptr with *result set to what the handler returns.
template <auto Slot>
auto cmd_open_slot(const cmd_form& form, int32_t argc, int32_t* result) {
    *result = cmd_opening(form, argc);
    decltype(ops_get<Slot>()) op = nullptr;
    if (*result != 0) return op;
    op = ops_get<Slot>();
    if (op == nullptr) *result = OPS_UNAVAILABLE;
    return op;
}

// The opening, then a call of a slot whose arguments do not come from the
// command's words.
template <auto Slot, typename... Args>
int32_t cmd_run_slot(const cmd_form& form, int32_t argc, Args... args) {
    const int32_t result = cmd_opening(form, argc);
    return result != 0 ? result : ops_call<Slot>(args...);
}

// ---------------------------------------------------------------- numbers

// The conversions behave alike on every platform, as they do where long is
// 32 bits wide: a value beyond 32 bits saturates instead of losing its upper
// digits, so a mistyped 9-digit address never becomes a different address
// inside the flash.

// Addresses and sizes: hexadecimal, "0x" optional; conversion stops at the
// first character that is no hex digit, so a word that is no number is 0.
// A leading "-" negates modulo 2^32; beyond 32 bits the value is 0xFFFFFFFF.
inline uint32_t cmd_hex(const char* text) {
    unsigned long long value = std::strtoull(text, nullptr, 16);
    const char* first = text;
    while (std::isspace(static_cast<unsigned char>(*first))) ++first;
    unsigned long long magnitude = *first == '-' ? 0ULL - value : value;
    return magnitude > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Baud rates, speeds and program modes: signed decimal, stopping at the first
// non-digit (a word that is no number is 0), held to the signed 32-bit range.
inline uint32_t cmd_dec(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// ---------------------------------------------------------------- buffers

// A zero-filled buffer of `size` bytes (at least one), or null when out of
// memory. calloc: the pages are only touched as a read fills them.
using cmd_bytes = std::unique_ptr<uint8_t, decltype(&std::free)>;

inline cmd_bytes cmd_no_bytes() { return cmd_bytes(nullptr, &std::free); }

// The one way to get a payload buffer: null after "%s: not enough memory for
// %u bytes\n" (with the command word) when memory runs out; never throws.
cmd_bytes cmd_buffer(const char* command, uint64_t size);

// ---------------------------------------------------------------- files

extern const char* const MSG_OPEN_FAILS;        // "open %s fails\n"
extern const char* const MSG_FILE_SIZE;         // "file size: %lld\n"
extern const char* const MSG_IMAGE_TOO_LARGE;   // "%s is larger than 4 GiB, nothing was sent\n"
extern const char* const MSG_NOT_REGULAR;       // "%s is not a regular file (...); give the path of a file\n"

// An input file opened for reading, closed when it goes out of scope. Only
// a regular file is opened: a FIFO, a device or a folder would block, yield
// endless bytes or nothing, so it is not opened at all.
class cmd_file {
public:
    explicit cmd_file(const char* path);
    ~cmd_file();
    cmd_file(const cmd_file&) = delete;
    cmd_file& operator=(const cmd_file&) = delete;

    bool is_open() const { return f_ != nullptr; }
    // Says why the file is not open: "open %s fails\n", or that the path
    // names no regular file.
    void report_not_open() const;
    FILE* get() const { return f_; }
    const char* path() const { return path_; }

    // `n` bytes from `offset` into a new buffer. Null after a message when
    // memory runs out (cmd_buffer's, with `command`) or the file cannot be
    // read (`read_fails`, a format with the path).
    cmd_bytes read(const char* command, uint64_t offset, uint32_t n, const char* read_fails) const;

private:
    const char* path_;
    bool regular_;
    FILE* f_;
};

// Refuses, after a message naming the command, an output path that exists
// but is no regular file (writing to a FIFO would block). true when the
// path may be created or overwritten.
bool cmd_output_path_usable(const char* command, const char* path);

// True when [addr, addr + size) lies below 4 GiB; else false after a
// message naming the command. Checked before anything goes to the module.
bool cmd_range_fits(const char* command, uint32_t addr, uint64_t size);

// Result of a command whose range runs past 0xFFFFFFFF.
constexpr int32_t CMD_RANGE_REFUSED = -1;
