// The operating-system boundary. Everything that needs an OS header lives
// behind these functions; platform/posix/ and platform/win32/ implement them.
// On Windows they call the Win32 functions the tool has always used; on Linux
// they reproduce the same observable behaviour.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------- serial port

struct plat_serial;                      // opaque, one per open port
using plat_serial_handle = plat_serial*; // nullptr is the invalid handle

// The Win32 COMMTIMEOUTS record, field for field, in milliseconds.
struct plat_serial_timeouts {
    uint32_t read_interval;
    uint32_t read_multiplier;
    uint32_t read_constant;
    uint32_t write_multiplier;
    uint32_t write_constant;
};

// Opens a port by the name the user gave: "COM6" (Windows name; on Linux
// mapped as Wine maps it), a device path beginning with '/' (Linux), or a name
// beginning with a backslash (used unchanged on Windows). Exclusive, read and
// write. nullptr when the port cannot be opened; prints nothing.
plat_serial_handle plat_serial_open(const char* name);

// Raw 8N1 at `baud` (any integer rate), no flow control, DTR and RTS off.
// Built from nothing: the port's current settings are not read. 0 or -1.
int plat_serial_set_line(plat_serial_handle port, uint32_t baud);

// Installs / reads the time-out record. A read of n bytes then returns as soon
// as n bytes are there, when the gap between two bytes exceeds read_interval
// (once a first byte arrived), or when read_constant + n * read_multiplier ms
// have passed. 0 or -1.
int plat_serial_set_timeouts(plat_serial_handle port, const plat_serial_timeouts& t);
int plat_serial_get_timeouts(plat_serial_handle port, plat_serial_timeouts& t);

// Discards both directions' buffered bytes.
void plat_serial_purge(plat_serial_handle port);

// One blocking read / write bounded by the time-outs. Returns the count moved,
// 0 on failure or on an invalid handle.
uint32_t plat_serial_read(plat_serial_handle port, uint8_t* buf, uint32_t n);
uint32_t plat_serial_write(plat_serial_handle port, const uint8_t* buf, uint32_t n);

void plat_serial_close(plat_serial_handle port);

// ---------------------------------------------------------------- console

// Sets up standard output and standard error so that output appears line by
// line and a line written to standard error after standard output text
// appears after that text, whether the streams go to a console, a pipe or a
// file. Called once at start, before anything is printed.
void plat_console_init();

// ---------------------------------------------------------------- process

void plat_sleep_ms(uint32_t ms);

// Hands a command line to the system's command interpreter; its result.
int plat_system(const char* command);

// '\\' on Windows, '/' elsewhere: joins a folder and a file name.
char plat_path_separator();

// The program's own file ("" when unknown).
std::string plat_exe_path();

// The temporary folder, ending with the path separator.
std::string plat_temp_dir();

uint32_t plat_process_id();

// Creates one folder; 0 on success (also when it already exists), -1 otherwise.
int plat_make_dir(const char* path);

// ---------------------------------------------------------------- libraries

void* plat_load_library(const char* path);          // nullptr on failure
void* plat_library_symbol(void* lib, const char* name);
// An error box on Windows; one line on standard error elsewhere.
void plat_error_box(const char* title, const char* text);

// ---------------------------------------------------------------- message socket
// A connected SOCK_SEQPACKET Unix socket: one message per send and per
// receive. Used by the USB access object's "sim:" backend to talk to the
// virtual module. Not available on Windows (connect fails).

// False where the platform has no such sockets.
bool plat_msgsock_available();
int plat_msgsock_connect(const char* path);  // descriptor, or -1
// Sends one message; 0 when all bytes went as one message, -1 otherwise.
int plat_msgsock_send(int sock, const uint8_t* buf, uint32_t n);
// Receives one message into buf (at most cap bytes), waiting at most
// timeout_ms. Returns the message length, or -1 on failure or time-out.
int32_t plat_msgsock_recv(int sock, uint8_t* buf, uint32_t cap, uint32_t timeout_ms);
void plat_msgsock_close(int sock);

// ---------------------------------------------------------------- child processes
// Programs run side by side (flint-gang): started with their output in a file
// of their own, waited for together, stopped on request.

struct plat_child;                     // opaque, one per started program
using plat_child_handle = plat_child*; // nullptr is the invalid handle

struct plat_child_spec {
    std::string program;               // the program file
    std::vector<std::string> args;     // args[0] is the name the child sees
    // Variables set for the child ("NAME", "VALUE"); the rest is inherited.
    std::vector<std::pair<std::string, std::string>> env;
    std::string temp_dir;              // the child's temporary folder ("" keeps the inherited one)
    std::string output_path;           // standard output and standard error, truncated first
};

// Routes the console interrupt (Ctrl-C; SIGINT and SIGTERM on Linux) to
// plat_children_wait instead of ending this process. Called once, before the
// first child starts; children start with the default handling.
void plat_children_init();

// Starts a child with standard input from the null device; nullptr and the
// reason in *error when it cannot be started.
plat_child_handle plat_child_start(const plat_child_spec& spec, std::string* error);

enum plat_wait_result { PLAT_WAIT_ENDED, PLAT_WAIT_TIMEOUT, PLAT_WAIT_INTERRUPTED };

// Blocks until one of the `count` children ends (PLAT_WAIT_ENDED, its index in
// *ended), the console interrupt arrives, or timeout_ms passes. At most 64
// children.
plat_wait_result plat_children_wait(plat_child_handle* children, size_t count, uint32_t timeout_ms,
                                    size_t* ended);

// How an ended child ended: its exit code, or (Linux) the signal that ended it.
struct plat_child_status {
    bool exited;      // false: ended by a signal
    int32_t code;     // the exit code as the system reports it (Linux 0..255)
    int signal;       // the signal, when !exited
};
// After plat_children_wait named the child; false while it still runs.
bool plat_child_status_of(plat_child_handle child, plat_child_status* status);

// Asks a running child to end (SIGTERM); `force` ends it at once (SIGKILL,
// TerminateProcess).
void plat_child_stop(plat_child_handle child, bool force);

// Releases an ended child's handle.
void plat_child_release(plat_child_handle child);

// True when standard output is a terminal that understands the cursor
// movements used to redraw lines in place.
bool plat_stdout_is_terminal();
