// The firmware loader's side of the framed protocol:
//   request  87 code(2) payload CRC-16(2)
//   answer   87 code(2) status data-length(4) data CRC-16(2)
#include <cstring>

#include "tools/vmodule/module.h"

namespace {

namespace code {
constexpr uint16_t get_property = 0x1000;
constexpr uint16_t set_baud = 0x1010;
constexpr uint16_t sector_erase = 0x1030;
constexpr uint16_t chip_erase = 0x1031;
constexpr uint16_t program = 0x1032;
constexpr uint16_t read = 0x1033;
constexpr uint16_t block64_erase = 0x1035;
constexpr uint16_t ext_block32_erase = 0x1036;
constexpr uint16_t ext_block64_erase = 0x1037;
constexpr uint16_t ext_sector_erase = 0x1038;
constexpr uint16_t ext_chip_erase = 0x1039;
constexpr uint16_t ext_program = 0x103A;
constexpr uint16_t ext_read = 0x103B;
constexpr uint16_t ext_flash_id = 0x103C;
constexpr uint16_t flash_id = 0x103D;
constexpr uint16_t reboot = 0x1041;
constexpr uint16_t verify = 0x1050;
constexpr uint16_t ext_verify = 0x1051;
constexpr uint16_t efuse_burn = 0x1061;
}  // namespace code

constexpr size_t kHeader = 3;        // marker and code
constexpr size_t kCrc = 2;
constexpr size_t kAnswerHead = 8;    // marker, code, status, data length
constexpr uint32_t kPropertyData = 44;
constexpr uint32_t kIdData = 4;
constexpr size_t kNameField = 16;
constexpr uint8_t kBaudFlag = 0xFF;
constexpr uint32_t kMinRate = 1200;
constexpr uint32_t kMaxRate = 12000000;

constexpr uint32_t kSector = 0x1000;
constexpr uint32_t kBlock32 = 0x8000;
constexpr uint32_t kBlock64 = 0x10000;

// Flash timing model (with --flash-times), in milliseconds.
constexpr double kSectorEraseMs = 40;
constexpr double kBlock32EraseMs = 120;
constexpr double kBlock64EraseMs = 150;
constexpr double kChipEraseMsPerMiB = 2000;
constexpr double kProgramMsPerByte = 0.003;
constexpr double kEfuseMsPerByte = 0.1;

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// The fixed frame lengths; 0 for the codes whose length lies in the frame.
long fixed_length(uint16_t c) {
    switch (c) {
    case code::get_property: case code::chip_erase: case code::ext_chip_erase:
    case code::ext_flash_id: case code::flash_id:
        return 5;
    case code::reboot:
        return 6;
    case code::set_baud:
        return 10;
    case code::sector_erase: case code::read: case code::block64_erase: case code::ext_block32_erase:
    case code::ext_block64_erase: case code::ext_sector_erase: case code::ext_read:
        return 13;
    case code::verify: case code::ext_verify:
        return 15;
    case code::program: case code::ext_program: case code::efuse_burn:
        return 0;
    default:
        return kUnknownCode;
    }
}

// Data bytes of the normal answer, for a refused request of the same shape.
uint32_t answer_data_length(uint16_t c, const uint8_t* frame, size_t n) {
    switch (c) {
    case code::get_property: return kPropertyData;
    case code::flash_id: case code::ext_flash_id: return kIdData;
    case code::read: case code::ext_read: {
        if (n < 13) return 0;
        uint32_t len = le32(frame + 7);
        return len <= kMaxLoaderPayload ? len : 0;
    }
    default: return 0;
    }
}

}  // namespace

long loader_frame_length(const uint8_t* head, size_t have) {
    if (have < kHeader) return 0;
    uint16_t c = le16(head + 1);
    long fixed = fixed_length(c);
    if (fixed != 0) return fixed;
    // program: address (4) length (4) data; eFuse burn: length (4) data
    size_t len_at = c == code::efuse_burn ? 3 : 7;
    if (have < len_at + 4) return 0;
    uint32_t len = le32(head + len_at);
    if (len > kMaxLoaderPayload) return kTooLong;
    return static_cast<long>(len_at + 4 + len + kCrc);
}

struct module_core::loader_req {
    uint16_t code;
    const uint8_t* f;   // the whole frame
    size_t n;
    uint32_t word(size_t at) const { return le32(f + at); }
    uint32_t addr() const { return word(3); }
    uint32_t len() const { return word(7); }
};

answer module_core::loader_answer(uint16_t c, uint8_t status, const uint8_t* data, uint32_t m) {
    answer a;
    a.has = true;
    a.bytes = {kLoaderMarker, static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), status};
    put32(a.bytes, m);
    if (data)
        a.bytes.insert(a.bytes.end(), data, data + m);
    else
        a.bytes.resize(a.bytes.size() + m, 0);
    uint16_t crc = crc16_range(a.bytes.data(), static_cast<uint32_t>(a.bytes.size()));
    a.bytes.push_back(static_cast<uint8_t>(crc));
    a.bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return a;
}

answer module_core::loader_refusal(uint16_t c, uint8_t status) {
    log_.note(where_, "refused, status " + std::to_string(status));
    return loader_status_answer(c, status);
}

answer module_core::loader_request(const uint8_t* frame, size_t n, const std::string& where) {
    where_ = where;
    if (n < kHeader + kCrc || frame[0] != kLoaderMarker) return loader_refusal(0, loader_status::bad_length);
    loader_req r{le16(frame + 1), frame, n};
    fault_effect e = take_faults(opt_.faults, r.code);
    if (e.any()) log_.note(where_, "fault " + describe(e));
    answer a;
    if (e.refuse) {
        a = loader_answer(r.code, e.status, nullptr, answer_data_length(r.code, frame, n));
    } else if (loader_frame_length(frame, n) != static_cast<long>(n)) {
        a = loader_refusal(r.code, fixed_length(r.code) == kUnknownCode ? loader_status::unknown_command
                                                                        : loader_status::bad_length);
    } else if (crc16_range(frame, static_cast<uint32_t>(n - kCrc)) != le16(frame + n - kCrc)) {
        a = loader_refusal(r.code, loader_status::bad_crc);
    } else {
        a = run_loader(r, e);
    }
    shape_answer(e, a.bytes);
    a.busy_s += e.late_ms / 1000.0;
    return a;
}

answer module_core::run_loader(const loader_req& r, const fault_effect& e) {
    switch (r.code) {
    case code::get_property: return property_request(r);
    case code::set_baud: {
        uint32_t rate = r.word(3);
        if (r.f[7] != kBaudFlag || rate < kMinRate || rate > kMaxRate) return loader_refusal(r.code, loader_status::bad_argument);
        answer a = loader_status_answer(r.code, loader_status::ok);
        a.after = answer::then::switch_rate;
        a.rate = rate;
        return a;
    }
    case code::sector_erase: return erase_request(r, iflash_, kSector, kSectorEraseMs);
    case code::block64_erase: return erase_request(r, iflash_, kBlock64, kBlock64EraseMs);
    case code::ext_block32_erase: return erase_request(r, eflash_, kBlock32, kBlock32EraseMs);
    case code::ext_block64_erase: return erase_request(r, eflash_, kBlock64, kBlock64EraseMs);
    case code::ext_sector_erase: return erase_request(r, eflash_, kSector, kSectorEraseMs);
    case code::chip_erase: case code::ext_chip_erase: {
        nv_store& s = r.code == code::chip_erase ? iflash_ : eflash_;
        s.erase(s.base(), s.size());
        answer a = loader_status_answer(r.code, loader_status::ok);
        a.busy_s = flash_ms(kChipEraseMsPerMiB * s.size() / 0x100000);
        return a;
    }
    case code::program: return program_request(r, iflash_, e.corrupt);
    case code::ext_program: return program_request(r, eflash_, e.corrupt);
    case code::read: return read_request(r, iflash_);
    case code::ext_read: return read_request(r, eflash_);
    case code::flash_id: return id_request(r, opt_.flash_id);
    case code::ext_flash_id: return id_request(r, opt_.ext_flash_id);
    case code::reboot: {
        log_.note(where_, "reboot, mode " + std::to_string(r.f[3]));
        answer a = loader_status_answer(r.code, loader_status::ok);
        a.after = answer::then::reset;
        return a;
    }
    case code::verify: return verify_request(r, iflash_);
    case code::ext_verify: return verify_request(r, eflash_);
    case code::efuse_burn: return efuse_request(r, e.corrupt);
    default: return loader_refusal(r.code, loader_status::unknown_command);
    }
}

// Erases every `unit` (sector or block, aligned to its size) that the range touches.
answer module_core::erase_request(const loader_req& r, nv_store& store, uint32_t unit, double unit_ms) {
    uint32_t addr = r.addr(), size = r.len();
    if (!store.contains(addr, size)) return loader_refusal(r.code, loader_status::out_of_range);
    answer a = loader_status_answer(r.code, loader_status::ok);
    if (size == 0) return a;
    uint64_t first = addr & ~static_cast<uint64_t>(unit - 1);
    uint64_t end = (static_cast<uint64_t>(addr) + size + unit - 1) & ~static_cast<uint64_t>(unit - 1);
    uint64_t lo = first < store.base() ? store.base() : first;
    uint64_t hi = end > static_cast<uint64_t>(store.base()) + store.size() ? static_cast<uint64_t>(store.base()) + store.size() : end;
    store.erase(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi - lo));
    a.busy_s = flash_ms(unit_ms * static_cast<double>((end - first) / unit));
    return a;
}

answer module_core::program_request(const loader_req& r, nv_store& store, bool corrupt) {
    uint32_t addr = r.addr(), len = r.len();
    if (!store.contains(addr, len)) return loader_refusal(r.code, loader_status::out_of_range);
    store.program(addr, r.f + 11, len);
    if (corrupt && len) {
        uint32_t bad = addr + len / 2;
        *store.at(bad) ^= 0x01;
        log_.note(where_, "stored a wrong byte at " + hex32(bad));
    }
    answer a = loader_status_answer(r.code, loader_status::ok);
    a.busy_s = flash_ms(kProgramMsPerByte * len);
    return a;
}

answer module_core::read_request(const loader_req& r, nv_store& store) {
    uint32_t addr = r.addr(), len = r.len();
    if (len > kMaxLoaderPayload) return loader_refusal(r.code, loader_status::bad_length);
    if (!store.contains(addr, len)) {
        log_.note(where_, "read outside the flash");
        return loader_answer(r.code, loader_status::out_of_range, nullptr, len);
    }
    return loader_answer(r.code, loader_status::ok, store.at(addr), len);
}

answer module_core::verify_request(const loader_req& r, nv_store& store) {
    uint32_t addr = r.addr(), len = r.len();
    if (!store.contains(addr, len)) return loader_refusal(r.code, loader_status::out_of_range);
    uint16_t have = len ? crc16_range(store.at(addr), len) : 0;
    uint16_t want = le16(r.f + 11);
    if (have != want) {
        log_.note(where_, "verify mismatch: flash crc " + hex16(have) + ", expected " + hex16(want));
        return loader_status_answer(r.code, loader_status::verify_mismatch);
    }
    return loader_status_answer(r.code, loader_status::ok);
}

answer module_core::property_request(const loader_req& r) {
    std::vector<uint8_t> d;
    put32(d, opt_.prop_ram_start);
    put32(d, opt_.prop_ram_size);
    put32(d, iflash_.base());
    put32(d, iflash_.size());
    put32(d, eflash_.base());
    put32(d, eflash_.size());
    put32(d, opt_.prop_id);
    uint8_t name[kNameField] = {};
    std::memcpy(name, opt_.prop_name.data(), opt_.prop_name.size() < kNameField ? opt_.prop_name.size() : kNameField);
    d.insert(d.end(), name, name + kNameField);
    return loader_answer(r.code, loader_status::ok, d.data(), static_cast<uint32_t>(d.size()));
}

answer module_core::id_request(const loader_req& r, uint32_t id) {
    uint8_t d[kIdData] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16), 0};
    return loader_answer(r.code, loader_status::ok, d, kIdData);
}

// The bytes are burned (OR-ed) into the eFuse store from its first byte on.
answer module_core::efuse_request(const loader_req& r, bool corrupt) {
    uint32_t len = r.word(3);
    if (len > efuse_.size()) return loader_refusal(r.code, loader_status::out_of_range);
    efuse_.burn(efuse_.base(), r.f + 7, len);
    if (corrupt && len) {
        *efuse_.at(efuse_.base() + len / 2) ^= 0x01;
        log_.note(where_, "burned a wrong byte at eFuse offset " + std::to_string(len / 2));
    }
    log_.note(where_, "eFuse burn of " + std::to_string(len) + " bytes");
    answer a = loader_status_answer(r.code, loader_status::ok);
    a.busy_s = flash_ms(kEfuseMsPerByte * len);
    return a;
}
