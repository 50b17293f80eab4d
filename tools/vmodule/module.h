// The module's behaviour, independent of the line it is reached over: its
// stores, the loader's request handler and the ROM's HCI command handler.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vmodule/event_log.h"
#include "tools/vmodule/faults.h"
#include "tools/vmodule/memory.h"
#include "tools/vmodule/options.h"

std::string hex32(uint32_t v);  // "0x0000ABCD"
std::string hex16(uint16_t v);  // "0xABCD"

// What the module does with one request.
struct answer {
    enum class then { none, switch_rate, enter_loader, reset };
    bool has = false;            // false: this request gets no answer
    std::vector<uint8_t> bytes;
    double busy_s = 0;           // flash work done before the answer leaves
    then after = then::none;     // done once the answer has left (or at once without one)
    uint32_t rate = 0;           // for then::switch_rate
    bool swallow_trailer = false; // the raw trigger's trailing byte is still to come
};

// Loader status values (the host only tells 0 from the rest).
namespace loader_status {
constexpr uint8_t ok = 0x00;
constexpr uint8_t bad_crc = 0x01;
constexpr uint8_t unknown_command = 0x02;
constexpr uint8_t bad_length = 0x03;
constexpr uint8_t out_of_range = 0x04;
constexpr uint8_t verify_mismatch = 0x05;
constexpr uint8_t bad_argument = 0x06;
}  // namespace loader_status

// HCI status values, as the Bluetooth core names them.
namespace hci_status {
constexpr uint8_t ok = 0x00;
constexpr uint8_t unknown_command = 0x01;
constexpr uint8_t disallowed = 0x0C;
constexpr uint8_t invalid_parameters = 0x12;
}  // namespace hci_status

constexpr uint32_t kPowerOnRate = 115200;
constexpr uint8_t kLoaderMarker = 0x87;
constexpr uint32_t kMaxLoaderPayload = 0x10000;  // largest data part a request may carry

// Length of the loader frame that starts with `have` bytes of `head`:
// > 0 the whole frame's length, 0 more header bytes needed,
// kUnknownCode an unknown command code, kTooLong a length field beyond the limit.
constexpr long kUnknownCode = -1;
constexpr long kTooLong = -2;
long loader_frame_length(const uint8_t* head, size_t have);

// The per-line part of the HCI state (the ROM's RAM): the loader being
// downloaded and whether the flash has been initialised and unlocked.
struct hci_session {
    std::vector<uint8_t> loader;  // chunks received so far, in order
    int next_chunk = 0;           // index the next chunk must carry; -1 after a broken sequence
    bool loader_complete = false; // at least one chunk, none out of order
    int flash_stage = 0;          // 1 initialised (300B), 2 configuration loaded (3001), 3 unlocked (1002)
};

class module_core {
public:
    explicit module_core(vm_options& opt, event_log& log) : opt_(opt), log_(log) {}
    std::string open_stores();
    void sync_stores();

    bool factory_image_present() const;

    // One complete loader request frame of `n` bytes.
    answer loader_request(const uint8_t* frame, size_t n, const std::string& where);
    // The error answer to a frame that could not be taken in (bad length, unknown code).
    answer loader_refusal(uint16_t code, uint8_t status, const std::string& where) {
        where_ = where;
        return loader_refusal(code, status);
    }
    // One complete HCI command packet (type byte included).
    answer hci_command(hci_session& s, const uint8_t* pkt, size_t n, const std::string& where);

    event_log& log() { return log_; }
    const vm_options& options() const { return opt_; }

private:
    struct loader_req;
    answer run_loader(const loader_req& r, const fault_effect& e);
    answer loader_refusal(uint16_t code, uint8_t status);
    answer loader_answer(uint16_t code, uint8_t status, const uint8_t* data, uint32_t m);
    answer loader_status_answer(uint16_t code, uint8_t status) { return loader_answer(code, status, nullptr, 0); }
    answer erase_request(const loader_req& r, nv_store& store, uint32_t unit, double unit_ms);
    answer program_request(const loader_req& r, nv_store& store, bool corrupt);
    answer read_request(const loader_req& r, nv_store& store);
    answer verify_request(const loader_req& r, nv_store& store);
    answer property_request(const loader_req& r);
    answer id_request(const loader_req& r, uint32_t id);
    answer efuse_request(const loader_req& r, bool corrupt);

    answer run_hci(hci_session& s, uint16_t op, const uint8_t* p, uint8_t plen, const fault_effect& e);
    answer hci_event(uint16_t op, uint8_t status, const uint8_t* ret = nullptr, size_t n = 0);
    answer hci_refusal(uint16_t op, uint8_t status, const uint8_t* p, uint8_t plen);
    answer hci_flash_control(hci_session& s, const uint8_t* p, uint8_t plen);
    answer hci_page_erase(hci_session& s, const uint8_t* p, uint8_t plen);
    answer hci_read(const uint8_t* p, uint8_t plen);
    answer hci_program(hci_session& s, const uint8_t* p, uint8_t plen, bool corrupt);
    answer hci_chunk(hci_session& s, const uint8_t* p, uint8_t plen);
    answer hci_probe(const uint8_t* p, uint8_t plen);
    answer hci_vendor_write(hci_session& s, const uint8_t* p, uint8_t plen);
    answer hci_baud(const uint8_t* p, uint8_t plen);
    answer hci_password(const uint8_t* p, uint8_t plen);
    uint8_t hci_space_byte(uint32_t addr) const;

    double flash_ms(double ms) const { return opt_.flash_times ? ms * opt_.time_scale / 1000.0 : 0.0; }

    vm_options& opt_;
    event_log& log_;
    std::string where_;  // "<state> <rate>" of the line being served, for notes
    nv_store iflash_, eflash_, efuse_;
};
