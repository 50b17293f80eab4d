// Win32 child processes: CreateProcessA with the output going through a pipe
// to a thread that writes it into the child's file (and notes a failed
// write), WaitForMultipleObjects over the children's process handles, and a
// console control handler that turns Ctrl-C into an event to wait for.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/system_error.h"

// The copy of a child's output into its file.
struct output_copy {
    HANDLE pipe = nullptr;  // read end; the child holds the write end
    HANDLE file = nullptr;
    std::string error;      // the first failed write (or close); read after the thread ended
};

struct plat_child {
    HANDLE process;
    HANDLE copier;
    output_copy* output;
};

namespace {

// Set by the console control handler; read by plat_children_wait.
volatile LONG console_interrupted = 0;

// The interrupt is looked at between waits of this length at most.
constexpr DWORD INTERRUPT_POLL_MS = 100;
// A closed console (or a logoff or shutdown) ends this process as soon as
// the handler returns, and at the latest after about 5 s: the handler holds
// on longer than that, so the main thread can stop the children, remove
// their folders and print the summary; its end ends the process.
constexpr DWORD CLOSE_HOLD_MS = 10000;

BOOL WINAPI on_console_control(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&console_interrupted, 1);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&console_interrupted, 1);
        Sleep(CLOSE_HOLD_MS);
        return TRUE;
    default:
        return FALSE;
    }
}

// One argument quoted as the C runtime reads it back: backslashes are
// literal unless they precede a quote.
void append_quoted(std::string& line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') line.append(backslashes * 2 + 1, '\\');
        else line.append(backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// This process's environment block with the given variables replaced or
// added (names compared without regard to case, as Windows does).
std::string environment_block(const std::vector<std::pair<std::string, std::string>>& set) {
    std::string block;
    char* current = GetEnvironmentStringsA();
    for (const char* e = current; e != nullptr && *e != '\0'; e += std::strlen(e) + 1) {
        const char* eq = std::strchr(e + 1, '=');  // names of drive variables begin with '='
        const std::string name(e, eq != nullptr ? static_cast<size_t>(eq - e) : std::strlen(e));
        bool replaced = false;
        for (const auto& v : set) replaced = replaced || lstrcmpiA(v.first.c_str(), name.c_str()) == 0;
        if (!replaced) block.append(e, std::strlen(e) + 1);
    }
    if (current != nullptr) FreeEnvironmentStringsA(current);
    for (const auto& v : set) {
        block += v.first + "=" + v.second;
        block += '\0';
    }
    block += '\0';
    return block;
}

std::string last_error_text() { return win32_error_text(GetLastError()); }

// How long the copy may go on once the child has ended (a grandchild may
// still hold the pipe open; what it writes later is not waited for).
constexpr DWORD COPY_DRAIN_MS = 2000;

// Copies until every writer has closed the pipe; after a failed write the
// rest is still taken in, so the child never blocks.
DWORD WINAPI copy_output(void* param) {
    output_copy* copy = static_cast<output_copy*>(param);
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(copy->pipe, buf, sizeof buf, &got, nullptr) && got > 0) {
        DWORD put = 0;
        for (DWORD at = 0; copy->error.empty() && at < got; at += put)
            if (!WriteFile(copy->file, buf + at, got - at, &put, nullptr) || put == 0) copy->error = last_error_text();
    }
    if (!CloseHandle(copy->file) && copy->error.empty()) copy->error = last_error_text();
    CloseHandle(copy->pipe);
    return 0;
}

// Waits for the copy to finish: its read is cancelled when the pipe stays
// open too long after the child's end.
// A copy that does not end even then keeps its record (it is never freed).
void finish_copy(plat_child* child) {
    if (child->copier == nullptr) return;
    if (WaitForSingleObject(child->copier, COPY_DRAIN_MS) == WAIT_TIMEOUT) {
        CancelSynchronousIo(child->copier);
        if (WaitForSingleObject(child->copier, COPY_DRAIN_MS) == WAIT_TIMEOUT) child->output = nullptr;
    }
    CloseHandle(child->copier);
    child->copier = nullptr;
}

}  // namespace

void plat_children_init() { SetConsoleCtrlHandler(on_console_control, TRUE); }

plat_child_handle plat_child_start(const plat_child_launch& launch, std::string* error) {
    // Only the child's own output file and null input are inheritable while
    // it starts, and they are closed here right after: a child never holds
    // another child's log open.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileA(launch.output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        if (error) *error = launch.output_path + ": " + last_error_text();
        return nullptr;
    }
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE pipe_read = nullptr, pipe_write = nullptr;
    if (!CreatePipe(&pipe_read, &pipe_write, &inherit, 0) ||
        !SetHandleInformation(pipe_read, HANDLE_FLAG_INHERIT, 0) || !SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0)) {
        if (error) *error = "pipe: " + last_error_text();
        for (HANDLE h : {pipe_read, pipe_write, out, in})
            if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return nullptr;
    }

    std::string line;
    for (size_t i = 0; i < launch.args.size(); ++i) {
        if (i > 0) line += ' ';
        append_quoted(line, launch.args[i]);
    }
    std::vector<std::pair<std::string, std::string>> set = launch.env;
    if (!launch.temp_dir.empty()) {
        set.emplace_back("TMP", launch.temp_dir);
        set.emplace_back("TEMP", launch.temp_dir);
    }
    std::string env = environment_block(set);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in != INVALID_HANDLE_VALUE ? in : nullptr;
    si.hStdOutput = pipe_write;
    si.hStdError = pipe_write;
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessA(launch.program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, &env[0], nullptr,
                                   &si, &pi);
    const std::string reason = ok ? std::string() : last_error_text();
    CloseHandle(pipe_write);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (!ok) {
        CloseHandle(pipe_read);
        CloseHandle(out);
        if (error) *error = launch.program + ": " + reason;
        return nullptr;
    }
    CloseHandle(pi.hThread);
    output_copy* copy = new output_copy{pipe_read, out, std::string()};
    HANDLE copier = CreateThread(nullptr, 0, copy_output, copy, 0, nullptr);
    if (copier == nullptr) {  // the child's output would go nowhere: it does not run
        if (error) *error = "output copy: " + last_error_text();
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        CloseHandle(pipe_read);
        CloseHandle(out);
        delete copy;
        return nullptr;
    }
    return new plat_child{pi.hProcess, copier, copy};
}

plat_wait_result plat_children_wait(plat_child_handle* children, size_t count, uint32_t timeout_ms,
                                    size_t* ended) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    size_t index[MAXIMUM_WAIT_OBJECTS];
    DWORD n = 0;
    for (size_t i = 0; i < count && n < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (children[i] == nullptr) continue;
        handles[n] = children[i]->process;
        index[n++] = i;
    }
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        if (InterlockedExchange(&console_interrupted, 0) != 0) return PLAT_WAIT_INTERRUPTED;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return PLAT_WAIT_TIMEOUT;
        const DWORD slice = static_cast<DWORD>(deadline - now < INTERRUPT_POLL_MS ? deadline - now : INTERRUPT_POLL_MS);
        if (n == 0) {
            Sleep(slice);
            continue;
        }
        const DWORD r = WaitForMultipleObjects(n, handles, FALSE, slice);
        if (r < WAIT_OBJECT_0 + n) {
            *ended = index[r - WAIT_OBJECT_0];
            return PLAT_WAIT_ENDED;
        }
        if (r == WAIT_FAILED) return PLAT_WAIT_TIMEOUT;
    }
}

bool plat_child_status_of(plat_child_handle child, plat_child_status* status) {
    if (child == nullptr || WaitForSingleObject(child->process, 0) != WAIT_OBJECT_0) return false;
    finish_copy(child);
    status->output_error = child->output != nullptr ? child->output->error : PLAT_OUTPUT_HELD;
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    status->exited = true;
    status->code = static_cast<int32_t>(code);
    status->signal = 0;
    return true;
}

void plat_child_stop(plat_child_handle child, bool) {
    // Windows has no polite request to a console program that is not ours:
    // the process is ended.
    if (child != nullptr) TerminateProcess(child->process, 1);
}

void plat_child_release(plat_child_handle child) {
    if (child == nullptr) return;
    finish_copy(child);
    CloseHandle(child->process);
    delete child->output;
    delete child;
}

bool plat_stdout_is_terminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
