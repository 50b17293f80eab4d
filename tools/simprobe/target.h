// The simulated target: a Cortex-M0 with RAM at the three device families'
// addresses, its core registers, and a flash array that only the loader
// reaches. A loader image written to the start of a RAM block and started
// there (PC at the block, both stack pointers at its top) serves the mailbox
// at block + 0x2000 each time the CPU is let run.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sim_ram {
    uint32_t base;
    std::vector<uint8_t> bytes;
};

class sim_target {
public:
    static constexpr uint32_t RAM_SIZE = 0x10000;
    static constexpr uint32_t MAILBOX_OFFSET = 0x2000;
    static constexpr uint32_t MAILBOX_HEADER = 12;
    static constexpr uint32_t MAILBOX_DATA = 0xC000;
    static constexpr uint32_t PAGE_SIZE = 0x1000;
    static constexpr uint8_t ERASED = 0xFF;
    static constexpr uint32_t STATUS_REFUSED = 1;  // the loader's answer to a request it cannot do
    static constexpr int REG_COUNT = 32;
    static constexpr int REG_PC = 15;
    static constexpr int REG_MSP = 17;
    static constexpr int REG_PSP = 18;

    // `note` receives one line for every request the loader serves.
    sim_target(uint32_t flash_base, uint32_t flash_size, uint32_t forced_status,
               std::function<void(const std::string&)> note);

    // Memory through the debug port: RAM only. Bytes done, or -1 when the
    // range is not inside one RAM block.
    int write(uint32_t addr, uint32_t count, const uint8_t* data);
    int read(uint32_t addr, uint32_t count, uint8_t* dest) const;

    bool halted() const { return halted_; }
    void halt() { halted_ = true; }
    // Lets the CPU run from the PC. A loader that runs serves its mailbox.
    void go();
    // Core reset: registers cleared, the loader stops, the CPU runs its ROM.
    void reset();
    // Core registers can be written while the CPU is halted.
    bool write_reg(int index, uint32_t value);
    uint32_t reg(int index) const { return regs_[index]; }

    bool loader_running() const { return loader_ != nullptr; }

    // The flash array, and the range the last request changed (for write-back).
    uint32_t flash_base() const { return flash_base_; }
    std::vector<uint8_t>& flash() { return flash_; }
    uint32_t dirty_begin = 0, dirty_end = 0;  // offsets into flash(); equal when nothing changed

private:
    sim_ram* block_at(uint32_t addr, uint32_t count);
    const sim_ram* block_at(uint32_t addr, uint32_t count) const;
    void serve_mailbox();
    uint32_t do_request(uint32_t command, uint32_t addr, uint32_t len, uint8_t* data);
    bool flash_range(uint32_t addr, uint32_t len, uint32_t& offset) const;
    void mark_dirty(uint32_t begin, uint32_t end);

    std::vector<sim_ram> ram_;
    uint32_t regs_[REG_COUNT] = {};
    bool halted_ = false;
    sim_ram* loader_ = nullptr;
    uint32_t flash_base_;
    std::vector<uint8_t> flash_;
    uint32_t forced_status_;
    std::function<void(const std::string&)> note_;
};
