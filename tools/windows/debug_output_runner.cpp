// debug_output_runner PROGRAM [ARGS...]: runs PROGRAM as a debugger would and
// prints every string it sends to the debugger output (OutputDebugStringW /
// OutputDebugStringA) on standard output, exactly as sent, while PROGRAM's
// own standard streams are inherited. The program waits while its string is
// printed, so both appear in the order in which the program produced them.
// Exit code: PROGRAM's. Used by the tests to see tunerlib's log lines under
// Wine.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The command line of the child: the runner's own arguments after its name,
// each quoted.
std::wstring child_command_line(int argc, wchar_t** argv) {
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += L' ';
        line += L'"';
        line += argv[i];
        line += L'"';
    }
    return line;
}

void print_utf8(const std::wstring& text) {
    if (text.empty()) return;
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

void print_debug_string(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    const size_t units = info.nDebugStringLength;
    if (units == 0) return;
    if (info.fUnicode) {
        std::vector<wchar_t> buf(units + 1, L'\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, buf.data(), units * sizeof(wchar_t), &got);
        print_utf8(std::wstring(buf.data()));
    } else {
        std::vector<char> buf(units + 1, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, buf.data(), units, &got);
        const std::string text(buf.data());
        const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
        print_utf8(wide);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: debug_output_runner PROGRAM [ARGS...]\n");
        return 2;
    }
    std::wstring line = child_command_line(argc, argv);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                        &si, &pi)) {
        std::fprintf(stderr, "debug_output_runner: cannot start the program (%lu)\n", GetLastError());
        return 2;
    }
    DWORD exit_code = 1;
    for (;;) {
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, INFINITE)) break;
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            print_debug_string(pi.hProcess, ev.u.DebugString);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The first breakpoint is the debugger's own; every other
            // exception goes back to the program.
            if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exit_code = ev.u.ExitProcess.dwExitCode;
            break;
        default:
            break;
        }
        const bool done = ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && ev.dwProcessId == pi.dwProcessId;
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
        if (done) break;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(exit_code);
}
