// The operating-system boundary. Everything that needs an OS header lives
// behind these functions; platform/posix/ and platform/win32/ implement them.
// On Windows they call the Win32 functions the tool has always used; on Linux
// they reproduce the same observable behaviour.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

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

// Removes a folder with everything in it (symbolic links inside are removed,
// not followed); 0 also when it did not exist, -1 when something stays.
int plat_remove_tree(const char* path);

// The system's number for the last failed call (errno; GetLastError on Windows).
unsigned long plat_error_number();

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
