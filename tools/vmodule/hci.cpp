// The module ROM's side of the vendor HCI commands:
//   command  01 opcode(2) plen params
//   event    04 0e q 01 opcode(2) status [return parameters]
#include <algorithm>
#include <cstdio>

#include "tools/vmodule/module.h"

namespace {

namespace op {
constexpr uint16_t flash_control = 0xFC2C;
constexpr uint16_t page_erase = 0xFC2B;
constexpr uint16_t read = 0xFC2D;
constexpr uint16_t program = 0xFC2E;
constexpr uint16_t loader_chunk = 0xFC20;
constexpr uint16_t mode_probe = 0xFC61;
constexpr uint16_t vendor_write = 0xFC62;
constexpr uint16_t baud = 0xFC17;
constexpr uint16_t debug_password = 0xFD60;
}  // namespace op

namespace sub {
constexpr uint32_t chip_erase = 0x0000;
constexpr uint32_t flash_id = 0x0006;
constexpr uint32_t init = 0x300B;
constexpr uint32_t cfg_load = 0x3001;
constexpr uint32_t unlock = 0x1002;
constexpr uint32_t watchdog_reset = 0x3009;
}  // namespace sub

constexpr uint8_t kEventPacket = 0x04;
constexpr uint8_t kCommandComplete = 0x0E;
constexpr uint8_t kCommandCredits = 0x01;
constexpr uint8_t kChunkCredits = 0x02;
constexpr uint32_t kChipEraseMagic1 = 0x12345678;
constexpr uint32_t kChipEraseMagic2 = 0x5A5A1234;
constexpr uint32_t kWatchdogArg1 = 3;
constexpr uint32_t kWatchdogArg2 = 0x5A5A1234;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kMaxTransfer = 244;
constexpr size_t kMaxChunk = 252;
constexpr uint8_t kTriggerIndex = 0x80;
constexpr uint8_t kVendorWriteKind = 0x20;
constexpr uint32_t kSignatureAddr = 0x19000;
constexpr size_t kPasswordLength = 16;
constexpr uint8_t kProbeParams[] = {0x00, 0x50, 0x01, 0x04, 0x00};
constexpr uint8_t kProbeFactoryImage = 0x0C;

// Flash timing model (with --flash-times), in milliseconds.
constexpr double kPageEraseMs = 20;
constexpr double kChipEraseMsPerMiB = 2000;
constexpr double kProgramMsPerByte = 0.003;

// The loader table's trigger writes: a write of this value to this address
// starts a downloaded loader (for the first chip, the last of its three writes).
struct trigger_write { uint32_t addr, value; };
constexpr trigger_write kTriggers[] = {
    {0xE000E200, 0x00000010}, {0x00201228, 0x00203601}, {0x00201234, 0x00203831},
    {0x10001FB8, 0x10080C01}, {0x1000225C, 0x10080C01}, {0x1000228C, 0x10080C01},
};

// Rate codes of the baud command.
struct rate_code { uint32_t code, rate; };
constexpr rate_code kRates[] = {
    {0x00005004, 1000000}, {0x00005002, 2000000}, {0x04928001, 3000000},
};

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

std::string hex16(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

answer module_core::hci_event(uint16_t opcode, uint8_t status, const uint8_t* ret, size_t n) {
    answer a;
    a.has = true;
    a.bytes = {kEventPacket, kCommandComplete, static_cast<uint8_t>(4 + n), kCommandCredits,
               static_cast<uint8_t>(opcode), static_cast<uint8_t>(opcode >> 8), status};
    if (ret) a.bytes.insert(a.bytes.end(), ret, ret + n);
    return a;
}

// The answer to a refused command: the commands that are never answered stay silent.
answer module_core::hci_refusal(uint16_t opcode, uint8_t status, const uint8_t* p, uint8_t plen) {
    if (opcode == op::baud || opcode == op::debug_password) return answer{};
    if (opcode == op::flash_control && plen == 12 && le32(p) == sub::watchdog_reset) return answer{};
    if (opcode == op::loader_chunk) {
        answer a;
        a.has = true;
        a.bytes = {kEventPacket, kCommandComplete, 0x05, kChunkCredits, 0x20, 0xFC, status,
                   static_cast<uint8_t>(plen ? p[0] : 0)};
        return a;
    }
    return hci_event(opcode, status);
}

answer module_core::hci_command(hci_session& s, const uint8_t* pkt, size_t n, const std::string& where) {
    where_ = where;
    uint16_t opcode = static_cast<uint16_t>(pkt[1] | pkt[2] << 8);
    uint8_t plen = pkt[3];
    const uint8_t* p = pkt + 4;
    if (n != 4u + plen) return hci_event(opcode, hci_status::invalid_parameters);
    if (opcode == op::loader_chunk && plen == 1 && p[0] == kTriggerIndex) {
        answer a;  // the raw trigger: never answered
        if (!s.loader_complete) {
            log_.note(where_, "raw trigger without a downloaded loader: ignored");
            return a;
        }
        a.after = answer::then::enter_loader;
        a.swallow_trailer = true;
        return a;
    }
    fault_effect e = take_faults(opt_.faults, opcode);
    if (e.any()) log_.note(where_, "fault " + describe(e));
    answer a = e.refuse ? hci_refusal(opcode, e.status, p, plen) : run_hci(s, opcode, p, plen, e);
    shape_answer(e, a.bytes);
    a.busy_s += e.late_ms / 1000.0;
    return a;
}

answer module_core::run_hci(hci_session& s, uint16_t opcode, const uint8_t* p, uint8_t plen, const fault_effect& e) {
    switch (opcode) {
    case op::flash_control: return hci_flash_control(s, p, plen);
    case op::page_erase: return hci_page_erase(s, p, plen);
    case op::read: return hci_read(p, plen);
    case op::program: return hci_program(s, p, plen, e.corrupt);
    case op::loader_chunk: return hci_chunk(s, p, plen);
    case op::mode_probe: return hci_probe(p, plen);
    case op::vendor_write: return hci_vendor_write(s, p, plen);
    case op::baud: return hci_baud(p, plen);
    case op::debug_password: return hci_password(p, plen);
    default:
        log_.note(where_, "unknown HCI command " + hex16(opcode));
        return hci_event(opcode, hci_status::unknown_command);
    }
}

answer module_core::hci_flash_control(hci_session& s, const uint8_t* p, uint8_t plen) {
    if (plen != 12) return hci_event(op::flash_control, hci_status::invalid_parameters);
    uint32_t cmd = le32(p), arg1 = le32(p + 4), arg2 = le32(p + 8);
    switch (cmd) {
    case sub::chip_erase: {
        if (arg1 != kChipEraseMagic1 || arg2 != kChipEraseMagic2)
            return hci_event(op::flash_control, hci_status::invalid_parameters);
        if (s.flash_stage < 3) {
            log_.note(where_, "chip erase refused: flash not unlocked");
            return hci_event(op::flash_control, hci_status::disallowed);
        }
        iflash_.erase(iflash_.base(), iflash_.size());
        answer a = hci_event(op::flash_control, hci_status::ok);
        a.busy_s = flash_ms(kChipEraseMsPerMiB * iflash_.size() / 0x100000);
        return a;
    }
    case sub::flash_id: {
        uint32_t id = opt_.flash_id;
        uint8_t ret[4] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                          static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24)};
        return hci_event(op::flash_control, hci_status::ok, ret, sizeof ret);
    }
    case sub::init:
        s.flash_stage = 1;
        return hci_event(op::flash_control, hci_status::ok);
    case sub::cfg_load:
    case sub::unlock: {
        int needed = cmd == sub::cfg_load ? 1 : 2;
        if (s.flash_stage < needed) {
            log_.note(where_, cmd == sub::cfg_load ? "configuration load before flash init: refused"
                                                   : "unlock before the configuration load: refused");
            return hci_event(op::flash_control, hci_status::disallowed);
        }
        s.flash_stage = needed + 1;
        return hci_event(op::flash_control, hci_status::ok);
    }
    case sub::watchdog_reset:
        if (arg1 != kWatchdogArg1 || arg2 != kWatchdogArg2)
            return hci_event(op::flash_control, hci_status::invalid_parameters);
        {
            answer a;
            a.after = answer::then::reset;
            return a;
        }
    default:
        return hci_event(op::flash_control, hci_status::invalid_parameters);
    }
}

// Erases the 2048-byte page that holds the address.
answer module_core::hci_page_erase(hci_session& s, const uint8_t* p, uint8_t plen) {
    if (plen != 4) return hci_event(op::page_erase, hci_status::invalid_parameters);
    uint32_t page = le32(p) & ~(kPage - 1);
    if (!iflash_.contains(page, kPage)) {
        log_.note(where_, "page erase outside the flash: " + hex32(le32(p)));
        return hci_event(op::page_erase, hci_status::invalid_parameters);
    }
    if (s.flash_stage < 3) {
        log_.note(where_, "page erase refused: flash not unlocked");
        return hci_event(op::page_erase, hci_status::disallowed);
    }
    iflash_.erase(page, kPage);
    answer a = hci_event(op::page_erase, hci_status::ok);
    a.busy_s = flash_ms(kPageEraseMs);
    return a;
}

uint8_t module_core::hci_space_byte(uint32_t addr) const {
    if (iflash_.contains(addr, 1)) return *iflash_.at(addr);
    if (addr >= kSignatureAddr && addr < kSignatureAddr + 4)
        return static_cast<uint8_t>(opt_.signature >> (8 * (addr - kSignatureAddr)));
    return 0;
}

// Word reads anywhere in the address space; the data follow the address echo.
answer module_core::hci_read(const uint8_t* p, uint8_t plen) {
    if (plen != 8) return hci_event(op::read, hci_status::invalid_parameters);
    uint32_t addr = le32(p), len = le32(p + 4);
    if (len > kMaxTransfer || addr % 4 || len % 4 || static_cast<uint64_t>(addr) + len > 0x100000000ull) {
        log_.note(where_, "read of " + std::to_string(len) + " bytes at " + hex32(addr) + " refused");
        return hci_event(op::read, hci_status::invalid_parameters);
    }
    std::vector<uint8_t> ret(p, p + 4);
    for (uint32_t i = 0; i < len; ++i) ret.push_back(hci_space_byte(addr + i));
    return hci_event(op::read, hci_status::ok, ret.data(), ret.size());
}

answer module_core::hci_program(hci_session& s, const uint8_t* p, uint8_t plen, bool corrupt) {
    if (plen < 8) return hci_event(op::program, hci_status::invalid_parameters);
    uint32_t addr = le32(p), len = le32(p + 4);
    if (len > kMaxTransfer || len + 8 != plen || addr % 4 || len % 4 || !iflash_.contains(addr, len)) {
        log_.note(where_, "program of " + std::to_string(len) + " bytes at " + hex32(addr) + " refused");
        return hci_event(op::program, hci_status::invalid_parameters);
    }
    if (s.flash_stage < 3) {
        log_.note(where_, "program refused: flash not unlocked");
        return hci_event(op::program, hci_status::disallowed);
    }
    iflash_.program(addr, p + 8, len);
    if (corrupt && len) {
        *iflash_.at(addr + len / 2) ^= 0x01;
        log_.note(where_, "stored a wrong byte at " + hex32(addr + len / 2));
    }
    answer a = hci_event(op::program, hci_status::ok);
    a.busy_s = flash_ms(kProgramMsPerByte * len);
    return a;
}

// Loader chunks must come as 0, 1, 2...; index 0 starts a new download.
answer module_core::hci_chunk(hci_session& s, const uint8_t* p, uint8_t plen) {
    uint8_t index = plen ? p[0] : 0;
    size_t data = plen ? plen - 1u : 0;
    uint8_t status = hci_status::ok;
    if (plen && index == 0) {
        s.loader.clear();
        s.next_chunk = 0;
        s.loader_complete = false;
    }
    if (data == 0 || data > kMaxChunk) {
        status = hci_status::invalid_parameters;
    } else if (index != s.next_chunk) {
        log_.note(where_, "loader chunk " + std::to_string(index) + " out of order (expected " +
                              std::to_string(s.next_chunk) + "): download broken");
        status = hci_status::invalid_parameters;
        s.next_chunk = -1;
        s.loader_complete = false;
    } else {
        s.loader.insert(s.loader.end(), p + 1, p + plen);
        ++s.next_chunk;
        s.loader_complete = true;
    }
    answer a;
    a.has = true;
    a.bytes = {kEventPacket, kCommandComplete, 0x05, kChunkCredits, 0x20, 0xFC, status, index};
    return a;
}

answer module_core::hci_probe(const uint8_t* p, uint8_t plen) {
    if (plen != sizeof kProbeParams || !std::equal(p, p + plen, kProbeParams))
        return hci_event(op::mode_probe, hci_status::invalid_parameters);
    uint8_t status = opt_.probe_status >= 0 ? static_cast<uint8_t>(opt_.probe_status)
                                            : factory_image_present() ? kProbeFactoryImage : hci_status::ok;
    return hci_event(op::mode_probe, status);
}

answer module_core::hci_vendor_write(hci_session& s, const uint8_t* p, uint8_t plen) {
    if (plen != 9 || p[0] != kVendorWriteKind) return hci_event(op::vendor_write, hci_status::invalid_parameters);
    uint32_t addr = le32(p + 1), value = le32(p + 5);
    log_.note(where_, "vendor write " + hex32(value) + " to " + hex32(addr));
    answer a = hci_event(op::vendor_write, hci_status::ok);
    for (const trigger_write& t : kTriggers) {
        if (t.addr != addr || t.value != value) continue;
        if (s.loader_complete)
            a.after = answer::then::enter_loader;
        else
            log_.note(where_, "trigger write without a downloaded loader: ignored");
    }
    return a;
}

answer module_core::hci_baud(const uint8_t* p, uint8_t plen) {
    answer a;  // never answered
    uint32_t c = plen == 4 ? le32(p) : 0;
    for (const rate_code& r : kRates) {
        if (plen == 4 && r.code == c) {
            a.after = answer::then::switch_rate;
            a.rate = r.rate;
            return a;
        }
    }
    log_.note(where_, "unknown rate code " + hex32(c) + ": ignored");
    return a;
}

answer module_core::hci_password(const uint8_t* p, uint8_t plen) {
    if (plen != kPasswordLength)
        log_.note(where_, "debug password of " + std::to_string(plen) + " bytes ignored");
    else
        log_.note(where_, "debug password " + hex_bytes(p, plen));
    return answer{};  // never answered
}
