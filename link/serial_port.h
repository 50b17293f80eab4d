// Serial port layer: the one open port, its raw 8N1 line settings and the
// three time-out sets the protocols rely on.
#pragma once
#include <cstdint>

#include "common/timing.h"
#include "platform/platform.h"

extern plat_serial_handle com_handle;  // the open port, or nullptr
extern uint32_t com_baud;              // its line rate as last set (0 until set)

// Longest port text accepted; longer ones are refused, never cut.
constexpr uint32_t COM_NAME_MAX = 127;

plat_serial_handle com_open(const char* name);
int32_t com_configure(plat_serial_handle port, uint32_t baud);
int32_t com_set_timeouts(plat_serial_handle port, uint32_t read_timeout_ms);
int32_t com_get_read_timeout(plat_serial_handle port, uint32_t* ms);
int32_t com_purge(plat_serial_handle port);
uint32_t com_read(plat_serial_handle port, uint8_t* buf, uint32_t n);
uint32_t com_write(plat_serial_handle port, const uint8_t* buf, uint32_t n);
int32_t com_close(plat_serial_handle port);
int32_t msleep(uint32_t ms);
