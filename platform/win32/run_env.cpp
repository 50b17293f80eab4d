// Win32 services of the run record: the folder, append-only
// sinks and the console control events.
#include <windows.h>

#include <climits>

#include "platform/platform.h"

struct plat_sink {
    HANDLE handle;
    bool owned;
};

namespace {

volatile LONG interrupt_seen = 0;
HANDLE run_over = nullptr;  // set by plat_interrupt_done

// A closed console, logoff or shutdown ends the process when the handler
// returns: wait (bounded, below the system's own 5 s) for the run to end.
constexpr DWORD CLOSE_WAIT_MS = 4500;

BOOL WINAPI on_control(DWORD event) {
    InterlockedExchange(&interrupt_seen, 1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (run_over != nullptr) WaitForSingleObject(run_over, CLOSE_WAIT_MS);
    }
    return TRUE;
}

}  // namespace

std::string plat_working_dir() {
    char dir[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
    return n > 0 && n < sizeof dir ? std::string(dir, n) : std::string();
}

plat_sink* plat_sink_open(const char* path) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end
    // of the file. Read access only for the lock of plat_sink_write.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : new plat_sink{h, true};
}

plat_sink* plat_sink_inherited(long number) {
    if (number <= 0) return nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(number));
    DWORD flags = 0;
    if (!GetHandleInformation(h, &flags)) return nullptr;
    return new plat_sink{h, false};
}

// Writers sharing a file take turns through a lock on one byte far beyond any
// record file's end: an append is one write at the end on Windows, but not
// every implementation of the call makes it one step (Wine seeks, then writes).
bool plat_sink_write(plat_sink* sink, const char* bytes, size_t n) {
    if (n > MAXDWORD) return false;
    OVERLAPPED turn{};
    turn.OffsetHigh = 0x7FFFFFFF;
    const bool locked = sink->owned && LockFileEx(sink->handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
    DWORD written = 0;
    const bool whole = WriteFile(sink->handle, bytes, static_cast<DWORD>(n), &written, nullptr) && written == n;
    if (locked) UnlockFileEx(sink->handle, 0, 1, 0, &turn);
    return whole;
}

void plat_sink_close(plat_sink* sink) {
    if (sink == nullptr) return;
    if (sink->owned) CloseHandle(sink->handle);
    delete sink;
}

void plat_interrupt_init() {
    run_over = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
}

bool plat_interrupted() { return InterlockedCompareExchange(&interrupt_seen, 0, 0) != 0; }

void plat_interrupt_done() {
    if (run_over != nullptr) SetEvent(run_over);
}
