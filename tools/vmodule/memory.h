// The module's non-volatile stores: internal flash, external flash, eFuse.
// Each is a file mapped MAP_SHARED (so tests can preload and inspect it while
// the module runs) or anonymous memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class nv_store {
public:
    nv_store() = default;
    ~nv_store();
    nv_store(const nv_store&) = delete;
    nv_store& operator=(const nv_store&) = delete;

    // Maps `size` bytes of `file` ("" for anonymous memory). A missing or
    // shorter file is created or extended and the new bytes are set to `fill`.
    // "" on success, else the reason.
    std::string open(const std::string& file, uint32_t base, uint32_t size, uint8_t fill);
    void sync();

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    // True when [addr, addr + len) lies inside the store (len 0 included).
    bool contains(uint32_t addr, uint64_t len) const;
    uint8_t* at(uint32_t addr) { return data_ + (addr - base_); }
    const uint8_t* at(uint32_t addr) const { return data_ + (addr - base_); }

    // NOR semantics: erase sets the cells to 0xFF, program can only clear bits.
    void erase(uint32_t addr, uint32_t len);
    void program(uint32_t addr, const uint8_t* bytes, uint32_t len);
    // eFuse semantics: burning can only set bits.
    void burn(uint32_t addr, const uint8_t* bytes, uint32_t len);

private:
    uint8_t* data_ = nullptr;
    uint32_t base_ = 0;
    uint32_t size_ = 0;
};

// CRC-16/ARC of `len` bytes, for ranges of any length.
uint16_t crc16_range(const uint8_t* bytes, uint32_t len);
