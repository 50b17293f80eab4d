// The byte link: dispatches every transfer to the serial port or the USB
// device by link kind, and the open/close operations of the serial and USB
// tables with the packet size they read first.
#include "link/link.h"

#include <cctype>
#include <cstdio>

#include "common/timing.h"
#include "link/serial_port.h"
#include "link/usb_link.h"
#include "platform/console.h"
#include "link/env.h"
#include "platform/platform.h"
#include "record/failure.h"

uint8_t link_kind = LINK_SERIAL;
uint32_t packet_size = PACKET_SIZE_DEFAULT;
uint32_t link_late_bytes = 0;

namespace {

const char* const PACKET_SIZE_VAR = "DATA_SIZE_PER_PACKET";
const char* const MSG_BAD_PACKET_SIZE =
    "%s=%s is not usable: set it to a decimal number from 1 to %u, or unset it for %u\n";
const char* const MSG_BAD_KIND = "error interface type %d";
const char* const MSG_SERIAL_CONNECT = "Connecting %s at %d %s...\n";
const char* const MSG_USB_CREATE_FAILED = "Create %s instacne failed\n";
const char* const MSG_USB_CONNECT_FAILED = "Connecting %s failed\n";
const char* const MSG_USB_CONNECTED = "Connecting %s sucessed\n";

constexpr uint32_t SERIAL_OPEN_BAUD = 115200;

// Decimal reading as strtol does it: leading white space, an optional sign,
// then digits up to the first non-digit; no digits read as 0. Values beyond
// PACKET_SIZE_MAX stop accumulating, so no overflow can make them look small.
int64_t read_decimal(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    int64_t value = 0;
    for (; std::isdigit(*p); ++p) {
        if (value <= PACKET_SIZE_MAX) value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

void report_bad_kind() { con_err(MSG_BAD_KIND, static_cast<int>(link_kind)); }

// Waits for the bytes the module still owes and drops them. Each read is
// bounded by the read time-out in force, but never by more than the
// default one: a request that stretched the time-out (a chip erase waits up
// to 200 s) has stretched it for its own answer, not for an earlier one's.
// The answer is taken in pieces of a small buffer.
void await_late_answer() {
    uint8_t sink[256];
    uint32_t owed = link_late_bytes;
    link_late_bytes = 0;
    uint32_t in_force = COM_READ_CONSTANT_MS;
    link_get_timeout(&in_force);
    const bool bounded = in_force > COM_READ_CONSTANT_MS;
    if (bounded) link_set_timeout(COM_READ_CONSTANT_MS);
    while (owed > 0) {
        const uint32_t n = owed < sizeof sink ? owed : static_cast<uint32_t>(sizeof sink);
        const uint32_t got = com_read(com_handle, sink, n);
        if (got < n) break;  // silent for a whole time-out: nothing more is coming
        owed -= got;
    }
    if (bounded) link_set_timeout(in_force);
}

}  // namespace

bool link_packet_size_usable() {
    if (packet_size_valid(packet_size)) return true;
    char text[24];
    std::snprintf(text, sizeof text, "%u", packet_size);
    con_err(MSG_BAD_PACKET_SIZE, PACKET_SIZE_VAR, text, PACKET_SIZE_MAX, PACKET_SIZE_DEFAULT);
    failure_note(failure_class::usage);
    return false;
}

void link_owe_answer(uint32_t bytes) { link_late_bytes = bytes; }

int32_t link_read_packet_size() {
    const env_entry* e = env_find(PACKET_SIZE_VAR);
    if (e == nullptr || e->value == nullptr) {
        packet_size = PACKET_SIZE_DEFAULT;
        return 0;
    }
    const int64_t value = read_decimal(e->value);
    if (value < 0 || !packet_size_valid(static_cast<uint64_t>(value))) {
        con_err(MSG_BAD_PACKET_SIZE, PACKET_SIZE_VAR, e->value, PACKET_SIZE_MAX, PACKET_SIZE_DEFAULT);
        failure_note(failure_class::usage);
        return -1;
    }
    packet_size = static_cast<uint32_t>(value);
    return 0;
}

bool link_stop_requested() {
    if (!plat_interrupted()) return false;
    failure_note(failure_class::interrupted);
    return true;
}

uint16_t link_read(uint8_t* buf, uint16_t len) {
    if (link_stop_requested()) return 0;
    uint16_t got = 0;
    switch (link_kind) {
    case LINK_SERIAL:
        got = static_cast<uint16_t>(com_read(com_handle, buf, len));
        break;
    case LINK_USB:
        // One message per answer, awaited for the whole transfer time-out
        // (longer than any operation): a failed read has consumed a wrong
        // message or waited out every answer, and leaves nothing in between.
        return usb_device_read(buf, len) == 0 ? len : 0;
    default:
        report_bad_kind();
        return 0;
    }
    if (got < len) link_late_bytes = len - got;
    return got;
}

uint16_t link_write(const uint8_t* buf, uint16_t len) {
    if (link_stop_requested()) return 0;
    if (link_late_bytes != 0) await_late_answer();
    link_purge();
    switch (link_kind) {
    case LINK_SERIAL:
        return static_cast<uint16_t>(com_write(com_handle, buf, len));
    case LINK_USB:
        return usb_device_write(buf, len) == 0 ? len : 0;
    default:
        report_bad_kind();
        return 0;
    }
}

void link_purge() { com_purge(com_handle); }

int32_t link_set_baudrate(uint32_t baud) {
    switch (link_kind) {
    case LINK_SERIAL:
        return com_configure(com_handle, baud);
    case LINK_USB:
        return 0;
    default:
        return -1;
    }
}

void link_get_timeout(uint32_t* ms) { com_get_read_timeout(com_handle, ms); }

void link_set_timeout(uint32_t ms) { com_set_timeouts(com_handle, ms); }

int32_t serial_open(const char* name, uint32_t baud) {
    if (link_read_packet_size() != 0) return -1;
    link_kind = LINK_SERIAL;
    link_late_bytes = 0;
    // A port still open from an earlier connect would otherwise be lost
    // with its descriptor, and its exclusive hold would refuse the reopen.
    serial_close();
    com_handle = com_open(name);
    int32_t result = 1;
    if (com_handle != nullptr) {
        com_configure(com_handle, SERIAL_OPEN_BAUD);
        com_set_timeouts(com_handle, SERIAL_OPEN_READ_TIMEOUT_MS);
        result = 0;
    }
    if (baud != 0) result = com_configure(com_handle, baud);
    const int shown_baud = static_cast<int>(baud != 0 ? baud : SERIAL_OPEN_BAUD);
    // One line whose last word tells the outcome, on standard output either
    // way, where a log parser reading the progress lines finds it.
    std::printf(MSG_SERIAL_CONNECT, name, shown_baud, result == 0 ? "OK" : "Fail");
    if (result != 0) failure_note(failure_class::link);
    return result;
}

int32_t serial_close() {
    if (com_handle != nullptr) {
        com_close(com_handle);
        com_handle = nullptr;
    }
    return 0;
}

int32_t usb_open(const char* name, uint32_t) {
    if (link_read_packet_size() != 0) return -1;
    link_kind = LINK_USB;
    link_late_bytes = 0;
    if (usb_create() != 0) {
        con_err(MSG_USB_CREATE_FAILED, name);
        failure_note(failure_class::link);
        return -1;
    }
    if (usb_device_open() != 0) {
        usb_destroy();
        con_err(MSG_USB_CONNECT_FAILED, name);
        failure_note(failure_class::link);
        return -1;
    }
    std::printf(MSG_USB_CONNECTED, name);
    return 0;
}

int32_t usb_close() {
    usb_device_close();
    usb_destroy();
    return 0;
}
