// The calibration library's log lines on Linux: UTF-8 to standard error, to a
// file, or to syslog at debug priority (the nearest thing to a debugger's
// output), as TUNERLIB_LOG says. Written with one write() each, never through
// standard output.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/wide_text.h"

namespace {

const char* const LOG_VARIABLE = "TUNERLIB_LOG";
const char* const LOG_TO_STDERR = "stderr";

void write_all(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t w = write(fd, text.data() + at, text.size() - at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        at += static_cast<size_t>(w);
    }
}

}  // namespace

void plat_debug_output(const wchar_t* line) {
    std::string text;
    if (line == nullptr) return;
    if (!posix_utf8(line, text)) {
        // A value that is no character shows as U+FFFD; the line still goes out.
        text.clear();
        for (const wchar_t* p = line; *p != L'\0'; ++p) {
            const uint32_t c = static_cast<uint32_t>(*p);
            const wchar_t one[2] = {(c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? L'\uFFFD' : *p, L'\0'};
            std::string part;
            posix_utf8(one, part);
            text += part;
        }
    }
    const int saved = errno;
    const char* target = std::getenv(LOG_VARIABLE);
    if (target == nullptr || *target == '\0') {
        std::string message = text;
        while (!message.empty() && message.back() == '\n') message.pop_back();
        syslog(LOG_USER | LOG_DEBUG, "%s", message.c_str());
    } else if (std::strcmp(target, LOG_TO_STDERR) == 0) {
        write_all(STDERR_FILENO, text);
    } else {
        const int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            write_all(fd, text);
            close(fd);
        }
    }
    errno = saved;
}
