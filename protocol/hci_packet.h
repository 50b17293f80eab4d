// HCI UART transport as the module's own firmware speaks it: command packets
// out, command-complete events back.
#pragma once
#include <cstdint>

#include "protocol/hci.h"

constexpr uint8_t HCI_COMMAND_PACKET = 0x01;
constexpr uint8_t HCI_EVENT_PACKET = 0x04;
constexpr uint8_t HCI_COMMAND_COMPLETE = 0x0E;
constexpr uint32_t HCI_COMMAND_HEADER = 4;   // type, opcode, parameter length
constexpr uint32_t HCI_EVENT_HEADER = 3;     // type, event code, parameter length
constexpr uint32_t HCI_EVENT_STATUS = 6;     // offset of the status byte
constexpr uint32_t HCI_EVENT_MIN_BYTES = 7;  // up to and including the status
constexpr uint32_t HCI_MAX_PARAMS = 255;

// One command packet, built in place and written whole.
class hci_command {
public:
    explicit hci_command(uint16_t opcode);
    hci_command& u8(uint8_t v);
    hci_command& u32(uint32_t v);
    hci_command& bytes(const uint8_t* src, uint32_t n);
    // Fills in the parameter length and writes the packet (the byte link
    // purges the serial buffers first). True when the whole packet went out.
    bool send();

    uint32_t length() const { return len_; }
    uint32_t sent() const { return sent_; }  // bytes written by send()

private:
    uint8_t buf_[HCI_COMMAND_HEADER + HCI_MAX_PARAMS];
    uint32_t len_;
    uint32_t sent_ = 0;
};

// One event as received: `len` counts the bytes that really arrived.
struct hci_event {
    uint8_t bytes[HCI_EVENT_HEADER + HCI_MAX_PARAMS];
    uint32_t len;
};

// Reads the 3-byte header and then the parameters it announces.
void hci_read_event(hci_event& ev);

// hci_read_event, then hci_check_event; 0 or the check's result.
int32_t hci_await_event(hci_event& ev);

// True when the event holds at least `need` bytes; else prints why.
bool hci_event_holds(const hci_event& ev, uint32_t need);
