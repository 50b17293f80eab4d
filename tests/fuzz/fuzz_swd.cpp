// SWD mailbox replies: one SWD operation (chosen and parameterised by the
// first bytes of the input) against a probe whose every answer (halt, memory
// write count, status word, memory read result and data, register writes)
// comes from the rest of the input. The operation succeeds if and only if
// the probe reported nothing wrong, and a read delivers exactly the bytes
// the probe read from the mailbox.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_platform.h"
#include "link/jlink.h"
#include "link/swd.h"

namespace {

fake::input* answers = nullptr;
bool fault_seen = false;
std::vector<uint8_t> mailbox_data;  // every byte ReadMem delivered, in order

// Most answers are good; a control byte below 0x10 makes this one a fault.
// Once the input has ended, every answer is good.
bool faulty() { return answers->size() != 0 && answers->u8() < 0x10; }

void p_close() {}
int p_connect() {
    if (!faulty()) return 0;
    fault_seen = true;
    return -1;
}
int p_exec(const char*, char* error, int size) {
    if (faulty()) {
        fault_seen = true;
        std::vector<uint8_t> text = answers->bytes(static_cast<size_t>(size) + 8);
        if (!text.empty()) std::memcpy(error, text.data(), std::min(text.size(), static_cast<size_t>(size)));
        if (text.empty() || text[0] == 0) error[0] = 'x';  // an error text is never empty
    }
    return 0;
}
void p_go() {}
int p_halt() {
    if (!faulty()) return 0x100 * answers->u8();  // only the low byte counts
    fault_seen = true;
    return 1 + answers->u8() % 0xFF;
}
const char* p_open() {
    if (!faulty()) return nullptr;
    fault_seen = true;
    return "probe refused";
}
int p_read_mem(uint32_t, uint32_t count, void* dest) {
    if (faulty()) {
        fault_seen = true;
        return -1 - answers->u8();
    }
    std::vector<uint8_t> b = answers->bytes(count);
    b.resize(count, 0);
    std::memcpy(dest, b.data(), count);
    mailbox_data.insert(mailbox_data.end(), b.begin(), b.end());
    return 0;
}
int p_read_u32(uint32_t, uint32_t, uint32_t* dest, uint8_t*) {
    if (faulty()) {
        fault_seen = true;
        // A count other than one word, or a non-zero status word.
        const uint8_t kind = answers->u8();
        if (kind & 1) {
            *dest = 1 + answers->u8();
            return 1;
        }
        return kind & 2 ? 0 : -2;
    }
    *dest = 0;
    return 1;
}
int p_reset() { return 0; }
int p_select_usb(int) {
    if (!faulty()) return 0;
    fault_seen = true;
    return 1;
}
void p_set_speed(uint32_t) {}
int p_write_mem(uint32_t, uint32_t count, const void*) {
    if (!faulty()) return static_cast<int>(count);
    fault_seen = true;
    const uint8_t kind = answers->u8();
    return kind & 1 ? -1 - (kind >> 1) : static_cast<int>(count) - 1 - kind;
}
int p_write_reg(int, uint32_t) {
    if (!faulty()) return 0x100;
    fault_seen = true;
    return 1;
}
int p_tif_select(int) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::input in(data, size);
    const uint8_t op = in.u8();
    const uint32_t addr = in.u32();
    const uint32_t len = in.u32() % 0x30000;  // up to four mailbox chunks
    answers = &in;
    fault_seen = false;
    mailbox_data.clear();
    fake::serve(nullptr, 0);
    jlink_forget();
    jlink = {p_close,   p_connect,    p_exec,      p_go,        p_halt,      p_open,     p_read_mem,
             p_read_u32, p_reset,     p_select_usb, p_set_speed, p_write_mem, p_write_reg, p_tif_select};
    swd_device = &swd_family_4410c;

    int32_t result = -1;
    std::vector<uint8_t> buffer(len + 1, 0xEE);
    switch (op % 7) {
    case 0: result = swd_open("swd", 1000); break;
    case 1:
        result = swd_download_fw(len, buffer.data());
        if (len == 0) {  // nothing to start: refused before the probe is asked
            if (result == 0 || fault_seen) std::abort();
            fault_seen = true;
        }
        break;
    case 2:
        result = swd_read(addr, len, buffer.data());
        if (result == 0 && (mailbox_data.size() != len ||
                            (len != 0 && std::memcmp(mailbox_data.data(), buffer.data(), len) != 0)))
            std::abort();
        break;
    case 3: result = swd_program(addr, len, buffer.data()); break;
    case 4: result = swd_page_erase(addr, len); break;
    case 5: result = swd_chip_erase(); break;
    case 6: result = swd_reboot(0); break;
    }
    if ((result == 0) == fault_seen) std::abort();
    jlink_forget();
    answers = nullptr;
    return 0;
}
