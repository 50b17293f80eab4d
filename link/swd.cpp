// The operations of swd_ops: opening the probe, downloading the loader into
// the module's RAM and starting it, and the flash operations that the loader
// serves through its mailbox. The probe library is called through `jlink`.
#include "link/swd.h"

#include <cstdio>
#include <cstring>

#include "common/le.h"
#include "common/timing.h"
#include "link/jlink.h"
#include "link/serial_port.h"
#include "platform/console.h"
#include "link/link.h"
#include "record/failure.h"

namespace {

const char* const MSG_OPENING = "SWD Opening...\n";
const char* const MSG_SELECT_USB_ERROR = "SWD Select USB error!\n";
const char* const MSG_OPEN_ERROR = "SWD open error!\n";
const char* const MSG_CONNECT_ERROR = "SWD could not connect to target.\n";
const char* const MSG_CLOSING = "SWD Closing...\n";
const char* const MSG_CLOSED = "SWD Close Done.\n";
const char* const MSG_REBOOTING = "SWD rebooting...\n";
const char* const MSG_REBOOTED = "SWD reboot done\n";
const char* const MSG_HALT_ERROR = "Halt error\n";
const char* const MSG_WRITE_FAIL = "Write %d bytes Memory fail!\n";
const char* const MSG_SHORT_WRITE = "Needed %d bytes, written %d bytes\n";
const char* const MSG_MSP_FAIL = "Write MSP fail!\n";
const char* const MSG_PSP_FAIL = "Write PSP fail!\n";
const char* const MSG_PC_FAIL = "Write PC fail!\n";
const char* const MSG_NO_IMAGE = "SWD download: no loader image given, the CPU was not started\n";
const char* const MSG_NO_DEVICE =
    "no SWD device family is selected: select one with 'device 4410a', 'device 4410c' or "
    "'device 4420b' first\n";
const char* const MSG_STATUS_UNREAD = "SWD mailbox status at %08X could not be read (%d)\n";
const char* const MSG_STATUS = "SWD mailbox request %u at %08X: the loader reports status %u\n";
const char* const MSG_READ_FAIL = "SWD read of %u bytes at %08X from the mailbox fails (%d)\n";

const char* const DEVICE_COMMAND = "device = Cortex-M0";
constexpr int PROBE_USB_PORT = 0;
constexpr int TARGET_INTERFACE_SWD = 1;
constexpr int EXEC_ERROR_BYTES = 1024;

// Open results.
constexpr int32_t OPEN_SELECT_FAILED = -1;
constexpr int32_t OPEN_PROBE_FAILED = -2;
constexpr int32_t OPEN_DEVICE_REFUSED = -3;
constexpr int32_t OPEN_NO_TARGET = -4;
// Download results.
constexpr int32_t DOWNLOAD_MEMORY = -1;
constexpr int32_t DOWNLOAD_MSP_OR_PC = -2;
constexpr int32_t DOWNLOAD_PSP = -3;

// The host copy of the mailbox: command, address, length, then the data of
// one chunk. Written to the module in one probe call.
uint8_t swd_mailbox[SWD_MAILBOX_HEADER + SWD_MAILBOX_DATA];

void fill_header(uint32_t command, uint32_t addr, uint32_t len) {
    le32_put(swd_mailbox, command);
    le32_put(swd_mailbox + 4, addr);
    le32_put(swd_mailbox + 8, len);
}

// A probe call that failed: its message, noted as a link failure; `result`.
int32_t probe_failed(const char* message, int32_t result) {
    con_err("%s", message);
    failure_note(failure_class::link);
    return result;
}

bool device_selected() {
    if (swd_device != nullptr) return true;
    con_err("%s", MSG_NO_DEVICE);
    failure_note(failure_class::usage);
    return false;
}

// Writes `count` bytes to the module; 0, or the result to return after its message.
int32_t write_memory(uint32_t addr, uint32_t count, const uint8_t* bytes, int32_t short_result) {
    const int written = jlink.WriteMem(addr, count, bytes);
    if (written < 0) {
        con_err(MSG_WRITE_FAIL, static_cast<int>(count));
        failure_note(failure_class::link);
        return written;
    }
    if (static_cast<uint32_t>(written) != count) {
        con_err(MSG_SHORT_WRITE, static_cast<int>(count), written);
        failure_note(failure_class::link);
        return short_result;
    }
    return 0;
}

// One mailbox request: halt, write the first `request_bytes` bytes of the
// host copy, let the loader run, wait, read the status word. 0 with the
// status in *status, or the failing call's result.
int32_t mailbox_request(uint32_t request_bytes, uint32_t wait_ms, uint32_t* status) {
    if (link_stop_requested()) return SWD_INTERRUPTED;
    const int halted = jlink_low_byte(jlink.Halt());
    if (halted != 0) return probe_failed(MSG_HALT_ERROR, halted);
    const uint32_t mailbox = swd_device->mailbox_addr;
    int32_t result = write_memory(mailbox, request_bytes, swd_mailbox, SWD_SHORT_WRITE);
    if (result != 0) return result;
    jlink.Go();
    msleep(wait_ms);
    *status = 0;
    const int words = jlink.ReadMemU32(mailbox, 1, status, nullptr);
    if (words == 1) return 0;
    con_err(MSG_STATUS_UNREAD, mailbox, words);
    failure_note(failure_class::link);
    return words < 0 ? words : SWD_STATUS_UNREAD;
}

// The loader's status of a request, as the operation's result.
int32_t status_result(uint32_t command, uint32_t addr, uint32_t status) {
    if (status != 0) {
        con_err(MSG_STATUS, command, addr, status);
        failure_note(failure_class::module);
    }
    return static_cast<int32_t>(status);
}

// What every mailbox operation needs before it touches the probe.
bool mailbox_ready(bool reads) {
    if (!device_selected()) return false;
    if (reads) return jlink_need({JLINK_HALT, JLINK_WRITE_MEM, JLINK_GO, JLINK_READ_MEM_U32, JLINK_READ_MEM});
    return jlink_need({JLINK_HALT, JLINK_WRITE_MEM, JLINK_GO, JLINK_READ_MEM_U32});
}

int32_t not_ready_result() { return swd_device == nullptr ? SWD_NO_DEVICE : SWD_NO_PROBE_LIBRARY; }

}  // namespace

uint32_t swd_wait_ms(uint32_t bytes) {
    // 64-bit product: a 32-bit one wraps for requests above 28 MiB and would
    // read the status long before the loader is done.
    return static_cast<uint32_t>(static_cast<uint64_t>(bytes) * SWD_WAIT_MS_PER_UNIT / SWD_WAIT_UNIT_BYTES);
}

int32_t swd_open(const char*, uint32_t speed) {
    std::printf("%s", MSG_OPENING);
    if (!jlink_need({JLINK_SELECT_USB, JLINK_OPEN, JLINK_EXEC_COMMAND, JLINK_TIF_SELECT, JLINK_SET_SPEED,
                     JLINK_CONNECT}))
        return SWD_NO_PROBE_LIBRARY;
    if (jlink_low_byte(jlink.SelectUSB(PROBE_USB_PORT)) != 0) {
        con_err("%s", MSG_SELECT_USB_ERROR);
        failure_note(failure_class::link);
        return OPEN_SELECT_FAILED;
    }
    if (jlink.Open() != nullptr) {
        con_err("%s", MSG_OPEN_ERROR);
        failure_note(failure_class::link);
        return OPEN_PROBE_FAILED;
    }
    char error[EXEC_ERROR_BYTES] = {};
    jlink.ExecCommand(DEVICE_COMMAND, error, EXEC_ERROR_BYTES);
    error[EXEC_ERROR_BYTES - 1] = '\0';  // whatever the probe left there, the text ends in the buffer
    if (error[0] != '\0') {
        con_err("%s\n", error);
        failure_note(failure_class::link);
        return OPEN_DEVICE_REFUSED;
    }
    jlink.TIF_Select(TARGET_INTERFACE_SWD);
    jlink.SetSpeed(speed);
    if (jlink.Connect() != 0) {
        con_err("%s", MSG_CONNECT_ERROR);
        failure_note(failure_class::link);
        return OPEN_NO_TARGET;
    }
    return 0;
}

int32_t swd_close() {
    std::printf("%s", MSG_CLOSING);
    if (!jlink_need({JLINK_CLOSE})) return SWD_NO_PROBE_LIBRARY;
    jlink.Close();
    std::printf("%s", MSG_CLOSED);
    return 0;
}

int32_t swd_download_fw(uint32_t size, const uint8_t* image) {
    if (!device_selected()) return SWD_NO_DEVICE;
    if (size == 0 || image == nullptr) {
        con_err("%s", MSG_NO_IMAGE);
        failure_note(failure_class::usage);  // a mode without a loader image, over SWD
        return DOWNLOAD_MEMORY;
    }
    if (!jlink_need({JLINK_HALT, JLINK_WRITE_MEM, JLINK_WRITE_REG, JLINK_GO})) return SWD_NO_PROBE_LIBRARY;
    if (jlink_low_byte(jlink.Halt()) != 0) return probe_failed(MSG_HALT_ERROR, DOWNLOAD_MEMORY);
    if (write_memory(swd_device->load_addr, size, image, DOWNLOAD_MEMORY) != 0) return DOWNLOAD_MEMORY;
    if (jlink_low_byte(jlink.WriteReg(SWD_REG_MSP, swd_device->msp)) != 0)
        return probe_failed(MSG_MSP_FAIL, DOWNLOAD_MSP_OR_PC);
    if (jlink_low_byte(jlink.WriteReg(SWD_REG_PSP, swd_device->psp)) != 0)
        return probe_failed(MSG_PSP_FAIL, DOWNLOAD_PSP);
    if (jlink_low_byte(jlink.WriteReg(SWD_REG_PC, swd_device->start_addr)) != 0)
        return probe_failed(MSG_PC_FAIL, DOWNLOAD_MSP_OR_PC);
    jlink.Go();
    return 0;
}

namespace {

// Calls step(at, chunk, done) for each mailbox-sized chunk of [addr, addr +
// len) in order; stops at the first non-zero result and returns it.
template <typename Step>
int32_t for_each_chunk(uint32_t addr, uint32_t len, Step step) {
    for (uint32_t done = 0; done < len;) {
        const uint32_t chunk = len - done < SWD_MAILBOX_DATA ? len - done : SWD_MAILBOX_DATA;
        const int32_t r = step(addr + done, chunk, done);
        if (r != 0) return r;
        done += chunk;
    }
    return 0;
}

// One mailbox request for a chunk: the header (and `data_bytes` of data
// already in the mailbox) written, the loader's status read; 0 or the failure.
int32_t chunk_request(uint32_t command, uint32_t at, uint32_t chunk, uint32_t data_bytes, uint32_t left) {
    fill_header(command, at, chunk);
    uint32_t status = 0;
    const int32_t result = mailbox_request(SWD_MAILBOX_HEADER + data_bytes, swd_wait_ms(left), &status);
    if (result != 0) return result;
    return status != 0 ? status_result(command, at, status) : 0;
}

}  // namespace

int32_t swd_read(uint32_t addr, uint32_t len, uint8_t* dest) {
    if (len == 0) return 0;
    if (!mailbox_ready(true)) return not_ready_result();
    return for_each_chunk(addr, len, [&](uint32_t at, uint32_t chunk, uint32_t done) -> int32_t {
        const int32_t r = chunk_request(SWD_CMD_READ, at, chunk, 0, len - done);
        if (r != 0) return r;
        const int got = jlink.ReadMem(swd_device->mailbox_addr + SWD_MAILBOX_HEADER, chunk,
                                      swd_mailbox + SWD_MAILBOX_HEADER);
        if (got != 0) {
            con_err(MSG_READ_FAIL, chunk, at, got);
            failure_note(failure_class::link);
            return got;
        }
        std::memcpy(dest + done, swd_mailbox + SWD_MAILBOX_HEADER, chunk);
        return 0;
    });
}

int32_t swd_program(uint32_t addr, uint32_t len, const uint8_t* bytes) {
    if (len == 0) return 0;
    if (!mailbox_ready(false)) return not_ready_result();
    return for_each_chunk(addr, len, [&](uint32_t at, uint32_t chunk, uint32_t done) {
        std::memcpy(swd_mailbox + SWD_MAILBOX_HEADER, bytes + done, chunk);
        return chunk_request(SWD_CMD_PROGRAM, at, chunk, chunk, len - done);
    });
}

int32_t swd_page_erase(uint32_t addr, uint32_t size) {
    if (!mailbox_ready(false)) return not_ready_result();
    fill_header(SWD_CMD_PAGE_ERASE, addr, size);
    uint32_t status = 0;
    int32_t result = mailbox_request(SWD_MAILBOX_HEADER, swd_wait_ms(size), &status);
    return result != 0 ? result : status_result(SWD_CMD_PAGE_ERASE, addr, status);
}

int32_t swd_chip_erase() {
    if (!mailbox_ready(false)) return not_ready_result();
    le32_put(swd_mailbox, SWD_CMD_CHIP_ERASE);
    uint32_t status = 0;
    int32_t result = mailbox_request(SWD_CHIP_ERASE_REQUEST, SWD_CHIP_ERASE_WAIT_MS, &status);
    return result != 0 ? result : status_result(SWD_CMD_CHIP_ERASE, 0, status);
}

int32_t swd_reboot(uint8_t) {
    if (!device_selected()) return SWD_NO_DEVICE;
    if (!jlink_need({JLINK_RESET, JLINK_GO})) return SWD_NO_PROBE_LIBRARY;
    std::printf("%s", MSG_REBOOTING);
    jlink.Reset();
    jlink.Go();
    std::printf("%s", MSG_REBOOTED);
    return 0;
}
