#include "tools/vmodule/memory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/crc16.h"

namespace {

constexpr uint32_t kCrcStep = 0x8000;  // crc16() takes at most 65535 bytes a call
constexpr size_t kFillChunk = 0x10000;

std::string sys_error(const std::string& what, const std::string& file) {
    return what + " " + file + ": " + std::strerror(errno);
}

// Extends the file to `size` bytes, writing `fill` into the new part.
bool extend_file(int fd, off_t from, off_t size, uint8_t fill) {
    uint8_t chunk[kFillChunk];
    std::memset(chunk, fill, sizeof chunk);
    for (off_t at = from; at < size;) {
        size_t n = static_cast<size_t>(size - at) < sizeof chunk ? static_cast<size_t>(size - at) : sizeof chunk;
        ssize_t w = pwrite(fd, chunk, n, at);
        if (w <= 0) return false;
        at += w;
    }
    return true;
}

}  // namespace

nv_store::~nv_store() {
    if (data_) {
        sync();
        munmap(data_, size_);
    }
}

std::string nv_store::open(const std::string& file, uint32_t base, uint32_t size, uint8_t fill) {
    base_ = base;
    size_ = size;
    if (size == 0) return "size 0 is not a store";
    if (static_cast<uint64_t>(base) + size > 0x100000000ull) return "store passes the end of the 32-bit address space";
    void* map = MAP_FAILED;
    if (file.empty()) {
        map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return sys_error("cannot allocate", "memory");
        std::memset(map, fill, size);
    } else {
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return sys_error("cannot open", file);
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            std::string why = sys_error("cannot stat", file);
            close(fd);
            return why;
        }
        if (st.st_size < static_cast<off_t>(size) && !extend_file(fd, st.st_size, size, fill)) {
            std::string why = sys_error("cannot extend", file);
            close(fd);
            return why;
        }
        map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        std::string why = map == MAP_FAILED ? sys_error("cannot map", file) : "";
        close(fd);
        if (map == MAP_FAILED) return why;
    }
    data_ = static_cast<uint8_t*>(map);
    return "";
}

void nv_store::sync() {
    if (data_) msync(data_, size_, MS_SYNC);
}

bool nv_store::contains(uint32_t addr, uint64_t len) const {
    return addr >= base_ && static_cast<uint64_t>(addr) - base_ + len <= size_;
}

void nv_store::erase(uint32_t addr, uint32_t len) {
    std::memset(at(addr), 0xFF, len);
}

void nv_store::program(uint32_t addr, const uint8_t* bytes, uint32_t len) {
    uint8_t* cell = at(addr);
    for (uint32_t i = 0; i < len; ++i) cell[i] &= bytes[i];
}

void nv_store::burn(uint32_t addr, const uint8_t* bytes, uint32_t len) {
    uint8_t* cell = at(addr);
    for (uint32_t i = 0; i < len; ++i) cell[i] |= bytes[i];
}

uint16_t crc16_range(const uint8_t* bytes, uint32_t len) {
    uint16_t crc = 0;
    for (uint32_t done = 0; done < len;) {
        uint32_t n = len - done < kCrcStep ? len - done : kCrcStep;
        crc = crc16(crc, bytes + done, n);
        done += n;
    }
    return crc;
}
