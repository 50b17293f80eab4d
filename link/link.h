// The byte link: one byte-stream channel (serial port or USB) under the
// loader and HCI protocols, and the open/close operations of the serial and
// USB tables.
#pragma once
#include <cstdint>

enum link_kind_t : uint8_t {
    LINK_SERIAL = 0,
    LINK_USB = 1,
};

extern uint8_t link_kind;      // starts at LINK_SERIAL
extern uint32_t packet_size;   // data bytes per loader request; starts at 16384

constexpr uint32_t PACKET_SIZE_DEFAULT = 16384;
// The most data bytes one loader request can carry: the loader's frame
// buffer is sized for a request of this many.
constexpr uint32_t PACKET_SIZE_MAX = 32768;

// The one check of a packet size: from 1 to PACKET_SIZE_MAX.
constexpr bool packet_size_valid(uint64_t size) { return size != 0 && size <= PACKET_SIZE_MAX; }

// Bytes of an answer the module still owes: a read that came back short
// (a time-out) leaves the link out of step, since the module may still be
// working on that request and answer it late, where the next request's
// answer is expected. 0 when the link is in step.
extern uint32_t link_late_bytes;

// The module has answered another request where this one's answer of
// `bytes` bytes was expected: that answer is still owed (link_late_bytes).
void link_owe_answer(uint32_t bytes);

// Bytes read (0..len). USB: len on success, else 0. A short serial read
// leaves the link out of step (link_late_bytes). Over USB an answer that
// comes after the transfer time-out is told by its code (the loader's
// answers echo their request's).
uint16_t link_read(uint8_t* buf, uint16_t len);
// Brings an out-of-step link back in step (the late answer is awaited, at
// most for the read time-out in force, and dropped), purges, then writes;
// the count written. No request can so take an earlier request's answer.
uint16_t link_write(const uint8_t* buf, uint16_t len);
void link_purge();
int32_t link_set_baudrate(uint32_t baud);
// The serial read time-out; `ms` is left as the caller set it on failure.
void link_get_timeout(uint32_t* ms);
void link_set_timeout(uint32_t ms);

// True when packet_size is usable; false after the message that says how to
// set DATA_SIZE_PER_PACKET.
bool link_packet_size_usable();

// Reads DATA_SIZE_PER_PACKET into packet_size. Returns 0, or -1 after a
// message when the value is 0 or its request does not fit the frame buffer.
int32_t link_read_packet_size();

int32_t serial_open(const char* name, uint32_t baud);
int32_t serial_close();
int32_t usb_open(const char* name, uint32_t ignored);
int32_t usb_close();
