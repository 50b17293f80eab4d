// flint's timing model in one place: every time-out, pause, wait and retry
// count of the links, the protocols, the commands and the one-shot script.
// The benchmarks include this file, and the fault campaign reads its values
// from it (tests/e2e/flint_timing.py), so each value is written here only:
// keep every value a plain integer literal.
#pragma once
#include <cstdint>

// The serial port's time-out sets (ms): the gap between two bytes that ends
// a read, the per-byte and fixed parts of a read's and a write's limit.
constexpr uint32_t COM_READ_INTERVAL_MS = 1000;
constexpr uint32_t COM_READ_MULTIPLIER_MS = 1;
constexpr uint32_t COM_READ_CONSTANT_MS = 5000;  // after every configuration
constexpr uint32_t COM_WRITE_MULTIPLIER_MS = 500;
constexpr uint32_t COM_WRITE_CONSTANT_MS = 2000;
// The read limit the serial link's open sets once the port is configured.
constexpr uint32_t SERIAL_OPEN_READ_TIMEOUT_MS = 5000;

// Longest wait for one USB transfer. The slowest loader request is a chip
// erase, which the serial link allows LOADER_CHIP_ERASE_TIMEOUT_MS; a USB
// transfer gets the same plus a margin for the transfer itself.
constexpr uint32_t KVX_USB_TRANSFER_TIMEOUT_MS = 210000;

// Waits after the CPU was let run on an SWD mailbox request, before its
// status is read. Transfers and page erases wait SWD_WAIT_MS_PER_UNIT for
// every SWD_WAIT_UNIT_BYTES bytes (rounded down) of what remains of the
// request.
constexpr uint32_t SWD_CHIP_ERASE_WAIT_MS = 150;
constexpr uint32_t SWD_WAIT_MS_PER_UNIT = 150;
constexpr uint32_t SWD_WAIT_UNIT_BYTES = 2048;

// The HCI protocol's pauses: between the flash init and unlock of the flash
// preparation, after each page erase, before and after the host side's baud
// rate switch, after the watchdog reset.
constexpr uint32_t HCI_PREPARE_PAUSE_MS = 300;
constexpr uint32_t HCI_PAGE_ERASE_PAUSE_MS = 20;
constexpr uint32_t HCI_BAUDRATE_PAUSE_MS = 200;
constexpr uint32_t HCI_WDG_RESET_PAUSE_MS = 1000;

// The loader protocol: a chip erase's read limit; the size-based erase read
// limit, LOADER_ERASE_MS_PER_STEP for every 2^LOADER_ERASE_SIZE_SHIFT /
// LOADER_ERASE_SIZE_FACTOR bytes; the pause after the host side switched
// its baud rate.
constexpr uint32_t LOADER_CHIP_ERASE_TIMEOUT_MS = 200000;
constexpr uint32_t LOADER_ERASE_SIZE_FACTOR = 200;
constexpr uint32_t LOADER_ERASE_SIZE_SHIFT = 24;
constexpr uint32_t LOADER_ERASE_MS_PER_STEP = 1000;
constexpr uint32_t LOADER_BAUDRATE_SETTLE_MS = 10;

// loadfw's waits: after the raw trigger, after each register write of the
// trigger, before the port is purged for the loader's first frame.
constexpr uint32_t LOADFW_RAW_TRIGGER_WAIT_MS = 800;
constexpr uint32_t LOADFW_REG_WRITE_WAIT_MS = 10;
constexpr uint32_t LOADFW_TRIGGER_SETTLE_MS = 200;

// Attempts of the one-shot script's flashverify and configmerge lines.
constexpr int32_t SCRIPT_RETRY_LIMIT = 5;

// The progress line and events: at most one event and redraw per
// PROGRESS_MIN_GAP_MS; the line shows for steps longer than
// PROGRESS_LINE_AFTER_MS.
constexpr int64_t PROGRESS_MIN_GAP_MS = 100;
constexpr int64_t PROGRESS_LINE_AFTER_MS = 1000;
