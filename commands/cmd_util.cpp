#include "commands/cmd_util.h"

#include <climits>

#include "commands/connection.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "protocol/flash_limits.h"

const char* const MSG_OPEN_FAILS = "open %s fails\n";
const char* const MSG_FILE_SIZE = "file size: %lld\n";
const char* const MSG_IMAGE_TOO_LARGE = "%s is larger than 4 GiB, nothing was sent\n";
const char* const MSG_NOT_REGULAR =
    "%s is not a regular file (a folder, device or pipe); give the path of a file\n";

namespace {

const char* const MSG_NO_MEMORY = "%s: not enough memory for %llu bytes\n";
const char* const MSG_OUTPUT_NOT_REGULAR =
    "%s: %s is not a regular file (a folder, device or pipe), nothing was written\n";
const char* const MSG_RANGE_PAST_END =
    "%s: 0x%08X + 0x%llX bytes runs past 0xFFFFFFFF, the end of the address space; "
    "nothing was done\n";

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

cmd_file::cmd_file(const char* path)
    : path_(path),
      regular_(plat_path_kind(path) == plat_file_kind::regular),
      f_(regular_ ? std::fopen(path, "rb") : nullptr) {}

void cmd_file::report_not_open() const {
    const bool other = !regular_ && plat_path_kind(path_) == plat_file_kind::other;
    con_err(other ? MSG_NOT_REGULAR : MSG_OPEN_FAILS, path_);
}

bool cmd_output_path_usable(const char* command, const char* path) {
    if (plat_path_kind(path) != plat_file_kind::other) return true;
    con_err(MSG_OUTPUT_NOT_REGULAR, command, path);
    return false;
}

bool cmd_range_fits(const char* command, uint32_t addr, uint64_t size) {
    if (flash_range_fits(addr, size)) return true;
    con_err(MSG_RANGE_PAST_END, command, addr, static_cast<unsigned long long>(size));
    return false;
}

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
