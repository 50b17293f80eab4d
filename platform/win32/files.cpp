// Files on Windows: what a path names and the size of an open file. A path
// is a regular file when it exists, is no folder, and opens (without any
// access right, so nothing waits) as a disk file: device names such as NUL
// or COM1, pipes and consoles are not.
#include <windows.h>
#include <io.h>

#include "platform/platform.h"

plat_file_kind plat_path_kind(const char* path) {
    if (path == nullptr) return plat_file_kind::missing;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return plat_file_kind::missing;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return plat_file_kind::other;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return plat_file_kind::other;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type == FILE_TYPE_DISK ? plat_file_kind::regular : plat_file_kind::other;
}

int64_t plat_file_size(std::FILE* f) {
    if (f == nullptr) return -1;
    const long long size = _filelengthi64(_fileno(f));
    return size < 0 ? -1 : static_cast<int64_t>(size);
}

int plat_replace_file(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}
