// The simulated Cortex-M0 target and the loader that serves its mailbox.
#include "tools/simprobe/target.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// RAM blocks at the device families' load addresses.
const uint32_t RAM_BASES[] = {0x20000000, 0x00200000, 0x10000000};

uint32_t get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string format(const char* fmt, uint32_t a, uint32_t b, uint32_t c) {
    char line[160];
    std::snprintf(line, sizeof line, fmt, a, b, c);
    return line;
}

}  // namespace

sim_target::sim_target(uint32_t flash_base, uint32_t flash_size, uint32_t forced_status,
                       std::function<void(const std::string&)> note)
    : flash_base_(flash_base), flash_(flash_size, ERASED), forced_status_(forced_status), note_(std::move(note)) {
    for (uint32_t base : RAM_BASES) ram_.push_back(sim_ram{base, std::vector<uint8_t>(RAM_SIZE, 0)});
}

sim_ram* sim_target::block_at(uint32_t addr, uint32_t count) {
    for (sim_ram& r : ram_)
        if (addr >= r.base && static_cast<uint64_t>(addr) + count <= static_cast<uint64_t>(r.base) + RAM_SIZE)
            return &r;
    return nullptr;
}

const sim_ram* sim_target::block_at(uint32_t addr, uint32_t count) const {
    return const_cast<sim_target*>(this)->block_at(addr, count);
}

int sim_target::write(uint32_t addr, uint32_t count, const uint8_t* data) {
    sim_ram* r = block_at(addr, count);
    if (r == nullptr) return -1;
    if (count > 0) std::memcpy(r->bytes.data() + (addr - r->base), data, count);
    return static_cast<int>(count);
}

int sim_target::read(uint32_t addr, uint32_t count, uint8_t* dest) const {
    const sim_ram* r = block_at(addr, count);
    if (r == nullptr) return -1;
    if (count > 0) std::memcpy(dest, r->bytes.data() + (addr - r->base), count);
    return static_cast<int>(count);
}

bool sim_target::write_reg(int index, uint32_t value) {
    if (!halted_ || index < 0 || index >= REG_COUNT) return false;
    regs_[index] = value;
    return true;
}

void sim_target::reset() {
    std::fill(std::begin(regs_), std::end(regs_), 0);
    loader_ = nullptr;
    halted_ = false;
}

void sim_target::go() {
    if (!halted_) return;
    halted_ = false;
    if (loader_ == nullptr) {
        // A loader starts when the CPU is let run at the start of a RAM block
        // that holds an image, with both stacks at the block's top.
        sim_ram* r = block_at(regs_[REG_PC], 4);
        if (r == nullptr || regs_[REG_PC] != r->base || regs_[REG_MSP] != r->base + RAM_SIZE ||
            regs_[REG_PSP] != r->base + RAM_SIZE || get32(r->bytes.data()) == 0)
            return;
        loader_ = r;
        put32(r->bytes.data() + MAILBOX_OFFSET, 0);  // the loader clears its mailbox when it starts
        char line[80];
        std::snprintf(line, sizeof line, "loader started at 0x%08X, mailbox 0x%08X", r->base, r->base + MAILBOX_OFFSET);
        note_(line);
        return;
    }
    serve_mailbox();
}

void sim_target::serve_mailbox() {
    uint8_t* box = loader_->bytes.data() + MAILBOX_OFFSET;
    const uint32_t command = get32(box);
    if (command < 2 || command > 5) return;  // no request waiting (a status from before)
    const uint32_t addr = get32(box + 4);
    const uint32_t len = get32(box + 8);
    uint32_t status = forced_status_;
    if (status == 0) status = do_request(command, addr, len, box + MAILBOX_HEADER);
    put32(box, status);
    const char* names[] = {"", "", "read", "program", "page erase", "chip erase"};
    note_(std::string("loader ") + names[command] +
          format(" 0x%08X 0x%X: status %u", addr, command == 5 ? 0 : len, status));
}

bool sim_target::flash_range(uint32_t addr, uint32_t len, uint32_t& offset) const {
    if (addr < flash_base_) return false;
    const uint64_t end = static_cast<uint64_t>(addr) + len;
    if (end > static_cast<uint64_t>(flash_base_) + flash_.size()) return false;
    offset = addr - flash_base_;
    return true;
}

void sim_target::mark_dirty(uint32_t begin, uint32_t end) {
    if (dirty_begin == dirty_end) {
        dirty_begin = begin;
        dirty_end = end;
    } else {
        dirty_begin = std::min(dirty_begin, begin);
        dirty_end = std::max(dirty_end, end);
    }
}

uint32_t sim_target::do_request(uint32_t command, uint32_t addr, uint32_t len, uint8_t* data) {
    uint32_t offset = 0;
    switch (command) {
        case 2:  // read
            if (len > MAILBOX_DATA || !flash_range(addr, len, offset)) return STATUS_REFUSED;
            std::memcpy(data, flash_.data() + offset, len);
            return 0;
        case 3:  // program: NOR flash, bits only go from 1 to 0
            if (len > MAILBOX_DATA || !flash_range(addr, len, offset)) return STATUS_REFUSED;
            for (uint32_t i = 0; i < len; ++i) flash_[offset + i] &= data[i];
            mark_dirty(offset, offset + len);
            return 0;
        case 4: {  // page erase: every page the range touches
            if (len == 0) return 0;
            if (!flash_range(addr, len, offset)) return STATUS_REFUSED;
            const uint32_t begin = offset / PAGE_SIZE * PAGE_SIZE;
            uint32_t end = (offset + len + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
            end = std::min<uint32_t>(end, static_cast<uint32_t>(flash_.size()));
            std::fill(flash_.begin() + begin, flash_.begin() + end, ERASED);
            mark_dirty(begin, end);
            return 0;
        }
        case 5:  // chip erase
            std::fill(flash_.begin(), flash_.end(), ERASED);
            mark_dirty(0, static_cast<uint32_t>(flash_.size()));
            return 0;
        default:
            return STATUS_REFUSED;
    }
}
