// The operating-system boundary. Everything that needs an OS header lives
// behind these functions; platform/posix/ and platform/win32/ implement them.
// On Windows they call the Win32 functions the tool has always used; on Linux
// they reproduce the same observable behaviour.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// What a port text names, equal for two spellings of one port: on Linux the
// character device a path leads to (through "..", links and trailing
// separators; a path that leads to none in its normal form, other text as it
// stands), on Windows the name without its device prefix, in lower case.
std::string plat_port_identity(const std::string& port);

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

// Opens standard input, output and error to the null device where they are
// closed, so that no port or file opened later takes their numbers (console
// text would go into it). Called first thing in main.
void plat_standard_streams_open();

// ---------------------------------------------------------------- process

void plat_sleep_ms(uint32_t ms);

// Hands a command line to the system's command interpreter; its result.
int plat_system(const char* command);

// '\\' on Windows, '/' elsewhere: joins a folder and a file name.
char plat_path_separator();

// The last character of `path` that separates folders ('\\' or '/' on
// Windows, where both do; '/' elsewhere), or nullptr when it names no folder.
const char* plat_last_separator(const char* path);

// The short (8.3) name of an existing folder or file on Windows, which holds
// no blank where the volume keeps short names (GetShortPathNameA); the path
// unchanged when there is none, and on every other system.
std::string plat_short_path(const std::string& path);

// The program's own file ("" when unknown).
std::string plat_exe_path();

// The temporary folder, ending with the path separator.
std::string plat_temp_dir();

uint32_t plat_process_id();

// This computer's network name ("" when the system gives none).
std::string plat_host_name();

// Whether a process with this number runs on this computer now.
bool plat_process_alive(uint32_t pid);

// Sets a variable of the process's environment; 0 or -1.
int plat_set_env(const char* name, const char* value);

// Creates one folder; 0 on success (also when it already exists), -1 otherwise.
int plat_make_dir(const char* path);

// Renames file `from` over file `to`, replacing it in one step (an existing
// `to` is either the old file or the new one, never a part); 0 or -1.
int plat_replace_file(const char* from, const char* to);

// Removes a folder with everything in it (symbolic links inside are removed,
// not followed); 0 also when it did not exist, -1 when something stays.
int plat_remove_tree(const char* path);

// ---------------------------------------------------------------- files

// What a path names, found without opening it: opening a FIFO or a device
// can block or yield endless bytes, so only regular files are read or
// written as images, loaders and dumps. A path the program was given as an
// argument that does not hold what was typed (see plat_arg_as_typed) names
// no file: missing.
enum class plat_file_kind { missing, regular, other };
plat_file_kind plat_path_kind(const char* path);

// The program's arguments as main received them, kept for plat_arg_as_typed.
void plat_args_begin(int argc, char** argv);

// False when `text` lies in one of the program's arguments (plat_args_begin)
// and that argument is not what was typed: on Windows the arguments reach
// the program in the ANSI code page, where a character it cannot hold
// becomes "?" or a look-alike ("\u0101" becomes "a"), which could name
// another file. True for any other text, and always on POSIX.
bool plat_arg_as_typed(const char* text);

// The size of an open file in bytes (also beyond 2 GiB), or -1.
int64_t plat_file_size(std::FILE* f);

// ---------------------------------------------------------------- libraries

// Loads a run-time library; nullptr on failure. Then *why (when given) says
// why a file that is there could not be loaded ("" when there is no file).
void* plat_load_library(const char* path, std::string* why = nullptr);
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
// of their own, waited for together, stopped on request. The output reaches
// its file through this process, which notes when the file cannot take it
// all (a full disk): the child never hears of that, the caller does.

struct plat_child;                     // opaque, one per started program
using plat_child_handle = plat_child*; // nullptr is the invalid handle

struct plat_child_launch {
    std::string program;               // the program file
    std::vector<std::string> args;     // args[0] is the name the child sees
    // Variables set for the child ("NAME", "VALUE"); the rest is inherited.
    std::vector<std::pair<std::string, std::string>> env;
    std::string temp_dir;              // the child's temporary folder ("" keeps the inherited one)
    std::string output_path;           // standard output and standard error, truncated first
};

// Routes the console interrupt (Ctrl-C and a closed console; SIGINT, SIGTERM
// and SIGHUP on Linux) to plat_children_wait instead of ending this process,
// and lets writes to a vanished reader fail instead of ending it (SIGPIPE).
// Called once, before the first child starts; children start with the
// default handling.
void plat_children_init();

// Starts a child with standard input from the null device; nullptr and the
// reason in *error when it cannot be started.
plat_child_handle plat_child_start(const plat_child_launch& launch, std::string* error);

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
    std::string output_error;  // why the output file is not whole; "" when it is
};
// The output_error of a child whose output pipe stayed open past the end
// (a program it started may still write): the rest is not waited for.
constexpr const char* PLAT_OUTPUT_HELD = "its output was still being written after its end";
// After plat_children_wait named the child; false while it still runs. Takes
// the rest of the child's output first (for a bounded time).
bool plat_child_status_of(plat_child_handle child, plat_child_status* status);

// Asks a running child to end (SIGTERM); `force` ends it at once (SIGKILL,
// TerminateProcess).
void plat_child_stop(plat_child_handle child, bool force);

// Releases an ended child's handle.
void plat_child_release(plat_child_handle child);

// True when standard output is a terminal that understands the cursor
// movements used to redraw lines in place.
bool plat_stdout_is_terminal();

// ---------------------------------------------------------------- calibration library
// What tunerlib needs beside the serial port above: the Win32 steps of its
// port open one by one (each can fail on its own and is logged with the
// system's error number), reads and writes that tell a failure from a
// time-out, the machine's list of serial ports, and the debug output.

// The system's number for the last failed call (of this section or any
// other): GetLastError() on Windows, errno elsewhere.
uint32_t plat_last_error();

// The device path of a port named as the port list names it: "\\.\NAME" on
// Windows, "/dev/NAME" elsewhere, into `cap` wide characters with its
// terminator. false (nothing written past the end) when it does not fit.
bool plat_serial_port_path(const wchar_t* name, wchar_t* path, size_t cap);

// Opens a device path (wide), read and write, not shared with any other
// handle or program. nullptr on failure (plat_last_error() says why).
plat_serial_handle plat_serial_open_path(const wchar_t* path);

// Reads the port's line settings, sets the rate, 8 data bits, no parity and
// one stop bit, keeps every other setting as read, and writes them back
// (GetCommState / SetCommState; on Linux tcgetattr / tcsetattr, the line
// discipline kept raw as a Windows port has none). 0, or which step failed.
constexpr int PLAT_LINE_READ_FAILED = 1;
constexpr int PLAT_LINE_WRITE_FAILED = 2;
int plat_serial_update_line(plat_serial_handle port, uint32_t baud);

// Discards received bytes not read yet (PURGE_RXCLEAR); with abort_read also
// ends a read still pending on the port (PURGE_RXABORT). Bytes being written
// are left alone.
void plat_serial_purge_input(plat_serial_handle port, bool abort_read);

// plat_serial_read / plat_serial_write that tell a failure from a short
// transfer: 0 with the count moved in *done (fewer than n when the time-outs
// expired), or -1 when the system reported an error (plat_last_error(); a
// line that hung up counts as one).
int plat_serial_read_some(plat_serial_handle port, uint8_t* buf, uint32_t n, uint32_t* done);
int plat_serial_write_some(plat_serial_handle port, const uint8_t* buf, uint32_t n, uint32_t* done);

// The machine's serial ports as a list of (value name, value type, value
// data) entries, read the way the registry's serial device map
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM is read on Windows (RegOpenKeyExW,
// RegQueryInfoKeyW, RegEnumValueW). On Linux the entries come from the
// colon-separated names of TUNERLIB_SERIAL_PORTS when it is set, else from
// the ttys in /sys/class/tty that have a device, in sorted order; each entry
// is named "/dev/NAME", has type 1 (a string) and NAME as its data. Every
// function returns 0 or the system's error code.
struct plat_port_list;
int32_t plat_port_list_open(plat_port_list** list);
int32_t plat_port_list_info(plat_port_list* list, uint32_t* subkeys, uint32_t* values);
// Entry `index`: its name into `name` (*name_chars: in capacity, out length
// without the terminator), its type, and its data into `data` (*data_bytes:
// in capacity, out bytes stored, a wide string's terminator included).
int32_t plat_port_list_value(plat_port_list* list, uint32_t index, wchar_t* name,
                             uint32_t* name_chars, uint32_t* type, uint8_t* data,
                             uint32_t* data_bytes);
void plat_port_list_close(plat_port_list* list);

// Hands one finished log line to the debugger output: OutputDebugStringW on
// Windows. On Linux, as UTF-8: to standard error when TUNERLIB_LOG is
// "stderr", appended to the file that TUNERLIB_LOG names otherwise, and to
// syslog at debug priority when it is unset or empty.
void plat_debug_output(const wchar_t* line);

// ---------------------------------------------------------------- run record
// What flint's run record and live events need of the system.

// The current folder ("" when unknown).
std::string plat_working_dir();

// A place that takes whole pieces of text, each written at the end with
// one write: a file opened for appending (so writers sharing a file never
// interleave a piece), or a descriptor inherited from the parent (on
// Windows a handle value). nullptr when it cannot be opened.
struct plat_sink;
plat_sink* plat_sink_open(const char* path);
plat_sink* plat_sink_inherited(long number);
bool plat_sink_write(plat_sink* sink, const char* bytes, size_t n);
void plat_sink_close(plat_sink* sink);

// The interrupt of a one-shot run: SIGINT, SIGTERM and SIGHUP (on Windows
// Ctrl-C, Ctrl-Break and a closed console, logoff or shutdown) only set a
// flag, which the run tests at its safe points. plat_interrupt_done is
// called at the very end: on Windows a closed console waits for it (a few
// seconds at most), so the run can write its record and remove its files.
void plat_interrupt_init();
bool plat_interrupted();
void plat_interrupt_done();

// The progress line of a terminal: one line on standard output, redrawn in
// place and erased before anything else reaches standard output or standard
// error, so the text around it stays as it is. plat_progress_start is false
// (and nothing is ever drawn) when standard output is no terminal, and on
// Windows, whose console shows no progress line.
bool plat_progress_start();
void plat_progress_draw(const char* text);
void plat_progress_clear();

// ---------------------------------------------------------------- listening socket

// Options for a socket about to listen (the status page's server): the port
// can be taken again at once after this program ends, but never while
// another program listens on it (SO_REUSEADDR on Linux, SO_EXCLUSIVEADDRUSE
// on Windows).
void plat_listen_socket_options(uintptr_t socket);
