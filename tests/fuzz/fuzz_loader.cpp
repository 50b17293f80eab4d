// Loader replies: one to three loader operations in a row (chosen and
// parameterised by the first bytes of the input, with a packet size of 1 to
// 256 bytes so that transfers take many pieces) against a module whose
// answers are the rest of the input (see fake_platform.h). Every answer is judged as the loader
// protocol defines a sound one: whole, with the request's code when it
// carries the marker, a matching CRC-16 (where the protocol checks one) and
// status 0. An operation succeeds if and only if every answer it awaited
// was sound, and a read delivers the data of those answers.
#include <cstdlib>
#include <vector>

#include "common/crc16.h"
#include "common/le.h"
#include "fake_platform.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "protocol/flash_limits.h"
#include "protocol/loader.h"

namespace {

// Answers taken without their CRC: flash IDs and the reboot.
bool crc_checked(uint16_t code) { return code != 0x103D && code != 0x103C && code != 0x1041; }

bool sound(const std::vector<uint8_t>& request, const fake::serial_read& answer) {
    const uint16_t code = le16_get(request.data() + 1);
    const std::vector<uint8_t>& a = answer.got;
    if (a.size() < answer.asked || a.size() < 10) return false;
    if (a[0] == LOADER_FRAME_MARKER && le16_get(a.data() + 1) != code) return false;
    if (crc_checked(code) && crc16(0, a.data(), a.size() - 2) != le16_get(a.data() + a.size() - 2)) return false;
    return a[3] == 0;
}

// The answer to request w: the first read after it.
const fake::serial_read* answer_to(size_t w) {
    for (const fake::serial_read& r : fake::reads())
        if (r.writes_before == w + 1) return &r;
    return nullptr;
}

// Whether every request in [from, to) got a sound answer; false for none.
bool every_answer_sound(size_t from, size_t to) {
    if (from == to) return false;
    for (size_t w = from; w < to; ++w) {
        const fake::serial_read* answer = answer_to(w);
        if (answer == nullptr || !sound(fake::writes()[w], *answer)) return false;
    }
    return true;
}

// The bytes a successful read of requests [from, to) must have delivered:
// the data of each piece's answer, in order.
std::vector<uint8_t> served_read_data(size_t from, size_t to) {
    std::vector<uint8_t> data;
    for (size_t w = from; w < to; ++w) {
        const fake::serial_read* r = answer_to(w);
        data.insert(data.end(), r->got.begin() + 8, r->got.end() - 2);
    }
    return data;
}

struct operation {
    uint8_t op;
    uint32_t addr;
    uint32_t len;
};

// Runs one operation and judges it by the answers to its own requests.
void run(const operation& o) {
    const uint32_t addr = o.addr, len = o.len;
    std::vector<uint8_t> bytes(len + 1, 0xA5);
    const size_t first_write = fake::writes().size();
    int32_t result = -1;
    bool iff = true;  // nothing but the answers can make it fail
    bool read = false;
    switch (o.op % 19) {
    case 0: result = loader_get_prop(); break;
    case 1: result = loader_set_baudrate(115200 + len); break;
    case 2: result = loader_sector_erase(addr, len); break;
    case 3: result = loader_chip_erase(); break;
    case 4: result = loader_program(addr, len, bytes.data()); iff = len != 0; break;
    case 5: result = loader_read(addr, len, bytes.data()); iff = len != 0; read = true; break;
    case 6: result = loader_block64_erase(addr, len); break;
    case 7: result = loader_flash_id() == FLASH_ID_FAIL ? 1 : 0; iff = false; break;
    case 8: result = loader_reboot(static_cast<uint8_t>(len)); break;
    case 9: result = loader_verify(addr, len, bytes.data()); break;
    case 10: result = loader_efuse_burn(bytes.data(), len); break;
    case 11: result = loader_ext_block32_erase(addr, len); break;
    case 12: result = loader_ext_block64_erase(addr, len); break;
    case 13: result = loader_ext_sector_erase(addr, len); break;
    case 14: result = loader_ext_chip_erase(); break;
    case 15: result = loader_ext_program(addr, len, bytes.data()); iff = len != 0; break;
    case 16: result = loader_ext_read(addr, len, bytes.data()); iff = len != 0; read = true; break;
    case 17: result = loader_ext_flash_id() == FLASH_ID_FAIL ? 1 : 0; iff = false; break;
    case 18: result = loader_ext_verify(addr, len, static_cast<uint16_t>(addr)); break;
    }
    const size_t last_write = fake::writes().size();
    const bool answers_sound = every_answer_sound(first_write, last_write);
    // A success on an answer that was cut, foreign, corrupted or refused is
    // the worst outcome; a failure on sound answers is a false alarm.
    if (result == 0 && first_write != last_write && !answers_sound) std::abort();
    if (result == 0 && iff && first_write == last_write) std::abort();
    if (result != 0 && iff && answers_sound) std::abort();
    if (read && result == 0 && len != 0 &&
        served_read_data(first_write, last_write) != std::vector<uint8_t>(bytes.begin(), bytes.begin() + len))
        std::abort();
}

}  // namespace

// Input: up to three operations (operation byte, whose top two bits count
// the further operations; address; length), the packet size, then the
// module's answers. An operation after one that timed out finds the link
// out of step.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::input in(data, size);
    std::vector<operation> ops;
    do {
        operation o;
        o.op = in.u8();
        o.addr = in.u32();
        o.len = in.u16() % 4096;
        ops.push_back(o);
    } while (ops.size() < 1u + (ops.front().op >> 6) % 3);
    packet_size = 1 + in.u8();
    fake::serve(in.data(), in.size());
    com_handle = fake::port();
    link_kind = LINK_SERIAL;
    link_late_bytes = 0;
    for (const operation& o : ops) run(o);
    com_handle = nullptr;
    link_late_bytes = 0;
    packet_size = PACKET_SIZE_DEFAULT;
    return 0;
}
