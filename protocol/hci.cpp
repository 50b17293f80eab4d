// HCI-mode programming: the vendor commands that erase, read and program the
// internal flash, probe the program mode, change the UART rate and reset the
// module, all answered (where an answer is awaited) by a command-complete event.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/le.h"
#include "common/timing.h"
#include "link/link.h"
#include "link/program_mode.h"
#include "link/serial_port.h"
#include "protocol/flash_limits.h"
#include "protocol/hci_packet.h"
#include "platform/console.h"
#include "record/failure.h"

namespace {

constexpr uint16_t OP_FLASH_CONTROL = 0xFC2C;
constexpr uint16_t OP_PAGE_ERASE = 0xFC2B;
constexpr uint16_t OP_READ = 0xFC2D;
constexpr uint16_t OP_PROGRAM = 0xFC2E;
constexpr uint16_t OP_MODE_PROBE = 0xFC61;
constexpr uint16_t OP_VENDOR_WRITE = 0xFC62;
constexpr uint16_t OP_SET_BAUDRATE = 0xFC17;
constexpr uint16_t OP_DEBUG_PASSWORD = 0xFD60;

// Flash-control sub-commands and their arguments.
constexpr uint32_t SUB_CHIP_ERASE = 0x0000;
constexpr uint32_t SUB_FLASH_ID = 0x0006;
constexpr uint32_t SUB_FLASH_INIT = 0x300B;
constexpr uint32_t SUB_FLASH_CFG_LOAD = 0x3001;
constexpr uint32_t SUB_FLASH_UNLOCK = 0x1002;
constexpr uint32_t SUB_WDG_RESET = 0x3009;
constexpr uint32_t CHIP_ERASE_KEY1 = 0x12345678;
constexpr uint32_t SAFETY_KEY = 0x5A5A1234;
constexpr uint32_t WDG_RESET_ARG = 3;

constexpr uint32_t MODE_PROBE_ARG = 0x04015000;
constexpr uint8_t MODE_PROBE_STATUS_FACTORY = 0x0C;
constexpr uint32_t FACTORY_ID_BYTES = 12;
constexpr uint32_t FACTORY_ID_OFFSET = 4;
constexpr uint8_t VENDOR_WRITE_WIDTH = 0x20;

constexpr uint32_t FLASH_ID_OFFSET = 7;      // event bytes 7 to 10
constexpr uint32_t READ_DATA_OFFSET = 11;    // read data behind 4 bytes after the status
constexpr uint32_t WORD_BYTES = 4;

const char* const MSG_WRONG_TYPE = "Wrong HCI event type %02X\n";
const char* const MSG_WRONG_CODE = "Wrong HCI opcode %02X\n";
const char* const MSG_STATUS_FAIL = "HCI Event Status fail.\n";
const char* const MSG_INCOMPLETE = "HCI event incomplete: need %u bytes, read %u bytes.\n";
const char* const MSG_CHIP_ERASE_DONE = "Chip Erase Done!\n";
const char* const MSG_CHIP_ERASE_FAIL = "Chip Erase Fail!\n";
const char* const MSG_FLASH_ID_FAIL = "Get Flash ID Fail!\n";
const char* const MSG_FLASH_INIT_FAIL = "Flash Init Fail!\n";
const char* const MSG_FLASH_CFG_FAIL = "Flash CFG Load Fail!\n";
const char* const MSG_FLASH_UNLOCK_FAIL = "Flash Unlock Fail!\n";
const char* const MSG_ERASE_PAGE_FAIL = "Erase page at 0x%08X fail.\n";
const char* const MSG_READ_FAIL = "Read %d bytes from 0x%08X fail.\n";
const char* const MSG_WRITE_FAIL = "Write %d bytes to 0x%08X fail.\n";
const char* const MSG_PROGRAM_NO_MEMORY = "hci_program: malloc fail\n";
const char* const MSG_READS_DIFFER =
    "hci_read: two readings of %u bytes at 0x%08X differ; HCI events carry no checksum, "
    "so neither is taken\n";
const char* const MSG_READ_NO_MEMORY = "hci_read: malloc fail for %u bytes\n";
const char* const MSG_VERIFY_NO_MEMORY = "malloc error!\n";
const char* const MSG_VERIFY_READ_FAIL = "hci_read error!\n";
const char* const MSG_FACTORY_ID_ERROR = "Factory Image ID error\n";
const char* const MSG_CANNOT_DETECT =
    "Cannot auto-detect device type, please use -M option manually\n";
const char* const MSG_BAUD_UNSUPPORTED = "Baudrate %d is not supported\n";
const char* const MSG_WDG_RESET_OK = "WDG_Reset OK\n";
const char* const MSG_VENDOR_WRITE_OK = "Vendor Write OK!\n";
const char* const MSG_VENDOR_WRITE_FAIL = "Vendor Write Fail!\n";
const char* const MSG_DEBUG_PASSWORD_SENT = "Send debug password successfully\n";
const char* const MSG_DEBUG_PASSWORD_FAIL = "Send debug password failed: %u of %u bytes written\n";

struct baud_code {
    uint32_t baud;
    uint32_t code;
};

constexpr uint32_t BAUD_NO_CHANGE = 115200;
constexpr baud_code BAUD_CODES[] = {
    {1000000, 0x00005004},
    {2000000, 0x00005002},
    {3000000, 0x04928001},
};

void send_flash_control(uint32_t sub, uint32_t arg1, uint32_t arg2) {
    hci_command(OP_FLASH_CONTROL).u32(sub).u32(arg1).u32(arg2).send();
}

int32_t flash_control(uint32_t sub, uint32_t arg1, uint32_t arg2, hci_event& ev) {
    send_flash_control(sub, arg1, arg2);
    return hci_await_event(ev);
}

int32_t flash_control(uint32_t sub) {
    hci_event ev;
    return flash_control(sub, 0, 0, ev);
}

uint32_t align_down(uint32_t v) { return v & ~(WORD_BYTES - 1); }

uint64_t align_up(uint64_t v) { return (v + WORD_BYTES - 1) & ~uint64_t{WORD_BYTES - 1}; }

// One read command: `asked` bytes at `at`, of which [from, to) go to dest.
int32_t read_piece(uint32_t at, uint32_t asked, uint64_t from, uint64_t to, uint8_t* dest) {
    hci_command(OP_READ).u32(at).u32(asked).send();
    hci_event ev;
    const uint32_t delivered = static_cast<uint32_t>(to - from);
    if (hci_await_event(ev) != 0 || !hci_event_holds(ev, READ_DATA_OFFSET + asked)) {
        con_err(MSG_READ_FAIL, static_cast<int>(delivered), at);
        failure_note(failure_class::link);
        return HCI_FAILED;
    }
    std::memcpy(dest, ev.bytes + READ_DATA_OFFSET + (from - at), delivered);
    return 0;
}

int32_t program_piece(uint32_t at, const uint8_t* bytes, uint32_t n) {
    hci_command(OP_PROGRAM).u32(at).u32(n).bytes(bytes, n).send();
    hci_event ev;
    if (hci_await_event(ev) == 0) return 0;
    con_err(MSG_WRITE_FAIL, static_cast<int>(n), at);
    failure_note(failure_class::link);
    return HCI_FAILED;
}

}  // namespace

hci_command::hci_command(uint16_t opcode) : len_(HCI_COMMAND_HEADER) {
    buf_[0] = HCI_COMMAND_PACKET;
    le16_put(buf_ + 1, opcode);
    buf_[3] = 0;
}

hci_command& hci_command::u8(uint8_t v) {
    buf_[len_++] = v;
    return *this;
}

hci_command& hci_command::u32(uint32_t v) {
    le32_put(buf_ + len_, v);
    len_ += 4;
    return *this;
}

hci_command& hci_command::bytes(const uint8_t* src, uint32_t n) {
    if (n != 0) std::memcpy(buf_ + len_, src, n);
    len_ += n;
    return *this;
}

bool hci_command::send() {
    buf_[3] = static_cast<uint8_t>(len_ - HCI_COMMAND_HEADER);
    sent_ = link_write(buf_, static_cast<uint16_t>(len_));
    return sent_ == len_;
}

void hci_read_event(hci_event& ev) {
    ev.len = link_read(ev.bytes, HCI_EVENT_HEADER);
    // A header that did not arrive whole announces nothing: its length byte
    // would be whatever the buffer held before.
    if (ev.len < HCI_EVENT_HEADER) return;
    const uint8_t params = ev.bytes[2];
    if (params != 0) ev.len += link_read(ev.bytes + HCI_EVENT_HEADER, params);
}

bool hci_event_holds(const hci_event& ev, uint32_t need) {
    if (ev.len >= need) return true;
    con_err(MSG_INCOMPLETE, need, ev.len);
    failure_note(failure_class::link);
    return false;
}

namespace {

// The frame of an event: a Command Complete event that arrived whole. The
// bytes that arrived are judged in order; a missing or cut event fails with
// its own message rather than on bytes left from an earlier event.
int32_t check_event_frame(const uint8_t* event, uint32_t len) {
    if (len >= 1 && event[0] != HCI_EVENT_PACKET) {
        con_err(MSG_WRONG_TYPE, event[0]);
        failure_note(failure_class::link);
        return HCI_FAILED;
    }
    if (len >= 2 && event[1] != HCI_COMMAND_COMPLETE) {
        con_err(MSG_WRONG_CODE, event[1]);
        failure_note(failure_class::link);
        return HCI_WRONG_EVENT;
    }
    uint32_t need = HCI_EVENT_MIN_BYTES;
    if (len >= HCI_EVENT_HEADER && HCI_EVENT_HEADER + event[2] > need)
        need = HCI_EVENT_HEADER + event[2];
    if (len < need) {
        con_err(MSG_INCOMPLETE, need, len);
        failure_note(failure_class::link);
        return HCI_FAILED;
    }
    return 0;
}

}  // namespace

int32_t hci_check_event(const uint8_t* event, uint32_t len) {
    if (const int32_t r = check_event_frame(event, len)) return r;
    if (event[HCI_EVENT_STATUS] != 0) {
        con_err("%s", MSG_STATUS_FAIL);
        failure_note(failure_class::module);
        return HCI_STATUS_FAILED;
    }
    return 0;
}

int32_t hci_await_event(hci_event& ev) {
    hci_read_event(ev);
    return hci_check_event(ev.bytes, ev.len);
}

int32_t hci_chip_erase() {
    hci_event ev;
    if (flash_control(SUB_CHIP_ERASE, CHIP_ERASE_KEY1, SAFETY_KEY, ev) != 0) {
        con_err("%s", MSG_CHIP_ERASE_FAIL);
        return HCI_FAILED;
    }
    std::printf("%s", MSG_CHIP_ERASE_DONE);
    return 0;
}

uint32_t hci_flash_id() {
    hci_event ev;
    if (flash_control(SUB_FLASH_ID, 0, 0, ev) != 0 ||
        !hci_event_holds(ev, FLASH_ID_OFFSET + 4)) {
        con_err("%s", MSG_FLASH_ID_FAIL);
        return FLASH_ID_FAIL;
    }
    return le32_get(ev.bytes + FLASH_ID_OFFSET);
}

int32_t hci_flash_init() {
    if (flash_control(SUB_FLASH_INIT) != 0) {
        con_err("%s", MSG_FLASH_INIT_FAIL);
        return HCI_FAILED;
    }
    if (flash_control(SUB_FLASH_CFG_LOAD) != 0) {
        con_err("%s", MSG_FLASH_CFG_FAIL);
        return HCI_FAILED;
    }
    return 0;
}

int32_t hci_flash_unlock() {
    if (flash_control(SUB_FLASH_UNLOCK) == 0) return 0;
    con_err("%s", MSG_FLASH_UNLOCK_FAIL);
    return HCI_FAILED;
}

int32_t hci_flash_prepare(uint32_t, const uint8_t*) {
    const int32_t r = hci_flash_init();
    if (r != 0) return r;
    msleep(HCI_PREPARE_PAUSE_MS);
    return hci_flash_unlock();
}

int32_t hci_page_erase(uint32_t addr, uint32_t size) {
    if (!flash_range_fits(addr, size)) {
        con_err(MSG_ERASE_PAGE_FAIL, addr);
        return HCI_FAILED;
    }
    const uint32_t pages = size / HCI_PAGE_BYTES + (size % HCI_PAGE_BYTES != 0 ? 1 : 0);
    for (uint32_t i = 0; i < pages; ++i) {
        const uint32_t page = addr + i * HCI_PAGE_BYTES;
        hci_command(OP_PAGE_ERASE).u32(page).send();
        hci_event ev;
        if (hci_await_event(ev) != 0) {
            con_err(MSG_ERASE_PAGE_FAIL, page);
            return HCI_FAILED;
        }
        msleep(HCI_PAGE_ERASE_PAUSE_MS);
    }
    return 0;
}

// Reads whole words: the span from the word holding `addr` to the end of the
// word holding the last byte, in pieces of HCI_MAX_RW_BYTES, keeping only
// the bytes of [addr, addr + len).
int32_t hci_read_once(uint32_t addr, uint32_t len, uint8_t* dest) {
    if (len == 0) return 0;
    if (!flash_range_fits(addr, len)) {
        con_err(MSG_READ_FAIL, static_cast<int>(len), addr);
        return HCI_FAILED;
    }
    const uint32_t base = align_down(addr);
    const uint64_t end = uint64_t{addr} + len;
    const uint64_t span = align_up(end) - base;
    for (uint64_t done = 0; done < span; done += HCI_MAX_RW_BYTES) {
        const uint32_t at = static_cast<uint32_t>(base + done);
        const uint32_t asked = static_cast<uint32_t>(span - done < HCI_MAX_RW_BYTES
                                                         ? span - done : HCI_MAX_RW_BYTES);
        const uint64_t from = at > addr ? at : addr;
        const uint64_t to = uint64_t{at} + asked < end ? uint64_t{at} + asked : end;
        if (read_piece(at, asked, from, to, dest + (from - addr)) != 0) return HCI_FAILED;
    }
    return 0;
}

// HCI events carry no checksum: what is shown, saved or written back is
// read twice and taken only when both readings agree.
int32_t hci_read(uint32_t addr, uint32_t len, uint8_t* dest) {
    const int32_t r = hci_read_once(addr, len, dest);
    if (r != 0 || len == 0) return r;
    std::unique_ptr<uint8_t[]> again(new (std::nothrow) uint8_t[len]);
    if (!again) {
        con_err(MSG_READ_NO_MEMORY, len);
        return -1;
    }
    if (hci_read_once(addr, len, again.get()) != 0) return HCI_FAILED;
    if (std::memcmp(dest, again.get(), len) == 0) return 0;
    con_err(MSG_READS_DIFFER, len, addr);
    failure_note(failure_class::link);
    return HCI_FAILED;
}

// Read-modify-write on whole words: the bytes that share a word with the
// first or last byte are read back first, so programming leaves them as
// they were.
int32_t hci_program(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    if (len == 0) return 0;
    if (!flash_range_fits(addr, len)) {
        con_err(MSG_WRITE_FAIL, static_cast<int>(len), addr);
        return HCI_FAILED;
    }
    const uint32_t base = align_down(addr);
    const uint32_t head = addr - base;
    const uint64_t total = uint64_t{head} + len;
    const uint64_t span = align_up(total);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[span]);
    if (!buf) {
        con_err("%s", MSG_PROGRAM_NO_MEMORY);
        return -1;
    }
    // The bytes beside the image are written back: hci_read takes them only
    // when two readings agree.
    if (head != 0 && hci_read(base, head, buf.get()) != 0) return HCI_FAILED;
    if (span != total &&
        hci_read(addr + len, static_cast<uint32_t>(span - total), buf.get() + total) != 0)
        return HCI_FAILED;
    std::memcpy(buf.get() + head, bytes, len);
    for (uint64_t done = 0; done < span; done += HCI_MAX_RW_BYTES) {
        const uint32_t n = static_cast<uint32_t>(span - done < HCI_MAX_RW_BYTES
                                                     ? span - done : HCI_MAX_RW_BYTES);
        if (program_piece(static_cast<uint32_t>(base + done), buf.get() + done, n) != 0) return HCI_FAILED;
    }
    return 0;
}

int32_t hci_verify(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    std::unique_ptr<uint8_t[]> flash(new (std::nothrow) uint8_t[len == 0 ? 1 : len]);
    if (!flash) {
        con_err("%s", MSG_VERIFY_NO_MEMORY);
        return -1;
    }
    // One reading: a corrupted one can only make the comparison fail.
    if (hci_read_once(addr, len, flash.get()) != 0) {
        con_err("%s", MSG_VERIFY_READ_FAIL);
        return -2;
    }
    // 1 for a difference, never a memcmp value that could read as -1 or -2.
    if (len == 0 || std::memcmp(flash.get(), bytes, len) == 0) return 0;
    failure_note(failure_class::verify);
    return 1;
}

int32_t hci_detect_mode(uint32_t* mode) {
    hci_command(OP_MODE_PROBE).u32(MODE_PROBE_ARG).u8(0).send();
    hci_event ev;
    hci_read_event(ev);
    // The status tells the mode (a non-zero one too), so only the event's
    // frame is checked: a status byte read from anything but a whole
    // Command Complete event would name a mode the module never reported.
    if (check_event_frame(ev.bytes, ev.len) != 0) {
        con_err("%s", MSG_CANNOT_DETECT);
        return -1;
    }
    const uint8_t status = ev.bytes[HCI_EVENT_STATUS];
    if (status == 0) {
        *mode = RAM_PATCH_VENDOR_WRITE_MODE;
        return 0;
    }
    if (status != MODE_PROBE_STATUS_FACTORY) {
        con_err("%s", MSG_CANNOT_DETECT);
        return -1;
    }
    uint8_t header[FACTORY_ID_BYTES];
    if (hci_read(FACTORY_IMAGE_ADDR, FACTORY_ID_BYTES, header) == 0 &&
        le16_get(header + FACTORY_ID_OFFSET) == FACTORY_IMAGE_ID) {
        *mode = FACTORY_IMAGE_MODE;
        return 0;
    }
    con_err("%s", MSG_FACTORY_ID_ERROR);
    return -1;
}

int32_t hci_set_baudrate(uint32_t baud) {
    if (baud == BAUD_NO_CHANGE) return 0;
    for (const baud_code& b : BAUD_CODES) {
        if (b.baud != baud) continue;
        hci_command(OP_SET_BAUDRATE).u32(b.code).send();
        msleep(HCI_BAUDRATE_PAUSE_MS);
        link_set_baudrate(baud);
        msleep(HCI_BAUDRATE_PAUSE_MS);
        return 0;
    }
    con_err(MSG_BAUD_UNSUPPORTED, static_cast<int>(baud));
    return -1;
}

int32_t hci_wdg_reset(uint8_t) {
    send_flash_control(SUB_WDG_RESET, WDG_RESET_ARG, SAFETY_KEY);
    msleep(HCI_WDG_RESET_PAUSE_MS);
    std::printf("%s", MSG_WDG_RESET_OK);
    return 0;
}

int32_t hci_vendor_write(uint32_t addr, uint32_t value) {
    hci_command(OP_VENDOR_WRITE).u8(VENDOR_WRITE_WIDTH).u32(addr).u32(value).send();
    hci_event ev;
    if (hci_await_event(ev) != 0) {
        con_err("%s", MSG_VENDOR_WRITE_FAIL);
        return HCI_FAILED;
    }
    std::printf("%s", MSG_VENDOR_WRITE_OK);
    return 0;
}

int32_t hci_vendor_write_nowait(uint32_t addr, uint32_t value) {
    hci_command(OP_VENDOR_WRITE).u8(VENDOR_WRITE_WIDTH).u32(addr).u32(value).send();
    return 0;
}

// Nothing answers the password, so the write is all there is to check: a
// packet that did not go out whole is a failure, never reported as sent.
int32_t hci_send_debug_password(const uint8_t password[DEBUG_PASSWORD_BYTES]) {
    hci_command packet(OP_DEBUG_PASSWORD);
    if (!packet.bytes(password, DEBUG_PASSWORD_BYTES).send()) {
        con_err(MSG_DEBUG_PASSWORD_FAIL, packet.sent(), packet.length());
        return HCI_FAILED;
    }
    std::printf("%s", MSG_DEBUG_PASSWORD_SENT);
    return 0;
}
