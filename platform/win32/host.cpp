// Win32: this computer's name and whether a process runs.
#include <windows.h>

#include "platform/platform.h"

std::string plat_host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return std::string();
    return std::string(name, size);
}

// A process that cannot be opened for lack of rights runs all the same.
bool plat_process_alive(uint32_t pid) {
    if (pid == 0) return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}
