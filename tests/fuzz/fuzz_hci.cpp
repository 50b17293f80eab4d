// HCI events: one HCI-mode operation (chosen and parameterised by the first
// bytes of the input) against a module whose answers are the rest of the
// input (see fake_platform.h for the record format). An operation that
// reports success must have had every answer it read arrive whole.
#include <cstdlib>
#include <vector>

#include "common/le.h"
#include "fake_platform.h"
#include "link/link.h"
#include "link/program_mode.h"
#include "link/serial_port.h"
#include "protocol/flash_limits.h"
#include "protocol/hci.h"
#include "protocol/hci_packet.h"

namespace {

bool every_read_whole() {
    for (const fake::serial_read& r : fake::reads())
        if (r.got.size() < r.asked) return false;
    return true;
}

// The bytes a successful hci_read must have delivered: the read data of
// each event (behind its 4-byte address echo), pieces of whole words from
// the word holding `addr`, cut to [addr, addr + len).
std::vector<uint8_t> served_read_data(uint32_t addr, uint32_t len) {
    std::vector<uint8_t> words;
    if (len == 0) return words;
    const auto& reads = fake::reads();
    for (size_t i = 0; i + 1 < reads.size(); i += 2) {
        std::vector<uint8_t> ev = reads[i].got;
        ev.insert(ev.end(), reads[i + 1].got.begin(), reads[i + 1].got.end());
        const uint32_t asked = le32_get(fake::writes()[i / 2].data() + 8);
        words.insert(words.end(), ev.begin() + 11, ev.begin() + 11 + asked);
    }
    const uint32_t head = addr & 3u;
    if (words.size() < head + len) std::abort();
    return std::vector<uint8_t>(words.begin() + head, words.begin() + head + len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::input in(data, size);
    const uint8_t op = in.u8();
    const uint32_t addr = in.u32();
    const uint32_t len = in.u16() % 2048;
    std::vector<uint8_t> bytes(len, 0x5A);
    fake::serve(in.data(), in.size());
    com_handle = fake::port();
    link_kind = LINK_SERIAL;
    link_late_bytes = 0;

    int32_t result = -1;
    bool judged = true;  // success must rest on answers that arrived whole
    switch (op % 12) {
    case 0: result = hci_flash_id() == FLASH_ID_FAIL ? 1 : 0; break;
    case 1:
        result = hci_read(addr, len, bytes.data());
        if (result == 0 && served_read_data(addr, len) != bytes) std::abort();
        break;
    case 2: result = hci_program(addr, len, bytes.data()); break;
    case 3: result = hci_verify(addr, len, bytes.data()); break;
    case 4: {
        // The probe's status names the mode only from a whole Command
        // Complete event.
        uint32_t mode = 99;
        result = hci_detect_mode(&mode);
        if (result == 0) {
            if (mode != RAM_PATCH_VENDOR_WRITE_MODE && mode != FACTORY_IMAGE_MODE) std::abort();
            const std::vector<uint8_t>& head = fake::reads().at(0).got;
            if (head.size() < 3 || head[0] != HCI_EVENT_PACKET || head[1] != HCI_COMMAND_COMPLETE) std::abort();
        }
        break;
    }
    case 5: result = hci_page_erase(addr, len * 8); break;
    case 6: result = hci_flash_prepare(0, nullptr); break;
    case 7: result = hci_chip_erase(); break;
    case 8: result = hci_vendor_write(addr, len); break;
    case 9: result = hci_download_loader(len * 16, std::vector<uint8_t>(len * 16 + 1).data()); break;
    case 10:
        // A failed flash init does not stop the factory image download.
        result = hci_download_fc_image(len, bytes.data());
        judged = false;
        break;
    case 11: {
        hci_event ev;
        result = hci_await_event(ev);
        if (ev.len > sizeof ev.bytes) std::abort();
        if (result == 0 && (ev.len < HCI_EVENT_MIN_BYTES || ev.bytes[0] != HCI_EVENT_PACKET ||
                            ev.bytes[1] != HCI_COMMAND_COMPLETE || ev.bytes[HCI_EVENT_STATUS] != 0 ||
                            ev.len < HCI_EVENT_HEADER + ev.bytes[2]))
            std::abort();
        break;
    }
    }
    if (result == 0 && judged && !every_read_whole()) std::abort();
    com_handle = nullptr;
    link_late_bytes = 0;
    return 0;
}
