// Serial port layer: opens the one port, installs raw 8N1 line settings and
// the time-out sets the protocols rely on, and moves blocks of bytes through
// the platform. Apart from the refused port name, nothing here prints.
#include "link/serial_port.h"

#include <cstdio>
#include <cstring>

#include "common/timing.h"
#include "link/trace.h"
#include "platform/console.h"

plat_serial_handle com_handle = nullptr;
uint32_t com_baud = 0;

namespace {

const char* const TRACE_LINK = "serial";

// The line rate in force as the trace's rate column.
struct trace_rate {
    char text[12];
    trace_rate() {
        if (com_baud == 0)
            std::snprintf(text, sizeof text, "-");
        else
            std::snprintf(text, sizeof text, "%u", com_baud);
    }
};

const char* const MSG_NAME_TOO_LONG =
    "port name is too long (more than %u characters): give a shorter name or device path\n";

// The near-immediate poll installed for a read time-out of 0.
constexpr plat_serial_timeouts COM_POLL_TIMEOUTS = {1, 1, 1, 0, 0};

plat_serial_timeouts read_timeouts(uint32_t read_constant_ms) {
    return {COM_READ_INTERVAL_MS, COM_READ_MULTIPLIER_MS, read_constant_ms,
            COM_WRITE_MULTIPLIER_MS, COM_WRITE_CONSTANT_MS};
}

}  // namespace

plat_serial_handle com_open(const char* name) {
    if (name == nullptr) return nullptr;
    if (std::strlen(name) > COM_NAME_MAX) {
        con_err(MSG_NAME_TOO_LONG, COM_NAME_MAX);
        return nullptr;
    }
    plat_serial_handle port = plat_serial_open(name);
    if (port != nullptr) com_baud = 0;
    if (trace_on()) trace_text("--", TRACE_LINK, "-", "open %s: %s", name, port != nullptr ? "OK" : "Fail");
    return port;
}

int32_t com_configure(plat_serial_handle port, uint32_t baud) {
    if (plat_serial_set_line(port, baud) != 0) return -1;
    if (baud != com_baud && trace_on()) trace_text("--", TRACE_LINK, trace_rate().text, "rate %u", baud);
    com_baud = baud;
    if (plat_serial_set_timeouts(port, read_timeouts(COM_READ_CONSTANT_MS)) != 0) return -1;
    return 0;
}

int32_t com_set_timeouts(plat_serial_handle port, uint32_t read_timeout_ms) {
    const plat_serial_timeouts t =
        read_timeout_ms == 0 ? COM_POLL_TIMEOUTS : read_timeouts(read_timeout_ms);
    return plat_serial_set_timeouts(port, t) == 0 ? 0 : -1;
}

int32_t com_get_read_timeout(plat_serial_handle port, uint32_t* ms) {
    plat_serial_timeouts t{};
    if (plat_serial_get_timeouts(port, t) != 0) return -1;
    if (ms != nullptr) *ms = t.read_constant;
    return 0;
}

int32_t com_purge(plat_serial_handle port) {
    plat_serial_purge(port);
    return 0;
}

uint32_t com_read(plat_serial_handle port, uint8_t* buf, uint32_t n) {
    const uint32_t got = plat_serial_read(port, buf, n);
    if (trace_on()) {
        const trace_rate rate;
        if (got > 0) trace_bytes("rx", TRACE_LINK, rate.text, buf, got);
        if (got < n) trace_text("--", TRACE_LINK, rate.text, "read %u of %u bytes: time-out", got, n);
    }
    return got;
}

uint32_t com_write(plat_serial_handle port, const uint8_t* buf, uint32_t n) {
    const uint32_t put = plat_serial_write(port, buf, n);
    if (trace_on()) {
        const trace_rate rate;
        if (put > 0) trace_bytes("tx", TRACE_LINK, rate.text, buf, put);
        if (put < n) trace_text("--", TRACE_LINK, rate.text, "wrote %u of %u bytes", put, n);
    }
    return put;
}

int32_t com_close(plat_serial_handle port) {
    plat_serial_close(port);
    return 0;
}

int32_t msleep(uint32_t ms) {
    plat_sleep_ms(ms);
    return 0;
}
