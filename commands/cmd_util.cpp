#include "commands/cmd_util.h"

#include <climits>

#include "commands/connection.h"
#include "platform/console.h"

const char* const MSG_OPEN_FAILS = "open %s fails\n";
const char* const MSG_FILE_SIZE = "file size: %d\n";
const char* const MSG_IMAGE_TOO_LARGE = "%s is larger than 4 GiB, nothing was sent\n";

namespace {

const char* const MSG_NO_MEMORY = "%s: not enough memory for %llu bytes\n";

}  // namespace

void cmd_usage(const char* usage) { std::fputs(usage, stdout); }

int32_t cmd_opening(const cmd_form& form, int32_t argc) {
    if (form.guarded) {
        const int32_t guard = connection_guard();
        if (guard != 0) return guard;
    }
    if (argc >= form.min_words && argc <= form.max_words) return 0;
    cmd_usage(form.usage);
    return form.usage_result;
}

cmd_bytes cmd_buffer(const char* command, uint64_t size) {
    void* p = size <= SIZE_MAX ? std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1) : nullptr;
    if (p == nullptr) con_err(MSG_NO_MEMORY, command, static_cast<unsigned long long>(size));
    return cmd_bytes(static_cast<uint8_t*>(p), &std::free);
}

cmd_file::cmd_file(const char* path) : path_(path), f_(std::fopen(path, "rb")) {}

cmd_file::~cmd_file() {
    if (f_ != nullptr) std::fclose(f_);
}

cmd_bytes cmd_file::read(const char* command, uint64_t offset, uint32_t n,
                         const char* read_fails) const {
    cmd_bytes bytes = cmd_buffer(command, n);
    if (bytes == nullptr) return bytes;
    const bool placed = offset <= LONG_MAX && std::fseek(f_, static_cast<long>(offset), SEEK_SET) == 0;
    if (!placed || std::fread(bytes.get(), 1, n, f_) != n) {
        con_err(read_fails, path_);
        bytes.reset();
    }
    return bytes;
}
